#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/machine/evtx_format.h"

namespace platform::evtx {

// Where the records of an .evtx file stand: numbers are the records' identifiers, which may
// have gaps where a chunk was damaged.
struct State {
    std::uint32_t oldest = 0;
    std::uint32_t current = 1;  // one past the newest
    std::uint32_t count = 0;    // records that can be read
};

// An .evtx file read for the event log calls. The file is read whole again when it changed
// (a copy refreshed, a log still written by another machine); chunks whose bytes are the same
// as before keep what was read from them. A missing file reads as an empty log.
class EvtxFile {
public:
    bool Open(const std::string& path);  // CP932 path

    // Looks at the file again; false only when it exists and cannot be read.
    bool Refresh();
    const State& CurrentState() const { return m_state; }

    // The record with that number, or the next one after it that can be read (next) in the
    // direction asked; nullptr when there is none.
    const std::string* Ansi(std::uint32_t number) const;
    std::uint32_t Next(std::uint32_t number, bool backwards) const;
    const Event* EventOf(std::uint32_t number) const;

    // What was wrong with the file at the last refresh.
    const std::vector<std::string>& Warnings() const { return m_warnings; }
    // The file was still being written at the last refresh: the state is the one before.
    bool Pending() const { return m_pending; }

private:
    struct CachedChunk {
        bool read = false;
        std::uint64_t hash = 0;
        Chunk chunk;
        std::vector<std::string> ansi;
    };
    void Rebuild();

    std::string m_path;
    std::string m_identity;  // device, inode, size and time of the file read last
    std::vector<CachedChunk> m_chunks;
    std::map<std::uint32_t, std::pair<size_t, size_t>> m_index;  // number -> chunk, record
    State m_state;
    std::vector<std::string> m_warnings;
    bool m_pending = false;
};

// The record in the ANSI layout ReadEventLog gives: identifier as number, provider as source,
// level and keywords as type, task as category, qualifiers and event id as the event id, the
// data values as insertion strings, the user's SID and the computer.
std::string AnsiRecordOfEvent(const Event& event);

}  // namespace platform::evtx

#pragma once

#include <cstdint>
#include <list>
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

// An .evtx file read for the event log calls, chunk by chunk: a log of gigabytes costs the
// numbers of its records, not its size. When the file changed (a copy refreshed, a log still
// written by another machine) only the chunks whose headers changed are read again; the records
// of the last few chunks read are kept, the others read again when asked for. A missing file
// reads as an empty log. One thread uses it at a time (the handle's).
class EvtxFile {
public:
    EvtxFile() = default;
    ~EvtxFile();
    EvtxFile(const EvtxFile&) = delete;
    EvtxFile& operator=(const EvtxFile&) = delete;

    bool Open(const std::string& path);  // CP932 path

    // Looks at the file again; false only when it exists and cannot be read.
    bool Refresh();
    const State& CurrentState() const { return m_state; }

    // The record with that number; nullptr when there is none, or when its chunk can no longer
    // be read as it was (the file changed since the last refresh).
    const std::string* Ansi(std::uint32_t number);
    // The number itself or the next one after it that can be read, in the direction asked; 0
    // when there is none.
    std::uint32_t Next(std::uint32_t number, bool backwards) const;
    const Event* EventOf(std::uint32_t number);

    // What was wrong with the file at the last refresh.
    const std::vector<std::string>& Warnings() const { return m_warnings; }
    // The file was still being written at the last refresh: the state is the one before.
    bool Pending() const { return m_pending; }

    // Chunks whose records are kept in memory at most.
    static constexpr size_t kCachedChunks = 8;

private:
    // What is known of each chunk without keeping its records.
    struct ChunkInfo {
        bool read = false;
        std::uint64_t headerHash = 0;        // of its header, which holds its records' checksum
        std::vector<std::uint32_t> numbers;  // its records, in the order stored
        std::vector<std::string> warnings;
    };
    struct Parsed {
        size_t chunk = 0;
        Chunk records;
        std::vector<std::string> ansi;
    };
    void Rebuild();
    // The chunk's records, read from the file when they are not kept; nullptr when it cannot be
    // read as it was at the last refresh.
    Parsed* Load(size_t chunk);
    // The chunk of a number and its place there.
    bool Locate(std::uint32_t number, size_t& chunk, size_t& position) const;
    bool ReadChunk(size_t chunk, std::string& bytes) const;
    void Keep(Parsed parsed);
    void CloseFile();

    std::string m_path;
    std::string m_identity;  // device, inode, size and time of the file read last
    int m_fd = -1;           // the file as read last: a replaced one reads as it was
    std::vector<ChunkInfo> m_chunks;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_index;  // number, chunk; by number
    std::list<Parsed> m_kept;                                      // the newest used first
    State m_state;
    std::vector<std::string> m_warnings;
    bool m_pending = false;
};

// The record in the ANSI layout ReadEventLog gives: identifier as number, provider as source,
// level and keywords as type, task as category, qualifiers and event id as the event id, the
// data values as insertion strings, the user's SID and the computer.
std::string AnsiRecordOfEvent(const Event& event);

}  // namespace platform::evtx

#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/machine/evt_format.h"
#include "platform/machine/evtx/evtx_file.h"

namespace platform::evt {

// Where the records of a file stand, from its header or, in a dirty file, from its
// end-of-file record.
struct State {
    Header header;
    std::uint32_t start = kHeaderSize;
    std::uint32_t end = kHeaderSize;
    std::uint32_t current = 1;
    std::uint32_t oldest = 0;
    std::uint64_t fileSize = 0;  // the circular region is [kHeaderSize, fileSize)

    bool Empty() const { return start == end; }
    std::uint32_t Count() const { return Empty() ? 0 : current - oldest; }
    bool Holds(std::uint32_t number) const { return number - oldest < Count(); }
    std::uint32_t Region() const { return static_cast<std::uint32_t>(fileSize) - kHeaderSize; }
};

// One open .evt file. Readers and writers in any process share it through advisory locks: a
// shared one around every read of the file, an exclusive one around every change.
//
// A reader keeps what it learnt under its last lock: the state, a window of the file's bytes,
// an index from record number to offset and the records it converted to the ANSI layout. All
// of it describes the file as it was at one instant, so records served from it are whole; they
// are served without touching the file while the records asked for are within that state and
// this process has written no log since. Anything else (a number the state does not hold, a
// window that does not cover the record, a write by this process) reads the file anew, under
// the lock. Writers in other processes are seen at the next look at the state.
class EvtFile {
public:
    EvtFile() = default;
    ~EvtFile();
    EvtFile(const EvtFile&) = delete;
    EvtFile& operator=(const EvtFile&) = delete;

    // Opens a file (CP932 path); a writable one is created when missing, with an empty log of
    // the given maximum size.
    bool OpenForReading(const std::string& path);
    bool OpenForWriting(const std::string& path, std::uint32_t maxSize);

    // Reads the state anew (under a shared lock).
    bool Refresh();
    const State& CurrentState() const { return m_state; }
    // True when a record of that number can be answered from what the reader knows.
    bool Knows(std::uint32_t number) const;

    // A record in the ANSI layout; nullptr with the last error set when it cannot be read.
    const std::string* Ansi(std::uint32_t number);

    // Changes, each under the exclusive lock; see the writer.
    // A record that would take the place of one newer than the log's read mark is refused with
    // 1502 (the log is full).
    bool Append(Record record);
    // A log that lost its end-of-file record (or its header's offsets): its newest unbroken run
    // of records kept, the header and end-of-file record written anew. False when nothing was
    // broken (last error 0) or the file could not be mended.
    bool Repair(std::uint32_t& kept);
    bool Clear();
    bool SetMaxSize(std::uint32_t bytes);
    // SetMaxSize when the log has not wrapped and its size is smaller.
    bool Grow(std::uint32_t bytes);
    bool SetNextNumber(std::uint32_t number);

private:
    // Holds the file's advisory lock (LOCK_SH or LOCK_EX) while it lives; nested holders share
    // the outer one.
    class Lock {
    public:
        Lock(EvtFile& file, int operation);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        EvtFile& m_file;
    };
    bool LoadState();
    bool ReadCircular(std::uint32_t offset, std::uint32_t size, std::string& out);
    bool View(std::uint32_t offset, std::uint32_t size, std::string& scratch,
              std::string_view& out);
    bool ViewCached(std::uint32_t offset, std::uint32_t size, std::string_view& out) const;
    std::uint32_t Advance(std::uint32_t offset, std::uint32_t by) const;
    bool RecordAt(std::uint32_t offset, std::uint32_t expectedNumber, std::string& scratch,
                  std::string_view& record);
    bool FrameAt(std::uint32_t offset, std::string& scratch, std::string_view& record);
    void UpdateIndex();
    bool FindRecord(std::uint32_t number, std::string& scratch, std::string_view& record,
                    std::uint32_t& offset);
    const std::string* Convert(std::uint32_t number, std::uint32_t offset, std::string_view bytes);
    const std::string* AnsiLocked(std::uint32_t number);
    bool CommitState(State& s);
    bool WriteCircular(std::uint32_t offset, std::string_view bytes);

    // Whether the record of that number may be overwritten: the log's read mark, when a live
    // watcher keeps one, lies at or past it.
    bool MayOverwrite(std::uint32_t number);

    int m_fd = -1;
    bool m_writable = false;
    std::string m_path;
    std::string m_markKey;  // what the read mark's file looked like when read
    bool m_marked = false;
    std::uint32_t m_mark = 0;
    int m_lockDepth = 0;

    State m_state;
    bool m_stateKnown = false;
    std::uint64_t m_localWritesSeen = 0;  // this process's log writes when the state was read
    std::string m_stateKey;               // what the file looked like then
    std::uint64_t m_generation = 0;       // counts the changes of the file seen
    std::uint32_t m_eofHint = 0;          // where the end-of-file record was last found
    std::string m_walkFailedKey;          // a dirty file walked without finding that record

    // A read-ahead window of the file, read under the lock in the current generation.
    std::string m_window;
    std::uint64_t m_windowStart = 0;

    // Offsets of the records numbered m_firstNumber, m_firstNumber + 1, ...
    std::deque<std::uint32_t> m_offsets;
    std::uint32_t m_firstNumber = 0;
    std::uint32_t m_nextOffset = kHeaderSize;  // after the last indexed record
    bool m_indexDamaged = false;

    // Records already converted; an entry counts in a later generation only while the record's
    // bytes at its offset are still the same.
    struct Converted {
        std::uint32_t offset;
        std::uint64_t hash;
        std::uint64_t generation;
        std::string ansi;
    };
    std::unordered_map<std::uint32_t, Converted> m_converted;
};

// The read mark kept beside a log (its path and ".watch"): the watcher (its process id and the
// start time /proc gives it) and the newest record it has read.
std::string FormatReadMark(long pid, unsigned long long start, std::uint32_t read);
bool ParseReadMark(std::string_view text, long& pid, unsigned long long& start,
                   std::uint32_t& read);

// Log writes made by this process so far (every change to any log counts one), and the call
// every change makes first, so that this process's readers see it at once.
std::uint64_t LocalWrites();
void NoteLocalWrite();

}  // namespace platform::evt

namespace platform {

// What an event log handle holds.
struct EventLog {
    evt::EvtFile file;
    std::unique_ptr<evtx::EvtxFile> evtx;  // instead of file, for an .evtx log
    std::string logName;                   // the registry's spelling; empty for a backup file
    std::uint32_t sequentialNumber = 0;
    bool sequentialStarted = false;
};

// The registry key of a log.
std::string EventLogKeyPath(std::string_view logName);

}  // namespace platform

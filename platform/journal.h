#pragma once

#include <cstdint>
#include <string>

struct sd_journal;

// The systemd journal, read through libsystemd: the local machine's, or the journal files of a
// folder (a copy). Fields are the journal's bytes (UTF-8 as journald keeps them).
namespace platform {

struct JournalEntry {
    std::string cursor;
    std::int64_t realtimeUs = 0;  // when it was written, microseconds since 1970
    std::string message, priority, identifier, unit, userUnit, hostname, uid, facility, messageId,
        transport, command, pid;
};

class Journal {
public:
    Journal() = default;
    ~Journal() { Close(); }
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // folder empty: the local journal (system and users'). False with the last error.
    bool Open(const std::string& folder);
    void Close();

    // Positions so that Next gives the entry after the one of the cursor; false (and positioned
    // at the nearest later entry) when the journal no longer holds it.
    bool SeekAfter(const std::string& cursor);
    // Next gives only entries written from now on / every entry from the oldest.
    bool SeekTail();
    bool SeekHead();
    // Next gives the first entry written at or after the time (microseconds since 1970).
    bool SeekRealtime(std::int64_t usec);

    // The next entry; false when there is none yet (or on an error, with the last error).
    bool Next(JournalEntry& entry);
    // Waits at most timeoutMs for the journal to change: nothing, entries added to the files it
    // reads, or files added or removed (entries may then have come before the ones read).
    enum class Change { None, Appended, Files };
    Change Wait(unsigned timeoutMs);

private:
    ::sd_journal* m_journal = nullptr;
};

}  // namespace platform

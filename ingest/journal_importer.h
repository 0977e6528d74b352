#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "ingest/event_source.h"
#include "platform/journal.h"

struct JournalOptions {
    std::string folder;  // empty: the local journal; otherwise a folder of journal files
    // The first import (no place kept yet) takes the entries of the last so many hours (0: from
    // now on), or every entry there is.
    std::int32_t historyHours = 0;
    bool all = false;
    std::uint32_t logBytes = 0;  // the size the logs written into are grown to (0: as they are)

    bool operator==(const JournalOptions&) const = default;
};

// The entries of a journal taken so far, by the sequence their journal numbered them in (its
// seqnum id): ranges of their numbers, so that entries of a file that came late fill a gap.
class JournalTaken {
public:
    bool Has(const std::string& sequence, std::uint64_t number) const;
    void Add(const std::string& sequence, std::uint64_t number);
    // "Taken=<sequence>:<first>-<last>" lines, and back.
    std::string Format() const;
    void Parse(std::string_view lines);

private:
    std::map<std::string, std::map<std::uint64_t, std::uint64_t>> m_ranges;  // first -> last
};

// The parts of a journal cursor ("s=...;i=...;t=..."): its sequence, its number there and its
// time in microseconds; false for a cursor without them.
bool ParseJournalCursor(const std::string& cursor, std::string& sequence, std::uint64_t& number,
                        std::int64_t& realtimeUs);

// Takes the entries of the systemd journal into the machine's logs as they arrive: the kernel's,
// systemd's own and system services' into System, the rest into Application. Source =
// SYSLOG_IDENTIFIER (else the unit, else the command), type from PRIORITY, category from the
// facility, the same event identifier rule as syslog's, computer = _HOSTNAME, user from _UID
// where the machine knows the account, the entry's own time. What was taken is kept
// (JOURNAL.DAT: the entries' numbers by sequence, and the time the import began), and every record
// carries its entry's cursor, so that nothing is taken twice or missed across a restart, even
// one that came between a record and the save. Journal files that arrive later in a folder are
// read again for the entries they bring. An entry the logs do not take now (a log full of
// records the watch has not read, a disk full) is tried again until it is taken: never passed.
class JournalImporter : public EventSource {
public:
    JournalImporter() = default;
    ~JournalImporter() override { Stop(); }
    JournalImporter(const JournalImporter&) = delete;
    JournalImporter& operator=(const JournalImporter&) = delete;

    // Started again only when the journal it reads changed.
    void Apply(const ExtensionSettings& options) override;
    // Opens the journal and starts the thread; false (with a line in the program log) when the
    // journal cannot be opened.
    bool Start(const JournalOptions& options);
    void Stop() override;
    bool Running() const override { return m_thread.joinable(); }

    // Written are the entries imported; counted once the place after them is kept.
    IngestCounts GetCounts() const { return m_progress.Get(); }
    // Waits until at least count entries were imported or failed; false after timeoutMs without.
    bool WaitForWritten(std::uint64_t count, unsigned timeoutMs) const {
        return m_progress.WaitForRecords(count, timeoutMs);
    }

    // Where what was taken is kept.
    static std::string StatePath();
    // Called (on the importer's thread) while a log is full of records the watch has not read.
    void SetLogFullHandler(std::function<void()> handler) { m_logFull = std::move(handler); }

private:
    void Run();
    bool SaveState(const JournalTaken& taken, std::int64_t since);
    // The cursors of the newest imported records in the logs (a run that ended between writing
    // them and saving its place left them there).
    std::set<std::string> CursorsInLogs() const;

    JournalOptions m_options;
    platform::Journal m_journal;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    IngestProgress m_progress;
    std::function<void()> m_logFull;
    bool m_saveFailed = false;
};

// The log a journal entry goes to: System for the kernel and system services, else Application.
std::string JournalLogOf(const platform::JournalEntry& entry);
// The source: SYSLOG_IDENTIFIER, else the unit, else the command, else "journal".
std::string JournalSourceOf(const platform::JournalEntry& entry);

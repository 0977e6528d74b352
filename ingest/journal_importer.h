#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "ingest/event_source.h"
#include "platform/journal.h"

struct JournalOptions {
    std::string folder;  // empty: the local journal; otherwise a folder of journal files

    bool operator==(const JournalOptions&) const = default;
};

// Takes the entries of the systemd journal into the machine's logs as they arrive: the kernel's
// and system services' into System, the rest into Application. Source = SYSLOG_IDENTIFIER (else
// the unit, else the command), type from PRIORITY, category from the facility, the same event
// identifier rule as syslog's, computer = _HOSTNAME, user from _UID where the machine knows the
// account, the entry's own time. The place in the journal is kept (JOURNAL.DAT), and every record
// carries its entry's cursor, so that nothing is taken twice or missed across a restart, even
// one that came between a record and the place's save.
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

    // Where the place in the journal is kept.
    static std::string StatePath();

private:
    void Run();
    // The cursors of the newest imported records in the logs (a run that ended between writing
    // them and saving its place left them there).
    std::set<std::string> CursorsInLogs() const;

    JournalOptions m_options;
    platform::Journal m_journal;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    IngestProgress m_progress;
};

// The log a journal entry goes to: System for the kernel and system services, else Application.
std::string JournalLogOf(const platform::JournalEntry& entry);
// The source: SYSLOG_IDENTIFIER, else the unit, else the command, else "journal".
std::string JournalSourceOf(const platform::JournalEntry& entry);

#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "config/lists.h"
#include "core/matching.h"
#include "core/resume_state.h"
#include "core/state_rules.h"
#include "platform/machine/eventlog.h"

struct ExtensionSettings;
struct Settings;

// The watch timer as the monitor drives it (the main window's QTimer).
class WatchTimer {
public:
    virtual ~WatchTimer() = default;
    virtual void SetInterval(unsigned milliseconds) = 0;
    virtual void SetEnabled(bool enabled) = 0;
};

// The commit buttons of the configuration dialogs, disabled while a tick hands its mail over and
// saves its place (it works on copies of the lists and settings otherwise).
class DialogLocks {
public:
    virtual ~DialogLocks() = default;
    // LockWatchList, LockAddressList, LockEntry, in this order.
    virtual void Lock() = 0;
    // UnlockWatchList, UnlockAddressList, UnlockEntry, in this order.
    virtual void Unlock() = 0;
};

// What happens to a tick's report records, in this order: actions, mail, network messages.
class BatchConsumers {
public:
    virtual ~BatchConsumers() = default;
    virtual void ProcessActions(TickBatch& batch) = 0;
    // Runs at every tick, between the actions and the notifications, whether or not anything
    // matched: what waits for a tick (held notifications and their summaries).
    virtual void BeforeNotifications(TickBatch&) {}
    // Puts the batch's mail in safe hands: sent, or kept where it survives the program.
    virtual void DeliverMail(TickBatch& batch) = 0;
    // At every tick, once the batch's mail is in safe hands and before the monitor keeps its
    // place in the logs (when it keeps it): what must survive the program together with it.
    virtual void Checkpoint() {}
    // At every tick, after that: what may wait until then (sending the mail kept for it).
    virtual void AfterCheckpoint() {}
    // By log, the oldest record whose report mail is neither sent nor kept where it survives
    // the program: the place kept for a next start stays before it.
    virtual std::map<std::string, std::uint32_t> HeldRecords() const { return {}; }
    virtual void SendNetworkMessages(TickBatch& batch) = 0;
};

// One event log of the machine while monitoring runs.
struct WatchedLog {
    std::string name;
    platform::UniqueEventLog handle;          // none when it could not be opened or read
    std::unique_ptr<EventRecord> lastRecord;  // the newest record read so far
    RecordIdentity lastIdentity;              // of the last record, when it was read
    std::uint32_t failingNumber = 0;          // a record that could not be read ...
    int failures = 0;                         // ... and at how many ticks in a row
    std::uint32_t catchingUp = 0;             // records written while the program was down
    // A copy of another machine's log (.evtx): refreshed or put back from elsewhere, never
    // written here; its records are judged by their own numbers against the newest read.
    bool copy = false;
    std::set<std::string> warned;  // what its file's reader said, said once
};

// Whether a record number lies in the log's range, which may wrap past 4294967295.
inline bool InLog(std::uint32_t number, std::uint32_t oldest, std::uint32_t newest) {
    return oldest <= newest ? (oldest <= number && number <= newest)
                            : (number >= oldest || number <= newest);
}

// A record that cannot be read at this many ticks in a row is passed by.
constexpr int kReadAttempts = 3;

// The monitoring state: the watched logs, starting and stopping, and the watch tick.
class Monitor {
public:
    Monitor(const Settings& settings, const WatchList& watches, WatchTimer& timer,
            DialogLocks& locks, BatchConsumers& consumers);
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // The options in effect (resume after restart); without them, none is.
    void SetExtensions(const ExtensionSettings* extensions) { m_extensions = extensions; }

    // Opens every log of the machine and takes its newest record as the starting point (or,
    // resuming, the record after the one handled last in the previous run).
    void StartMonitoring();
    void StopMonitoring();
    // Any thread may ask: the tick's thread grows the list of logs while the window reads this.
    bool Running() const { return m_running.load(std::memory_order_acquire); }
    // Whether the first check has records written while the program was stopped to check.
    bool CatchingUp() const;

    // The body of the watch timer's tick.
    void WatchTick();

    const std::vector<std::unique_ptr<WatchedLog>>& Logs() const { return m_logs; }
    const StateRules& Rules() const { return m_rules; }
    // When a check must run for a rule's deadline (seconds since 1970; 0: none), as the last
    // tick or the start left it. Any thread may ask.
    std::int64_t NextDeadline() const { return m_nextDeadline.load(std::memory_order_acquire); }

private:
    // A record the rules must see, kept until every log of the tick was read.
    struct RuleRecord {
        std::int64_t arrival = 0;
        bool recovery = false;  // it only ends problems
        size_t log = 0;         // its log's place among the logs
        std::string logName;
        EventRecord record;
        size_t first = 0, end = 0;  // its reports in the batch
    };
    // Reads and matches the new records of one log.
    void CheckLog(WatchedLog& log, size_t place, const WatchIndex& index, TickBatch& batch);
    // Says, once each, what the reader of a copy found wrong in its file.
    void SayFileWarnings(WatchedLog& log);
    // The rules see the tick's records in the order they arrived, whatever their logs.
    void ObserveInArrivalOrder(TickBatch& batch);
    bool Resuming() const;
    // Reads RESUME.DAT, saying so when it was damaged (a copy kept aside).
    void LoadResume();
    void ResumeLog(WatchedLog& log, std::uint32_t oldest, std::uint32_t count);
    void SaveResumeState();
    void SaveRuleState();
    // Logs the machine registered since monitoring started are watched from their first record.
    void AddNewLogs();
    void CheckNewRecords(WatchedLog& log, size_t place, std::uint32_t oldest, std::uint32_t newest,
                         const WatchIndex& index, TickBatch& batch);
    // Where the records of a copy that are new begin (0: none is): after the newest read, or,
    // when the log started over on its machine, at the first written after it.
    std::uint32_t FirstNewOfCopy(WatchedLog& log, std::uint32_t oldest, std::uint32_t newest);
    // The count of a log's records; a log a writer left without its end (killed half-way) is
    // mended first, with a warning.
    bool CountRecords(WatchedLog& log, platform::DWORD& count);
    // Tells the logs' writers how far the watch has read, so that they overwrite nothing newer;
    // the marks are taken away when monitoring stops.
    void PublishReadMarks();
    void ClearReadMarks();

    const Settings& m_settings;
    const WatchList& m_watches;
    WatchTimer& m_timer;
    DialogLocks& m_locks;
    BatchConsumers& m_consumers;
    std::vector<std::unique_ptr<WatchedLog>> m_logs;
    std::map<std::string, platform::DWORD> m_readMarks;  // as last told, by log
    std::atomic<bool> m_running{false};
    const ExtensionSettings* m_extensions = nullptr;
    ResumeState m_resume;                   // as read at start, updated by every tick
    bool m_resumeSaveFailed = false;        // said once until a save works again
    StateRules m_rules;                     // absence and recovery rules
    std::int64_t m_tickTime = 0;            // when the running tick began
    std::vector<RuleRecord> m_ruleRecords;  // the running tick's
    std::atomic<std::int64_t> m_nextDeadline{0};
    std::string m_savedRules;  // their state as last saved
    bool m_rulesSaveFailed = false;
};

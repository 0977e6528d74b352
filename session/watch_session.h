#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/lists.h"
#include "config/settings.h"
#include "core/flood_control.h"
#include "core/monitor.h"
#include "core/program_log.h"
#include "ingest/journal_importer.h"
#include "ingest/syslog_receiver.h"
#include "notify/mail_report.h"
#include "notify/mail_spool.h"
#include "platform/filewatch.h"

// What the session tells the window it is shown in. Every call but RequestDispatch is made on
// the window's thread, from WatchSession::Dispatch, in the order the session made it.
class SessionView {
public:
    virtual ~SessionView() = default;
    // Asks for WatchSession::Dispatch to run soon on the window's thread; any thread calls it,
    // and it must not call back into the session.
    virtual void RequestDispatch() = 0;
    // A line of the program log, for the list.
    virtual void AddLogLine(int level, const platform::SystemTime& time,
                            const std::string& text) = 0;
    // The watch timer.
    virtual void SetWatchInterval(unsigned milliseconds) = 0;
    virtual void SetWatchEnabled(bool enabled) = 0;
    // The commit buttons of the configuration dialogs: LockWatchList, LockAddressList and
    // LockEntry in this order, and their unlock counterparts.
    virtual void LockDialogs() = 0;
    virtual void UnlockDialogs() = 0;
    // The work of a tick (or a send of the outbox) is over.
    virtual void SessionIdle() {}
};

// The watch session: the settings and lists, the program log, the monitor and the delivery of
// its reports (actions, report mail with its outbox and flood control, network messages), for
// one run of the program. The window shows and edits what it holds, on the window's thread; a
// tick runs on the session's own thread, on copies of the settings and lists taken when it
// starts, and tells the window what it did through queued calls, so that neither ever waits
// for the other. While a tick runs, what would change its state (monitoring started or stopped,
// delivery options) waits for its end.
class WatchSession : private WatchTimer,
                     private DialogLocks,
                     private BatchConsumers,
                     private LogSink {
public:
    WatchSession();
    ~WatchSession() override;
    WatchSession(const WatchSession&) = delete;
    WatchSession& operator=(const WatchSession&) = delete;

    // Loads ETC.DAT, MAIL.DAT and WATCH.DAT in this order, the extension options, the held
    // notification counts, and probes the mail library.
    void Load();
    // The window that shows the session; nullptr shows nothing (queued calls are dropped).
    void SetView(SessionView* view);

    // What the window shows and edits, on its thread.
    Settings& CurrentSettings() { return m_settings; }
    ExtensionSettings& Extensions() { return m_extensions; }
    AddressList& Addresses() { return m_addresses; }
    WatchList& Watches() { return m_watches; }
    ProgramLog& Log() { return m_log; }
    bool UsesMailLibrary() const { return m_mailLibrary.send != nullptr; }
    BSendMailFunction MailLibraryEntry() const { return m_mailLibrary.send; }
    // The monitor (tests look at it between ticks).
    const Monitor& GetMonitor() const { return m_monitor; }
    bool Running() const { return m_monitor.Running(); }

    // Starts monitoring and sends what the outbox kept from an earlier run.
    void Start();
    void StartMonitoring();
    void StopMonitoring();
    // The extension options changed (or were loaded): their effects, and a warning when the
    // mail library cannot send kept mail.
    void ApplyExtensions();
    // The settings were changed by the settings dialog: a new interval for the timer (the count
    // restarts only when it differs), monitoring started when it is stopped, the log file
    // opened anew.
    void SettingsAccepted();
    // The watch list dialog closed with OK: saved (asking on failure), and monitoring started
    // when it is stopped.
    void WatchListAccepted();
    // The address list dialog deleted or changed an address: the watch entries follow.
    void AddressDeleted(const AddressEntry& deleted);
    void AddressChanged(const AddressEntry& newValues, const AddressEntry& old);

    // The watch timer fired: a tick starts on the session's thread (after the work in progress,
    // when there is some). False when it did not start now.
    bool Tick();
    // True while a tick or a send of the outbox runs.
    bool Busy() const { return m_busy; }
    // Runs the window's queued calls until the session is idle (tests, the end of the run).
    void WaitUntilIdle();
    // For a program that must end now: what the running job waits on (a peer, a service, a
    // program) is given up at once, and the job ends as after a failure of each: mail not sent
    // stays in the outbox when it is on.
    void Abandon();
    // Runs the calls queued for the window; the window calls it on its thread when asked.
    void Dispatch();

    // The interval the watch timer was last given, in milliseconds.
    unsigned WatchInterval() const { return m_interval; }

private:
    // WatchTimer, DialogLocks: queued for the window.
    void SetInterval(unsigned milliseconds) override;
    void SetEnabled(bool enabled) override;
    void Lock() override;
    void Unlock() override;
    // BatchConsumers, on the session's thread.
    void ProcessActions(TickBatch& batch) override;
    void BeforeNotifications(TickBatch& batch) override;
    void DeliverMail(TickBatch& batch) override;
    void Checkpoint() override;
    void AfterCheckpoint() override;
    void SendNetworkMessages(TickBatch& batch) override;
    // LogSink: queued for the window.
    void AddLogLine(int level, const platform::SystemTime& time, const std::string& text) override;

    void Post(std::function<void()> call);
    // Runs the call now when the session is idle, else when it becomes idle.
    void WhenIdle(std::function<void()> call);
    // Copies what a tick reads and puts the options in effect; then the job runs on the
    // session's thread.
    void StartJob(std::function<void()> job);
    void JobEnded();
    void Worker();
    void ApplyDelivery();
    bool OutboxWaiting() const;
    std::string FloodStatePath() const;

    // What the window edits.
    Settings m_settings;
    ExtensionSettings m_extensions;
    AddressList m_addresses;
    WatchList m_watches;
    // What a tick reads: copies taken when it starts.
    Settings m_tickSettings;
    ExtensionSettings m_tickExtensions;
    WatchList m_tickWatches;
    // What the program log reads, changed under its lock.
    Settings m_logSettings;

    ProgramLog m_log;
    MailLibrary m_mailLibrary;
    MailSpool m_spool;
    ReportMailer m_mailer;
    FloodControl m_flood;
    std::string m_savedFlood;                 // the held counts as last saved
    std::vector<std::string> m_loadWarnings;  // lists read in part, told at the start
    Monitor m_monitor;

    SessionView* m_view = nullptr;
    unsigned m_interval = 0;

    // On the window's thread.
    bool m_busy = false;
    bool m_tickPending = false;
    bool m_dispatching = false;
    std::vector<std::function<void()>> m_whenIdle;

    // Calls queued for the window.
    std::mutex m_queueMutex;
    std::condition_variable m_queued;
    std::deque<std::function<void()>> m_queue;
    bool m_dispatchRequested = false;

    // The session's thread and its one job.
    std::mutex m_jobMutex;
    std::condition_variable m_jobChanged;
    std::function<void()> m_job;
    bool m_quit = false;
    std::thread m_thread;
    // Immediate checks: a thread that waits on the logs' files and asks for a tick.
    void StartChangeWatch();
    void StopChangeWatch();
    void WatchChanges();
    std::thread m_changeThread;
    std::atomic<bool> m_changeQuit{false};
    std::unique_ptr<platform::FileWatcher> m_changeWatcher;  // while the thread runs
    // The syslog receiver, with the options it was started with.
    SyslogReceiver m_syslog;
    SyslogOptions m_syslogOptions;
    JournalImporter m_journal;
    JournalOptions m_journalOptions;

public:
    const SyslogReceiver& Syslog() const { return m_syslog; }
    const JournalImporter& Journal() const { return m_journal; }
};

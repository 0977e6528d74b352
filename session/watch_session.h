#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "config/lists.h"
#include "config/settings.h"
#include "core/monitor.h"
#include "core/program_log.h"
#include "ingest/journal_importer.h"
#include "ingest/syslog_receiver.h"
#include "session/change_watch.h"
#include "session/deadline_timer.h"
#include "session/delivery.h"
#include "session/session_config.h"
#include "session/tick_runner.h"
#include "session/window_queue.h"

// The watch session: the configuration, the program log, the monitor, the sources beside the
// machine's logs and the delivery of the reports, for one run of the program. The window shows
// and edits what it holds, on its thread; a tick runs on the session's own thread, on copies of
// the settings and lists taken when it starts, and tells the window what it did through queued
// calls, so that neither ever waits for the other. While a tick runs, what would change its
// state (monitoring started or stopped, delivery options) waits for its end.
class WatchSession : private WatchTimer, private DialogLocks, private LogSink {
public:
    WatchSession();
    ~WatchSession() override;
    WatchSession(const WatchSession&) = delete;
    WatchSession& operator=(const WatchSession&) = delete;

    // Loads the configuration, the held notification counts, and probes the mail library.
    void Load();
    // The window that shows the session; nullptr shows nothing (queued calls are dropped).
    void SetView(SessionView* view);

    // What the window shows and edits in place, on its thread.
    Settings& CurrentSettings() { return m_config.CurrentSettings(); }
    ExtensionSettings& Extensions() { return m_config.Extensions(); }
    AddressList& Addresses() { return m_config.Addresses(); }
    WatchList& Watches() { return m_config.Watches(); }
    ProgramLog& Log() { return m_log; }
    bool UsesMailLibrary() const { return m_delivery.UsesMailLibrary(); }
    BSendMailFunction MailLibraryEntry() const { return m_delivery.MailLibraryEntry(); }
    // The monitor (tests look at it between ticks).
    const Monitor& GetMonitor() const { return m_monitor; }
    bool Running() const { return m_monitor.Running(); }

    // The session only edits the files of a service that watches them: it never monitors and
    // starts no source, and after a dialog saved the files, saved asks the service to read them.
    void EditFor(std::function<void()> saved);
    bool Editing() const { return static_cast<bool>(m_serviceSaved); }

    // Starts monitoring and sends what the outbox kept from an earlier run.
    void Start();
    void StartMonitoring();
    void StopMonitoring();
    // The extension options are in effect: the sources started or stopped, and a warning when
    // the mail library cannot send kept mail.
    void ApplyExtensions();
    // Reads the configuration files again (another program wrote them) and puts them in effect
    // between two checks, as the dialogs' OK does; when a list or the rules do not read whole,
    // nothing changes and the log says so. False then.
    bool Reload();

    // Asked when a file could not be saved: true to try again. Without one, a failed save is
    // not tried again.
    using RetryQuestion = std::function<bool()>;
    // The settings dialog changed the settings or the extension options: ETC.DAT saved, the
    // options put in effect, a new interval for the timer (the count restarts only when it
    // differs), monitoring started when it is stopped, the log file opened anew.
    void SettingsAccepted();
    // The watch list dialog closed with OK: WATCH.DAT saved, and monitoring started when it is
    // stopped. False when the list could not be saved.
    bool WatchListAccepted(const RetryQuestion& retry = {});
    // The address list dialog closed with OK: MAIL.DAT saved.
    bool AddressListAccepted(const RetryQuestion& retry = {});
    // The address list dialog deleted or changed an address: the watch entries follow, and
    // WATCH.DAT is saved when they changed; monitoring stops when no entry is left.
    void AddressDeleted(const AddressEntry& deleted, const RetryQuestion& retry = {});
    void AddressChanged(const AddressEntry& newValues, const AddressEntry& old,
                        const RetryQuestion& retry = {});

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
    // The program is to end. True when it may end now; otherwise the work that runs is given
    // up (Abandon) and the view hears SessionMayEnd when it ended, or when it did not end
    // within the grace time (abandoned: its thread is stuck where nothing can end it).
    bool RequestEnd();
    // Runs the calls queued for the window; the window calls it on its thread when asked.
    void Dispatch() { m_queue.Dispatch(); }

    // The interval the watch timer was last given, in milliseconds.
    unsigned WatchInterval() const { return m_interval; }
    // When a check is due for a rule's deadline (seconds since 1970; 0: none is).
    std::int64_t NextDeadline() const { return m_deadline.When(); }

    // What the sources took in since they started, a line each (CP932): for the version box.
    std::string SourcesStatus() const;

    const SyslogReceiver& Syslog() const { return m_syslog; }
    const JournalImporter& Journal() const { return m_journal; }

    // How long an ending program waits for a job that was given up.
    static constexpr unsigned kEndGraceMs = 5000;

private:
    // WatchTimer, DialogLocks: queued for the window.
    void SetInterval(unsigned milliseconds) override;
    void SetEnabled(bool enabled) override;
    void Lock() override;
    void Unlock() override;
    // LogSink: queued for the window.
    void AddLogLine(int level, const platform::SystemTime& time, const std::string& text) override;

    // The settings and options as they now stand put in effect: the sources, the timer's
    // interval (monitoring started when it is stopped), the log file opened anew.
    void PutSettingsInEffect();
    // Runs the call now when the session is idle, else when it becomes idle.
    void WhenIdle(std::function<void()> call);
    // Copies what a tick reads and puts the options in effect; then the job runs on the
    // session's thread.
    void StartJob(std::function<void()> job);
    void JobEnded();
    bool SaveAsking(const std::function<bool()>& save, const RetryQuestion& retry);
    SessionView* View() const { return m_queue.View(); }

    SessionConfig m_config;
    // What a tick reads: copies taken when it starts.
    Settings m_tickSettings;
    ExtensionSettings m_tickExtensions;
    WatchList m_tickWatches;
    // What the program log reads, changed under its lock.
    Settings m_logSettings;
    ExtensionSettings m_appliedExtensions;  // the options last put in effect
    bool m_extensionsApplied = false;

    WindowQueue m_queue;
    ProgramLog m_log;
    Delivery m_delivery;
    Monitor m_monitor;
    unsigned m_interval = 0;

    // On the window's thread.
    bool m_busy = false;
    bool m_tickPending = false;
    bool m_endRequested = false;
    std::vector<std::function<void()>> m_whenIdle;

    // The sources beside the machine's logs, stopped before the thread that runs the ticks.
    SyslogReceiver m_syslog;
    JournalImporter m_journal;
    ChangeWatch m_changes;
    DeadlineTimer m_deadline;  // a check at the next deadline of a rule
    TickRunner m_runner;
    std::thread m_endWatch;                // waits out the grace time of an end that was asked for
    std::function<void()> m_serviceSaved;  // set while editing for a service
};

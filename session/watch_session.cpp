#include "session/watch_session.h"

#include <algorithm>
#include <memory>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/pump.h"
#include "platform/user_folders.h"

namespace {

// A hand-made ETC.DAT may say 0 minutes: the timer would then tick without a pause.
unsigned TimerInterval(const Settings& settings) {
    return std::max(settings.Interval * 60000u, 60000u);
}

WatchList Copy(const WatchList& watches) {
    WatchList copy;
    copy.reserve(watches.size());
    for (const auto& w : watches) copy.push_back(std::make_unique<WatchEntry>(*w));
    return copy;
}

}  // namespace

WatchSession::WatchSession()
    : m_log(m_logSettings, this),
      m_delivery(m_tickSettings, m_tickExtensions),
      m_monitor(m_tickSettings, m_tickWatches, *this, *this, m_delivery),
      // On the window's thread, as the timer's tick: a check that runs takes this one after it.
      m_changes([this] { m_queue.Post([this] { Tick(); }); }),
      m_deadline([this] { m_queue.Post([this] { Tick(); }); }),
      m_runner([this] { m_queue.Post([this] { JobEnded(); }); }) {
    SetProgramLog(&m_log);
    m_monitor.SetExtensions(&m_tickExtensions);
    // A source whose log is full of records the watch has not read asks for a check, whatever
    // the interval, so that it waits no longer than the watch takes to read them.
    auto check = [this] { m_queue.Post([this] { Tick(); }); };
    m_syslog.SetLogFullHandler(check);
    m_journal.SetLogFullHandler(check);
}

WatchSession::~WatchSession() {
    m_changes.Stop();
    m_deadline.Stop();
    m_syslog.Stop();
    m_journal.Stop();
    WaitUntilIdle();
    if (m_endWatch.joinable()) m_endWatch.join();
    SetView(nullptr);
    if (CurrentProgramLog() == &m_log) SetProgramLog(nullptr);
}

void WatchSession::Load() {
    m_config.Load();
    {
        auto lock = m_log.Lock();
        m_logSettings = m_config.CurrentSettings();
    }
    // Which files this run uses comes first: an installed program and a portable copy differ.
    LogMessage(kLogInformation, "%s",
               platform::DescribeProgramFolders(platform::UserFolders()).c_str());
    m_delivery.Load();
}

void WatchSession::SetView(SessionView* view) { m_queue.SetView(view); }

// ---- Calls for the window ----

void WatchSession::Abandon() { platform::AbandonWaits(true); }

bool WatchSession::RequestEnd() {
    if (!m_busy) return true;
    if (m_endRequested) return false;
    m_endRequested = true;
    Abandon();
    // A job stuck where nothing ends it (inside the mail library) is left behind after a while.
    m_endWatch = std::thread([this] {
        if (m_runner.WaitForEnd(kEndGraceMs)) return;
        m_queue.Post([this] {
            if (View()) View()->SessionMayEnd(true);
        });
    });
    return false;
}

void WatchSession::WaitUntilIdle() {
    Dispatch();
    while (m_busy) {
        m_queue.WaitForCalls(50);
        Dispatch();
    }
}

void WatchSession::AddLogLine(int level, const platform::SystemTime& time,
                              const std::string& text) {
    m_queue.Post([this, level, time, text] {
        if (View()) View()->AddLogLine(level, time, text);
    });
}

void WatchSession::SetInterval(unsigned milliseconds) {
    // What the monitor asks for, never below a minute.
    milliseconds = std::max(milliseconds, 60000u);
    m_interval = milliseconds;
    m_queue.Post([this, milliseconds] {
        if (View()) View()->SetWatchInterval(milliseconds);
    });
}

void WatchSession::SetEnabled(bool enabled) {
    m_queue.Post([this, enabled] {
        if (View()) View()->SetWatchEnabled(enabled);
    });
}

void WatchSession::Lock() {
    m_queue.Post([this] {
        if (View()) View()->LockDialogs();
    });
}

void WatchSession::Unlock() {
    m_queue.Post([this] {
        if (View()) View()->UnlockDialogs();
    });
}

// ---- Monitoring, on the window's thread ----

void WatchSession::WhenIdle(std::function<void()> call) {
    if (m_busy) {
        m_whenIdle.push_back(std::move(call));
    } else {
        call();
    }
}

void WatchSession::EditFor(std::function<void()> saved) { m_serviceSaved = std::move(saved); }

void WatchSession::Start() {
    for (const std::string& warning : m_config.Warnings()) {
        LogMessage(kLogWarning, "%s", warning.c_str());
    }
    m_config.ClearWarnings();
    if (Editing()) return;
    StartMonitoring();
    // Mail an earlier run kept goes out now, not one interval later. Records written while the
    // program was stopped are checked first, and the check sends it once their place is saved:
    // a mail kept just before the last run ended then never comes back as a new report.
    WhenIdle([this] {
        if (m_monitor.Running() && m_monitor.CatchingUp()) {
            Tick();
        } else if (m_delivery.OutboxWaiting(Extensions())) {
            StartJob([this] { m_delivery.FlushOutbox(); });
        }
    });
}

void WatchSession::StartMonitoring() {
    WhenIdle([this] {
        if (m_monitor.Running() || Editing()) return;
        m_tickSettings = CurrentSettings();
        m_tickExtensions = Extensions();
        m_tickWatches = Copy(Watches());
        m_monitor.StartMonitoring();
        // Deadlines that passed while the program was stopped are due now.
        m_deadline.Set(m_monitor.NextDeadline());
    });
}

void WatchSession::StopMonitoring() {
    WhenIdle([this] {
        m_tickExtensions = Extensions();
        m_monitor.StopMonitoring();
        m_deadline.Set(0);
    });
}

void WatchSession::ApplyExtensions() {
    const ExtensionSettings& options = Extensions();
    m_appliedExtensions = options;
    m_extensionsApplied = true;
    if (Editing()) return;  // the service's sources, not this program's
    m_changes.Apply(options);
    m_journal.Apply(options);
    m_syslog.Apply(options);
    const bool unsupported =
        options.Spool && UsesMailLibrary() && !m_delivery.LibrarySendsKeptMail();
    if (unsupported) {
        LogMessage(kLogWarning, "%s",
                   sjis(u8"BSMTP.DLLが保存したメールの再送に対応していないため、送信できなかった"
                        u8"メールは保存されません。")
                       .c_str());
    }
}

void WatchSession::SettingsAccepted() {
    m_config.SaveSettings();
    PutSettingsInEffect();
}

void WatchSession::PutSettingsInEffect() {
    if (Editing()) {
        m_serviceSaved();
        return;
    }
    if (!m_extensionsApplied || !(Extensions() == m_appliedExtensions)) ApplyExtensions();
    const unsigned interval = TimerInterval(CurrentSettings());
    if (m_monitor.Running()) {
        // The count restarts only when the interval changed.
        if (interval != m_interval) SetInterval(interval);
    } else {
        StartMonitoring();
    }
    {
        auto lock = m_log.Lock();
        m_logSettings = CurrentSettings();
    }
    m_log.CloseLogFile();
    m_log.StartLogFile();
}

bool WatchSession::Reload() {
    auto fresh = std::make_shared<SessionConfig>();
    fresh->Load();
    if (fresh->Damaged()) {
        for (const std::string& warning : fresh->Warnings()) {
            LogMessage(kLogWarning, "%s", warning.c_str());
        }
        LogMessage(kLogError, "%s",
                   sjis(u8"設定ファイルが正しく読めないため、読み込み直しませんでした。これまでの"
                        u8"設定で監視を続けます。")
                       .c_str());
        return false;
    }
    WhenIdle([this, fresh] {
        for (const std::string& warning : fresh->Warnings()) {
            LogMessage(kLogWarning, "%s", warning.c_str());
        }
        fresh->ClearWarnings();
        m_config = std::move(*fresh);
        if (Editing()) return;  // what the files say is what the service runs
        if (Watches().empty()) StopMonitoring();
        PutSettingsInEffect();
        LogMessage(kLogInformation, "%s", sjis(u8"設定を読み込み直しました。").c_str());
    });
    return true;
}

bool WatchSession::SaveAsking(const std::function<bool()>& save, const RetryQuestion& retry) {
    while (!save()) {
        if (!retry || !retry()) return false;
    }
    return true;
}

bool WatchSession::WatchListAccepted(const RetryQuestion& retry) {
    const bool saved = SaveAsking([this] { return m_config.SaveWatchList(); }, retry);
    if (Editing()) {
        if (saved) m_serviceSaved();
    } else if (!m_monitor.Running()) {
        StartMonitoring();
    }
    return saved;
}

bool WatchSession::AddressListAccepted(const RetryQuestion& retry) {
    const bool saved = SaveAsking([this] { return m_config.SaveAddressList(); }, retry);
    if (saved && Editing()) m_serviceSaved();
    return saved;
}

void WatchSession::AddressDeleted(const AddressEntry& deleted, const RetryQuestion& retry) {
    if (m_config.AddressDeleted(deleted)) {
        SaveAsking([this] { return m_config.SaveWatchList(); }, retry);
    }
    if (Watches().empty()) StopMonitoring();
}

void WatchSession::AddressChanged(const AddressEntry& newValues, const AddressEntry& old,
                                  const RetryQuestion& retry) {
    if (m_config.AddressChanged(newValues, old)) {
        SaveAsking([this] { return m_config.SaveWatchList(); }, retry);
    }
}

std::string WatchSession::SourcesStatus() const {
    std::string text;
    auto line = [&](const char8_t* name, const IngestCounts& c) {
        text += sjis(name) +
                platform::StringPrintf(
                    sjis(u8": 受信%llu件、記録%llu件、破棄%llu件、記録できず%llu件").c_str(),
                    static_cast<unsigned long long>(c.received),
                    static_cast<unsigned long long>(c.written),
                    static_cast<unsigned long long>(c.dropped + c.overflowed),
                    static_cast<unsigned long long>(c.failed + c.unwritten));
        if (c.truncated > 0) {
            text += platform::StringPrintf(sjis(u8"、切り詰め%llu件").c_str(),
                                           static_cast<unsigned long long>(c.truncated));
        }
        if (c.waits > 0) {
            text += platform::StringPrintf(sjis(u8"、チェック待ち%llu回").c_str(),
                                           static_cast<unsigned long long>(c.waits));
        }
        text += "\r\n";
    };
    if (m_syslog.Running()) line(u8"Syslog", m_syslog.GetCounts());
    if (m_journal.Running()) line(u8"ジャーナル", m_journal.GetCounts());
    return text;
}

bool WatchSession::Tick() {
    if (m_busy) {
        m_tickPending = true;
        return false;
    }
    if (!m_monitor.Running()) return false;
    StartJob([this] { m_monitor.WatchTick(); });
    return true;
}

void WatchSession::StartJob(std::function<void()> job) {
    // The lists and settings the tick reads are those in effect now; changes made while it runs
    // count from the next one.
    m_tickSettings = CurrentSettings();
    m_tickExtensions = Extensions();
    m_tickWatches = Copy(Watches());
    m_delivery.Apply();
    m_busy = true;
    m_runner.Run(std::move(job));
}

void WatchSession::JobEnded() {
    m_busy = false;
    m_deadline.Set(m_monitor.Running() ? m_monitor.NextDeadline() : 0);
    std::vector<std::function<void()>> waiting;
    waiting.swap(m_whenIdle);
    for (auto& call : waiting) WhenIdle(std::move(call));
    if (m_tickPending && !m_busy && !m_endRequested) {
        m_tickPending = false;
        Tick();
    }
    if (!View() || m_busy) return;
    View()->SessionIdle();
    if (m_endRequested) View()->SessionMayEnd(false);
}

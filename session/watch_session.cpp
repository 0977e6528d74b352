#include "session/watch_session.h"

#include <algorithm>
#include <chrono>
#include <climits>

#include "actions/actions.h"
#include "core/address_handlers.h"
#include "eventlog/catalog.h"
#include "notify/netsend.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/eventlog_writer.h"
#include "platform/files.h"
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

// A list file that was read only in part (or not at all) is copied aside before any save can
// replace it, and the warning for the start's log says so; the copy keeps what was not read.
std::string DamagedList(const std::string& path, size_t read) {
    const std::string name = path.substr(path.rfind('/') + 1);
    const platform::SystemTime t = platform::GetLocalTime();
    const std::string copy =
        path + platform::StringPrintf(".bad-%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day,
                                      t.hour, t.minute, t.second);
    if (platform::CopyFile(path, copy, true)) {
        return platform::StringPrintf(
            sjis(
                u8"%sが壊れているため、%u件だけを読み込みました。元のファイルは%sとして残しました。")
                .c_str(),
            name.c_str(), static_cast<unsigned>(read), copy.substr(copy.rfind('/') + 1).c_str());
    }
    return platform::StringPrintf(
        sjis(u8"%sが壊れているため、%u件だけを読み込みました。元のファイルを残せませんでした: %s")
            .c_str(),
        name.c_str(), static_cast<unsigned>(read),
        platform::SystemErrorTextOrCode(platform::GetLastError()).c_str());
}

bool HasBytes(const std::string& path) {
    std::uint64_t size = 0;
    return platform::GetFileSize(path, size) && size > 0;
}

}  // namespace

WatchSession::WatchSession()
    : m_log(m_logSettings, this),
      m_spool(SpoolFolder()),
      m_mailer(m_tickSettings),
      m_monitor(m_tickSettings, m_tickWatches, *this, *this, *this) {
    SetProgramLog(&m_log);
    m_monitor.SetExtensions(&m_tickExtensions);
    m_thread = std::thread([this] { Worker(); });
}

WatchSession::~WatchSession() {
    StopChangeWatch();
    m_syslog.Stop();
    m_journal.Stop();
    WaitUntilIdle();
    {
        std::lock_guard lock(m_jobMutex);
        m_quit = true;
    }
    m_jobChanged.notify_all();
    m_thread.join();
    SetView(nullptr);
    if (CurrentProgramLog() == &m_log) SetProgramLog(nullptr);
}

void WatchSession::Load() {
    // What writes killed half-way left behind (a copy of the settings holds the password).
    platform::RemoveStaleTemporaries(ConfigDirectory());
    if (DataDirectory() != ConfigDirectory()) platform::RemoveStaleTemporaries(DataDirectory());
    platform::RemoveStaleTemporaries(SpoolFolder());
    LoadSettings(m_settings);
    m_loadWarnings.clear();
    // The settings hold the password, the watch list the programs to run: others may neither
    // read nor change them.
    for (const std::string& path : {SettingsFilePath(), WatchListPath(), AddressListPath()}) {
        unsigned mode = 0;
        if (!platform::FilePermissions(path, mode) || (mode & 077) == 0) continue;
        const std::string name = path.substr(path.rfind('/') + 1);
        // Said as it is: a 644 file is read by others, not changed by them.
        const bool read = (mode & 044) != 0, write = (mode & 022) != 0;
        const std::string can = sjis(read && write ? u8"読み書きできます"
                                     : write       ? u8"書き込めます"
                                     : read        ? u8"読み取れます"
                                                   : u8"開けます");
        m_loadWarnings.push_back(platform::StringPrintf(
            sjis(u8"%sは他のユーザーも%s(%03o)。「chmod 600 %s」で保護してください。").c_str(),
            name.c_str(), can.c_str(), mode, path.c_str()));
    }
    // A list never saved is missing or empty (the loader makes it so): an empty list, not a
    // damaged one. Only bytes that do not read are damage.
    const bool addressBytes = HasBytes(AddressListPath());
    if (!LoadAddressList(m_addresses) && addressBytes) {
        m_loadWarnings.push_back(DamagedList(AddressListPath(), m_addresses.size()));
    }
    std::vector<std::string> ruleWarnings;
    const bool watchBytes = HasBytes(WatchListPath());
    if (!LoadWatchList(m_watches, &ruleWarnings) && watchBytes) {
        m_loadWarnings.push_back(DamagedList(WatchListPath(), m_watches.size()));
    }
    m_loadWarnings.insert(m_loadWarnings.end(), ruleWarnings.begin(), ruleWarnings.end());
    LoadExtensionSettings(m_extensions);
    {
        auto lock = m_log.Lock();
        m_logSettings = m_settings;
    }
    // Which files this run uses comes first: an installed program and a portable copy differ.
    LogMessage(kLogInformation, "%s",
               platform::DescribeProgramFolders(platform::UserFolders()).c_str());
    if (m_mailLibrary.Load()) m_mailer.UseLibrary(m_mailLibrary.send);
    m_mailer.UseRawLibrary(m_mailLibrary.sendRaw);
    std::string held;
    if (platform::ReadWholeFile(FloodStatePath(), held)) {
        m_flood.Parse(held);
        m_savedFlood = held;
    }
}

void WatchSession::SetView(SessionView* view) {
    std::lock_guard lock(m_queueMutex);
    m_view = view;
    // What was said before a window came (the loading's lines) goes to it as soon as it does.
    if (m_view && !m_queue.empty()) {
        m_dispatchRequested = true;
        m_view->RequestDispatch();
    }
}

// ---- Calls for the window ----

void WatchSession::Post(std::function<void()> call) {
    {
        // Asked under the lock: a window that SetView is taking away is not asked any more.
        std::lock_guard lock(m_queueMutex);
        m_queue.push_back(std::move(call));
        if (!m_dispatchRequested) {
            m_dispatchRequested = true;
            if (m_view) m_view->RequestDispatch();
        }
    }
    m_queued.notify_all();
}

void WatchSession::Dispatch() {
    // A queued call that runs a modal loop may bring another dispatch: the outer one goes on.
    if (m_dispatching) return;
    m_dispatching = true;
    for (;;) {
        std::deque<std::function<void()>> calls;
        {
            std::lock_guard lock(m_queueMutex);
            m_dispatchRequested = false;
            calls.swap(m_queue);
        }
        if (calls.empty()) break;
        for (auto& call : calls) call();
    }
    m_dispatching = false;
}

void WatchSession::Abandon() { platform::AbandonWaits(true); }

void WatchSession::WaitUntilIdle() {
    Dispatch();
    while (m_busy) {
        {
            std::unique_lock lock(m_queueMutex);
            m_queued.wait_for(lock, std::chrono::milliseconds(50),
                              [this] { return !m_queue.empty(); });
        }
        Dispatch();
    }
}

void WatchSession::AddLogLine(int level, const platform::SystemTime& time,
                              const std::string& text) {
    Post([this, level, time, text] {
        if (m_view) m_view->AddLogLine(level, time, text);
    });
}

void WatchSession::SetInterval(unsigned milliseconds) {
    m_interval = std::max(milliseconds, 60000u);
    Post([this, interval = m_interval] {
        if (m_view) m_view->SetWatchInterval(interval);
    });
}

void WatchSession::SetEnabled(bool enabled) {
    Post([this, enabled] {
        if (m_view) m_view->SetWatchEnabled(enabled);
    });
}

void WatchSession::Lock() {
    Post([this] {
        if (m_view) m_view->LockDialogs();
    });
}

void WatchSession::Unlock() {
    Post([this] {
        if (m_view) m_view->UnlockDialogs();
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

void WatchSession::Start() {
    for (const std::string& warning : m_loadWarnings) {
        LogMessage(kLogWarning, "%s", warning.c_str());
    }
    m_loadWarnings.clear();
    StartMonitoring();
    // Mail an earlier run kept goes out now, not one interval later.
    WhenIdle([this] {
        if (OutboxWaiting()) StartJob([this] { m_mailer.FlushOutbox(); });
    });
}

void WatchSession::StartMonitoring() {
    WhenIdle([this] {
        if (m_monitor.Running()) return;
        m_tickSettings = m_settings;
        m_tickExtensions = m_extensions;
        m_tickWatches = Copy(m_watches);
        m_monitor.StartMonitoring();
    });
}

void WatchSession::StopMonitoring() {
    WhenIdle([this] {
        m_tickExtensions = m_extensions;
        m_monitor.StopMonitoring();
    });
}

namespace {

// The files of the logs the machine has now.
std::vector<std::string> LogFiles() {
    std::vector<std::string> logs, files;
    ListLogs(logs);
    for (const std::string& log : logs) files.push_back(platform::EventLogFilePath(log));
    return files;
}

}  // namespace

void WatchSession::StartChangeWatch() {
    if (m_changeThread.joinable()) return;
    m_changeQuit = false;
    // Watching before this returns: a write that follows is never missed.
    m_changeWatcher = std::make_unique<platform::FileWatcher>();
    m_changeWatcher->Watch(LogFiles());
    m_changeThread = std::thread([this] { WatchChanges(); });
}

void WatchSession::StopChangeWatch() {
    if (!m_changeThread.joinable()) return;
    m_changeQuit = true;
    m_changeWatcher->Wake();
    m_changeThread.join();
    m_changeWatcher.reset();
}

void WatchSession::WatchChanges() {
    platform::FileWatcher& watcher = *m_changeWatcher;
    constexpr unsigned kQuietMs = 200;   // a burst of writes becomes one check
    constexpr unsigned kBurstMs = 1000;  // however long the burst goes on
    constexpr int kRefreshEvery = 10;    // waits of a second between looks for new logs
    int waits = kRefreshEvery;
    while (!m_changeQuit) {
        // A log registered later is watched from the next look.
        if (waits-- <= 0) {
            watcher.Watch(LogFiles());
            waits = kRefreshEvery;
        }
        if (!watcher.Wait(1000)) continue;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBurstMs);
        while (!m_changeQuit && std::chrono::steady_clock::now() < until &&
               watcher.Wait(kQuietMs)) {
        }
        if (m_changeQuit) break;
        // On the window's thread, as the timer's tick: a check that runs takes this one after it.
        Post([this] { Tick(); });
    }
}

void WatchSession::ApplyExtensions() {
    if (m_extensions.Immediate) {
        StartChangeWatch();
    } else {
        StopChangeWatch();
    }
    if (m_extensions.Journal) {
        JournalOptions options;
        options.folder = platform::SjisToUtf8(m_extensions.JournalFolder);
        if (!m_journal.Running() || !(options == m_journalOptions)) {
            m_journalOptions = options;
            m_journal.Start(options);
        }
    } else {
        m_journal.Stop();
    }
    if (m_extensions.Syslog) {
        SyslogOptions options;
        options.bind = m_extensions.SyslogBind;
        options.port = static_cast<std::uint16_t>(m_extensions.SyslogPort);
        options.allow = m_extensions.SyslogAllow;
        options.log = m_extensions.SyslogLog;
        // Started again only when what it listens on or writes to changed.
        if (!m_syslog.Running() || !(options == m_syslogOptions)) {
            m_syslogOptions = options;
            m_syslog.Start(options);
        }
    } else {
        m_syslog.Stop();
    }
    const bool unsupported = m_extensions.Spool && UsesMailLibrary() && !m_mailLibrary.sendRaw;
    if (unsupported) {
        LogMessage(kLogWarning, "%s",
                   sjis(u8"BSMTP.DLLが保存したメールの再送に対応していないため、送信できなかった"
                        u8"メールは保存されません。")
                       .c_str());
    }
}

void WatchSession::SettingsAccepted() {
    const unsigned interval = TimerInterval(m_settings);
    if (m_monitor.Running()) {
        // The count restarts only when the interval changed.
        if (interval != m_interval) SetInterval(interval);
    } else {
        StartMonitoring();
    }
    {
        auto lock = m_log.Lock();
        m_logSettings = m_settings;
    }
    m_log.CloseLogFile();
    m_log.StartLogFile();
}

void WatchSession::WatchListAccepted() {
    SaveWatchListWithPrompt(m_watches);
    if (!m_monitor.Running()) StartMonitoring();
}

void WatchSession::AddressDeleted(const AddressEntry& deleted) {
    ::OnAddressDeleted(m_watches, deleted, [this] { StopMonitoring(); });
}

void WatchSession::AddressChanged(const AddressEntry& newValues, const AddressEntry& old) {
    ::OnAddressChanged(m_watches, newValues, old);
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
    m_tickSettings = m_settings;
    m_tickExtensions = m_extensions;
    m_tickWatches = Copy(m_watches);
    ApplyDelivery();
    m_busy = true;
    {
        std::lock_guard lock(m_jobMutex);
        m_job = std::move(job);
    }
    m_jobChanged.notify_all();
}

void WatchSession::JobEnded() {
    m_busy = false;
    std::vector<std::function<void()>> waiting;
    waiting.swap(m_whenIdle);
    for (auto& call : waiting) WhenIdle(std::move(call));
    if (m_tickPending && !m_busy) {
        m_tickPending = false;
        Tick();
    }
    if (m_view && !m_busy) m_view->SessionIdle();
}

void WatchSession::Worker() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_jobMutex);
            m_jobChanged.wait(lock, [this] { return m_quit || m_job; });
            if (!m_job) return;
            job = std::move(m_job);
            m_job = nullptr;
        }
        // What escapes the job's own guards must not end the session's thread.
        try {
            job();
        } catch (const std::exception& e) {
            LogMessage(kLogError, sjis(u8"監視処理中に例外が発生しました。%s").c_str(), e.what());
        } catch (...) {
            LogMessage(kLogError, "%s", sjis(u8"監視処理中に例外が発生しました。").c_str());
        }
        Post([this] { JobEnded(); });
    }
}

// ---- Delivery, on the session's thread during a tick ----

void WatchSession::ApplyDelivery() {
    m_flood.SetLimit(m_tickExtensions.FloodLimit);
    m_mailer.UseSpool(m_tickExtensions.Spool ? &m_spool : nullptr, m_tickExtensions.SpoolHours);
}

bool WatchSession::OutboxWaiting() const {
    // Whether the chosen path can send it is the mailer's to say, when the job runs.
    return m_extensions.Spool && !m_spool.Waiting().empty();
}

std::string WatchSession::FloodStatePath() const { return m_spool.Folder() + "FLOOD.DAT"; }

void WatchSession::ProcessActions(TickBatch& batch) { ::ProcessActions(batch); }

void WatchSession::BeforeNotifications(TickBatch& batch) {
    const std::int64_t now = platform::NowUnixMilliseconds() / 1000;
    // Hours still open when the option was turned off end now, so that no count is lost.
    TickBatch summaries = m_flood.TakeSummaries(m_tickExtensions.Flood ? now : INT64_MAX);
    // Ahead of the batch in the outbox: older news before newer.
    if (!summaries.empty()) m_mailer.QueueMail(summaries);
    if (m_tickExtensions.Flood) m_flood.Mark(batch, now);
}

void WatchSession::DeliverMail(TickBatch& batch) { m_mailer.QueueMail(batch); }

void WatchSession::Checkpoint() {
    // The held counts go to the disk with the outbox, only when they changed.
    const std::string held = m_flood.Empty() ? std::string() : m_flood.Format();
    if (held == m_savedFlood) return;
    const std::string path = FloodStatePath();
    bool saved;
    if (held.empty()) {
        saved =
            platform::DeleteFile(path) || platform::GetLastError() == platform::kErrorFileNotFound;
    } else {
        saved = (platform::DirectoryExists(m_spool.Folder()) ||
                 platform::CreatePrivateDirectory(m_spool.Folder())) &&
                platform::WritePrivateFileAtomically(path, held);
    }
    if (saved) {
        m_savedFlood = held;
    } else {
        LogMessage(kLogWarning, sjis(u8"通知の抑制状態(%s)を保存できませんでした。%s").c_str(),
                   path.c_str(), platform::SystemErrorText(platform::GetLastError()).c_str());
    }
}

void WatchSession::AfterCheckpoint() { m_mailer.FlushOutbox(); }

void WatchSession::SendNetworkMessages(TickBatch& batch) { ::SendNetworkMessages(batch); }

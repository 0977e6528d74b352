// The watch without a window, for a service manager: the same session, folders and files as the
// program, its log to the daily file and to standard error with the priorities journald keeps,
// readiness, status and the watchdog told to systemd. Links no Qt at all.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/lists.h"
#include "config/settings.h"
#include "notify/mail_spool.h"
#include "platform/codepage.h"
#include "platform/instance.h"
#include "platform/machine/machine.h"
#include "platform/service.h"
#include "platform/signals.h"
#include "session/service_link.h"
#include "session/session_config.h"
#include "session/watch_session.h"

namespace {

constexpr int kExitStartFailed = 2;
constexpr int kExitCheckAbandoned = 3;

using Clock = std::chrono::steady_clock;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

void Usage(FILE* to) {
    if (platform::JapaneseLocale()) {
        std::fputs(
            "使い方: quorvik-service [--help | --version]\n"
            "ウィンドウを持たずにイベントログを監視します。設定とデータはウィンドウ版と同じフォ"
            "ルダーのものを使います。\n"
            "SIGTERM で終了し、SIGHUP か設定ファイルの変更で設定を読み込み直します。\n"
            "詳しくは quorvik-service(1) を参照してください。\n",
            to);
    } else {
        std::fputs(
            "usage: quorvik-service [--help | --version]\n"
            "Watches the event logs without a window, on the same folders and files as the "
            "program.\n"
            "SIGTERM ends it; SIGHUP or a change of the configuration files reloads them.\n"
            "More in the manual page quorvik-service(1).\n",
            to);
    }
}

// What the window would show: log lines to standard error, the timer kept here.
class ServiceView : public SessionView {
public:
    ServiceView() : m_wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~ServiceView() override {
        if (m_wake >= 0) close(m_wake);
    }
    int WakeFd() const { return m_wake; }

    void RequestDispatch() override {
        const std::uint64_t one = 1;
        if (write(m_wake, &one, sizeof one) < 0) {
            // Pending already.
        }
    }
    void AddLogLine(int level, const platform::SystemTime& time, const std::string& text) override {
        // The priorities of sd-daemon(3): error, warning, notice (a success), info, debug.
        static const int kPriority[] = {5, 6, 4, 3, 7};
        const int priority = level >= 0 && level <= 4 ? kPriority[level] : 6;
        const std::string line = platform::SjisToUtf8(text);
        std::fprintf(stderr, "<%d>%s\n", priority, line.c_str());
        link.AddLogLine(level, time, text);
        if (level == 0 && line.find("メール") != std::string::npos) ++sent;
    }
    void SetWatchInterval(unsigned milliseconds) override {
        interval = milliseconds;
        nextTick = NowMs() + interval;
    }
    void SetWatchEnabled(bool enabled) override {
        if (enabled && !timerOn) nextTick = NowMs() + interval;
        timerOn = enabled;
    }
    void LockDialogs() override {}
    void UnlockDialogs() override {}
    void SessionIdle() override { lastIdle = std::time(nullptr); }
    void SessionMayEnd(bool abandoned) override {
        mayEnd = true;
        this->abandoned = abandoned;
    }

    service_link::Publisher link;  // what a window of the user sees of the service
    unsigned interval = 60000;
    bool timerOn = false;
    std::int64_t nextTick = 0;
    std::time_t lastIdle = 0;
    unsigned long long sent = 0;
    bool mayEnd = false;
    bool abandoned = false;

private:
    int m_wake = -1;
};

std::string StatusLine(WatchSession& session, const ServiceView& view) {
    std::string status = session.Running() ? "監視中" : "監視停止中";
    if (view.lastIdle != 0) {
        char when[32];
        std::tm local{};
        localtime_r(&view.lastIdle, &local);
        std::strftime(when, sizeof when, "%Y/%m/%d %H:%M:%S", &local);
        status += std::string("、最終チェック ") + when;
    }
    status += "、送信 " + std::to_string(view.sent) + "件";
    status += "、保存中 " + std::to_string(MailSpool(SpoolFolder()).Waiting().size()) + "件";
    std::string sources = platform::SjisToUtf8(session.SourcesStatus());
    for (size_t at; (at = sources.find("\r\n")) != std::string::npos;) sources.replace(at, 2, "; ");
    if (!sources.empty()) status += "、" + sources.substr(0, sources.size() - 2);
    return status;
}

int Run() {
    if (!platform::EnsureMachine()) {
        std::fprintf(stderr, "<3>%s\n",
                     "エミュレートするマシンのフォルダーを用意できませんでした。");
        return kExitStartFailed;
    }
    platform::SingleInstance instance;
    if (!instance.Acquire("Quorvik")) {
        std::fprintf(stderr, "<3>%s\n",
                     "Quorvikはすでに起動されています。/ Quorvik is running already.");
        return 1;
    }
    const int terminate = platform::TerminationRequests();
    const int reload = platform::ReloadRequests();
    ServiceView view;
    // A window the user opens edits this service's configuration rather than watching again.
    view.link.Start(ConfigDirectory());
    WatchSession session;
    session.SetView(&view);
    session.Load();
    session.Log().StartLogFile();
    session.ApplyExtensions();
    session.Start();
    session.Dispatch();
    std::string status = StatusLine(session, view);
    view.link.SetStatus(status);
    platform::NotifyServiceManager("READY=1\nSTATUS=" + status);

    const std::uint64_t watchdogUs = platform::ServiceWatchdogMicroseconds();
    const std::int64_t pingEvery =
        watchdogUs == 0 ? 0 : static_cast<std::int64_t>(watchdogUs / 2000);
    // A check may rightly wait ten minutes for a server's last reply; longer is a stuck one.
    constexpr std::int64_t kStuckMs = 15 * 60 * 1000;
    std::int64_t nextPing = NowMs(), nextStatus = NowMs() + 5000, nextLook = NowMs() + 2000;
    std::int64_t busySince = 0;
    std::string stamp = ConfigurationStamp(), settling;
    bool ending = false;
    while (!(ending && view.mayEnd)) {
        pollfd fds[] = {{view.WakeFd(), POLLIN, 0}, {terminate, POLLIN, 0}, {reload, POLLIN, 0}};
        poll(fds, 3, 500);
        if (fds[0].revents) {
            std::uint64_t count = 0;
            if (read(view.WakeFd(), &count, sizeof count) < 0) {
                // Read already.
            }
        }
        session.Dispatch();
        const std::int64_t now = NowMs();
        if (fds[1].revents && !ending) {
            char drain[16];
            while (read(terminate, drain, sizeof drain) > 0) {
            }
            ending = true;
            platform::NotifyServiceManager("STOPPING=1");
            if (session.RequestEnd()) view.mayEnd = true;
            continue;
        }
        if (ending) continue;
        bool reloadNow = false;
        if (fds[2].revents) {
            char drain[16];
            while (read(reload, drain, sizeof drain) > 0) {
            }
            reloadNow = true;
        }
        if (now >= nextLook) {
            nextLook = now + 2000;
            // Read once the files stay as they are for a look: a tool that writes the
            // settings and both lists is then read with all of them.
            const std::string seen = ConfigurationStamp();
            if (seen == stamp) {
                settling.clear();
            } else if (seen == settling) {
                reloadNow = true;
            } else {
                settling = seen;
            }
        }
        if (reloadNow) {
            session.Reload();
            stamp = ConfigurationStamp();
            settling.clear();
        }
        if (view.timerOn && now >= view.nextTick) {
            session.Tick();
            view.nextTick = now + view.interval;
        }
        busySince = session.Busy() ? (busySince == 0 ? now : busySince) : 0;
        if (pingEvery > 0 && now >= nextPing) {
            nextPing = now + pingEvery;
            // The session's own thread must be moving: one stuck past any rightful wait lets
            // the watchdog restart the service.
            if (busySince == 0 || now - busySince < kStuckMs) {
                platform::NotifyServiceManager("WATCHDOG=1");
            }
        }
        if (now >= nextStatus) {
            nextStatus = now + 5000;
            const std::string line = StatusLine(session, view);
            if (line != status) {
                status = line;
                platform::NotifyServiceManager("STATUS=" + status);
                view.link.SetStatus(status);
            }
        }
    }
    session.StopMonitoring();
    session.Log().CloseLogFile();
    session.Dispatch();
    if (view.abandoned) {
        // The stuck check keeps its thread: the process ends without waiting for it.
        std::fflush(stderr);
        std::_Exit(kExitCheckAbandoned);
    }
    session.SetView(nullptr);
    view.link.Stop();
    instance.Release();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        Usage(stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("quorvik-service %s\n", QUORVIK_VERSION);
        return 0;
    }
    if (argc != 1) {
        Usage(stderr);
        return 2;
    }
    // Line by line: journald reads each line with its priority as it comes.
    std::setvbuf(stderr, nullptr, _IOLBF, 0);
    try {
        return Run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "<3>%s\n", e.what());
        return kExitStartFailed;
    }
}

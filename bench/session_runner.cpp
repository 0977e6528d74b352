// The program's watch session without its window, for bench/kill_test.py: the same session
// app/ creates, loaded from a folder as the program loads its own, ticking every few hundred
// milliseconds instead of every minute so that hundreds of runs can be killed in minutes.
//   session_runner setup FOLDER PORT   writes ETC.DAT (Resume and Spool on), MAIL.DAT, WATCH.DAT
//   session_runner run FOLDER PERIOD_MS [TICKS]   runs, printing the log lines; with TICKS, ends
//                                        after that many ticks once the outbox is empty
//   session_runner program FOLDER        makes the setup fit the real program beside it: the
//                                        log to files, immediate checks, a large Application log
//   session_runner noise FOLDER COUNT    writes COUNT records no entry watches, at once
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "config/lists.h"
#include "config/settings.h"
#include "eventlog/catalog.h"
#include "notify/mail_spool.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/machine.h"
#include "session/watch_session.h"

namespace {

// Prints what the window would show, one line each, flushed: the killer reads it afterwards.
class PrintingView : public SessionView {
public:
    void RequestDispatch() override {}
    void AddLogLine(int level, const platform::SystemTime&, const std::string& text) override {
        std::printf("%d %s\n", level, platform::SjisToUtf8(text).c_str());
        std::fflush(stdout);
    }
    void SetWatchInterval(unsigned) override {}
    void SetWatchEnabled(bool) override {}
    // When the configuration dialogs could not be committed, for bench/stall_test.py.
    void LockDialogs() override { Stamp("LOCK"); }
    void UnlockDialogs() override { Stamp("UNLOCK"); }

private:
    static void Stamp(const char* what) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        std::printf("%s %lld\n", what,
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(now).count()));
        std::fflush(stdout);
    }
};

int Setup(const char* folder, int port) {
    platform::SetExecutableDirectory(platform::NativeToPath(folder));
    if (!platform::EnsureMachine()) return 1;
    Settings settings;
    settings.Interval = 1;
    settings.SenderName = "Quorvik";
    settings.MailAddr = "quorvik@example.jp";
    settings.SMTPServer = "127.0.0.1";
    settings.SMTPPort = static_cast<std::uint16_t>(port);
    settings.TimeOut = 5;
    ExtensionSettings extension;
    extension.Resume = true;
    extension.ResumeLimit = 100000;
    extension.Spool = true;
    AddressList addresses;
    LoadAddressList(addresses);
    WatchList watches;
    LoadWatchList(watches);
    auto entry = std::make_unique<WatchEntry>();
    entry->EventNum = 1;
    entry->MailSubject = "kill";
    entry->LogName = "Application";
    entry->SourceName = entry->Category = AnyValueText();
    entry->AddrList = {"ops@example.jp"};
    watches.push_back(std::move(entry));
    return SaveSettings(settings) && SaveExtensionSettings(extension) && SaveWatchList(watches) ? 0
                                                                                                : 1;
}

int Program(const char* folder) {
    platform::SetExecutableDirectory(platform::NativeToPath(folder));
    Settings settings;
    LoadSettings(settings);
    settings.Enable = true;
    settings.Path = platform::NativeToPath(folder) + "/log/";
    ExtensionSettings extension;
    LoadExtensionSettings(extension);
    extension.Immediate = true;
    // The entry takes the test's events only: the records of a catch-up are others.
    WatchList watches;
    LoadWatchList(watches);
    for (auto& entry : watches) entry->SourceName = "KillTest";
    // Room for every run's records: none is overwritten before it was checked.
    return SaveSettings(settings) && SaveExtensionSettings(extension) && SaveWatchList(watches) &&
                   platform::SetEventLogMaxSize("Application", 256u << 20)
               ? 0
               : 1;
}

int Noise(const char* folder, int count) {
    platform::SetExecutableDirectory(platform::NativeToPath(folder));
    platform::EventToWrite event;
    event.eventId = 2;
    for (int i = 0; i < count; ++i) {
        event.strings = {"noise " + std::to_string(i)};
        if (!platform::ReportEvent("Noise", event)) return 1;
    }
    return 0;
}

int Run(const char* folder, int period, int ticks) {
    platform::SetExecutableDirectory(platform::NativeToPath(folder));
    PrintingView view;
    WatchSession session;
    session.SetView(&view);
    session.Load();
    session.Start();
    auto next = std::chrono::steady_clock::now();
    for (int done = 0; ticks == 0 || done < ticks;) {
        session.Dispatch();
        if (std::chrono::steady_clock::now() >= next && !session.Busy()) {
            // Counted only once nothing waits in the outbox: the end of a run drains it.
            if (session.Tick() && MailSpool(SpoolFolder()).Waiting().empty()) ++done;
            next += std::chrono::milliseconds(period);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    session.WaitUntilIdle();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "setup") == 0) return Setup(argv[2], std::atoi(argv[3]));
    if (argc == 3 && std::strcmp(argv[1], "program") == 0) return Program(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "noise") == 0) return Noise(argv[2], std::atoi(argv[3]));
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "run") == 0) {
        return Run(argv[2], std::atoi(argv[3]), argc == 5 ? std::atoi(argv[4]) : 0);
    }
    std::fprintf(stderr,
                 "usage: session_runner setup FOLDER PORT | run FOLDER PERIOD_MS [TICKS] | program "
                 "FOLDER | noise FOLDER COUNT\n");
    return 2;
}

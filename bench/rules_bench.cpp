// Absence and recovery rules under the faults that made them lie, measured:
// - a heartbeat over syslog every 30 s from a sender whose clock is 5 minutes behind, for 10
//   minutes (the program's clock driven, a check after each message): the mails of the rule
//   (goal: none while it keeps coming);
// - a problem in Security and its recovery in Application in one check, then a new problem: the
//   mails in their order (goal: problem, recovery, new problem);
// - a heartbeat that stops, with a 10-minute watch interval, in the real session with aiosmtpd
//   on loopback: the time from its deadline (and grace) to the mail accepted (goal: a few
//   seconds);
// - watchtest over the records of the first two, against what the program reported.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_machine.h"
#include "bench/quiet_view.h"
#include "bench/run_command.h"
#include "config/settings.h"
#include "core/program_log.h"
#include "eventlog/catalog.h"
#include "ingest/syslog_receiver.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/eventlog_writer.h"
#include "session/watch_session.h"

namespace {

// What a check handed on, as "log record watch kind", the kinds the program mails.
class Reports : public BatchConsumers {
public:
    void ProcessActions(TickBatch&) override {}
    void DeliverMail(TickBatch& batch) override {
        for (const auto& r : batch) {
            if (r->Watch->Rule.Kind == WatchRule::kNone) continue;
            seen.push_back(r->LogName + " " + std::to_string(r->Event.RecordNumber) + " " +
                           std::to_string(r->Watch->EventNum) + " " + ReportKindName(r->Kind));
        }
    }
    void SendNetworkMessages(TickBatch&) override {}
    std::vector<std::string> seen;
};

std::unique_ptr<WatchEntry> Entry(int number, const std::string& log, const std::string& source) {
    auto e = std::make_unique<WatchEntry>();
    e->EventNum = number;
    e->LogName = log;
    e->SourceName = source;
    e->Category = AnyValueText();
    e->AddrList = {"ops@example.jp"};
    return e;
}

void Send(std::uint16_t port, const std::string& message) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
}

// watchtest's reports of a log, the kinds the program mails, as the program's are written.
std::vector<std::string> Watchtest(const std::string& folder, const std::string& log) {
    const std::string out = folder + "watchtest.out";
    RunTimed(std::string(QUORVIK_TOOLS_DIR) + "/watchtest --machine '" + folder +
             "machine' --folder '" + folder + "' --log " + log + " --json > '" + out + "'");
    std::string text;
    platform::ReadWholeFile(out, text);
    std::vector<std::string> seen;
    auto field = [](const std::string& line, const std::string& name) {
        const size_t at = line.find("\"" + name + "\":") + name.size() + 3;
        std::string value = line.substr(at, line.find_first_of(",}", at) - at);
        std::erase(value, '"');
        return value;
    };
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        const std::string kind = field(line, "kind");
        if (kind == "expected" || kind == "match") continue;
        seen.push_back(field(line, "log") + " " + field(line, "record") + " " +
                       field(line, "watch") + " " + kind);
    }
    return seen;
}

void Say(const char* what, const std::vector<std::string>& program,
         const std::vector<std::string>& tool) {
    std::printf("%s: the program mailed %zu:", what, program.size());
    for (const std::string& s : program) std::printf(" [%s]", s.c_str());
    std::printf("\n  watchtest: %zu, %s\n", tool.size(),
                tool == program ? "the same" : "DIFFERENT");
    for (const std::string& s : tool) std::printf("    [%s]\n", s.c_str());
    std::fflush(stdout);
}

// The program's folder with only these entries.
void SaveEntries(WatchList& list) {
    platform::WriteWholeFile(WatchListPath(), "");
    SaveWatchList(list);
}

void SkewedHeartbeat(const std::string& folder, const Settings& settings) {
    // An hour ago by the program's clock, so that watchtest (on the real clock) reads the past.
    platform::SetClock(platform::LocalTimeOf(platform::NowUnixMilliseconds() / 1000 - 3600));
    SyslogReceiver receiver;
    SyslogOptions options;
    options.port = 0;
    options.log = "Heartbeat";
    receiver.Start(options);
    WatchList watches;
    auto beat = Entry(1, "Heartbeat", "agent");
    beat->Rule.Kind = WatchRule::kAbsence;
    beat->Rule.Every = 1;  // with the default grace of a minute
    watches.push_back(std::move(beat));
    SaveEntries(watches);
    NoTimer timer;
    NoLocks locks;
    Reports reports;
    Monitor monitor(settings, watches, timer, locks, reports);
    monitor.StartMonitoring();
    for (int i = 1; i <= 20; ++i) {
        platform::AdvanceClock(30000);
        const time_t sent = static_cast<time_t>(platform::NowUnixMilliseconds() / 1000 - 300);
        struct tm t {};
        gmtime_r(&sent, &t);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &t);
        Send(receiver.Options().port, std::string("<14>1 ") + stamp + " web1 agent - - - alive");
        receiver.WaitForWritten(static_cast<std::uint64_t>(i), 5000);
        monitor.WatchTick();
    }
    std::printf("heartbeat 5 minutes behind, every 30 s for 10 minutes: the program mailed %zu\n",
                reports.seen.size());
    // Then judged at the real now, as watchtest judges: the absence since the last message.
    receiver.Stop();
    platform::ReleaseClock();
    monitor.WatchTick();
    monitor.StopMonitoring();
    Say("  the same, judged at the next check an hour later", reports.seen,
        Watchtest(folder, "Heartbeat"));
}

void ProblemAndRecovery(const std::string& folder, const Settings& settings) {
    platform::SetClock(platform::LocalTimeOf(platform::NowUnixMilliseconds() / 1000 - 1800));
    platform::RegisterEventSource("Security", "Disk");
    platform::RegisterEventSource("Application", "DiskMon");
    WatchList watches;
    auto disk = Entry(2, "Security", "Disk");
    disk->EventID = 700;
    disk->Rule.Kind = WatchRule::kRecovery;
    disk->Rule.LogName = "Application";
    disk->Rule.SourceName = "DiskMon";
    disk->Rule.EventID = 701;
    watches.push_back(std::move(disk));
    SaveEntries(watches);
    NoTimer timer;
    NoLocks locks;
    Reports reports;
    Monitor monitor(settings, watches, timer, locks, reports);
    monitor.StartMonitoring();
    auto write = [](const char* source, platform::DWORD id) {
        platform::EventToWrite e;
        e.eventId = id;
        platform::ReportEvent(source, e);
    };
    write("Disk", 700);
    write("DiskMon", 701);
    platform::AdvanceClock(60000);
    monitor.WatchTick();
    write("Disk", 700);
    platform::AdvanceClock(1000);
    monitor.WatchTick();
    monitor.StopMonitoring();
    platform::ReleaseClock();
    Say("error and recovery in one check across two logs, then a new error", reports.seen,
        Watchtest(folder, "Security"));
}

void Deadline(const std::string& folder) {
    const std::string mail = folder + "mail";
    platform::CreateDirectory(mail);
    const pid_t server = fork();
    if (server == 0) {
        execlp("/usr/bin/python3", "python3", QUORVIK_SMTP_SINK, mail.c_str(), "0",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string port;
    for (int i = 0; i < 200 && !platform::ReadWholeFile(mail + "/ready", port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Settings settings;
    settings.Interval = 10;
    settings.SenderName = "Quorvik";
    settings.MailAddr = "quorvik@example.jp";
    settings.SMTPServer = "127.0.0.1";
    settings.SMTPPort = static_cast<std::uint16_t>(std::atoi(port.c_str()));
    settings.TimeOut = 10;
    settings.Enable = false;
    SaveSettings(settings);
    SaveExtensionSettings(ExtensionSettings());
    WatchList watches;
    auto beat = Entry(3, "Application", "Agent");
    beat->Rule.Kind = WatchRule::kAbsence;
    beat->Rule.Every = 1;
    beat->Rule.Grace = 10;
    watches.push_back(std::move(beat));
    SaveEntries(watches);
    platform::RegisterEventSource("Application", "Agent");
    QuietView view;
    WatchSession session;
    session.SetView(&view);
    session.Load();
    session.Start();
    session.WaitUntilIdle();
    platform::EventToWrite e;
    e.eventId = 1;
    platform::ReportEvent("Agent", e);
    session.Tick();
    session.WaitUntilIdle();
    const std::int64_t deadline = session.NextDeadline();
    std::vector<platform::FindData> found;
    while (found.empty()) {
        session.Dispatch();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        platform::FindFiles(mail + "/*.eml", found);
    }
    const double late =
        static_cast<double>(platform::NowUnixMilliseconds()) / 1000 - static_cast<double>(deadline);
    session.WaitUntilIdle();
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    std::printf(
        "a heartbeat that stops, interval 10 minutes, grace 10 s: the mail was accepted %.2f s "
        "after its deadline and grace\n",
        late);
}

}  // namespace

int main() {
    const std::string& folder = PrepareBenchMachine();
    platform::SetExecutableDirectory(folder);
    Settings settings;
    settings.Enable = false;
    ProgramLog log(settings, nullptr);
    SetProgramLog(&log);
    SkewedHeartbeat(folder, settings);
    ProblemAndRecovery(folder, settings);
    SetProgramLog(nullptr);
    Deadline(folder);
    return 0;
}

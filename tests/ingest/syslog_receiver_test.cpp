// The syslog receiver on loopback, fed by util-linux logger and by rsyslog forwarding (real
// senders), and by the test's own socket where a sender must misbehave.
#include "ingest/syslog_receiver.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <map>
#include <mutex>

#include "config/settings.h"
#include "core/matching.h"
#include "core/monitor.h"
#include "core/program_log.h"
#include "eventlog/catalog.h"
#include "ingest/log_writer.h"
#include "ingest/syslog_message.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/eventlog.h"
#include "platform/receiver.h"
#include "support/child_process.h"
#include "support/log_records.h"
#include "support/loopback.h"
#include "support/machine_folder.h"

namespace {

class Lines : public LogSink {
public:
    void AddLogLine(int, const platform::SystemTime&, const std::string& text) override {
        std::lock_guard lock(mutex);
        lines.push_back(platform::SjisToUtf8(text));
    }
    bool Has(const std::string& part) {
        std::lock_guard lock(mutex);
        for (const std::string& l : lines) {
            if (l.find(part) != std::string::npos) return true;
        }
        return false;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

class SyslogTest : public ::testing::Test {
protected:
    SyslogTest() : log(settings, &lines) {
        settings.Enable = false;
        SetProgramLog(&log);
    }
    ~SyslogTest() override {
        receiver.Stop();
        SetProgramLog(nullptr);
    }
    // On a port the system picks.
    void Start(SyslogOptions options = SyslogOptions()) {
        options.port = 0;
        ASSERT_TRUE(receiver.Start(options));
        ASSERT_NE(receiver.Options().port, 0);
    }
    std::string Port() const { return std::to_string(receiver.Options().port); }
    // The records of the receiver's log, read and rendered as the watch cycle reads them.
    std::vector<EventRecord> Records() { return ReadLogRecords(receiver.Options().log); }
    int Logger(const std::string& arguments) {
        return RunCommand("logger --server 127.0.0.1 --port " + Port() + " " + arguments);
    }

    MachineFolder machine;
    Settings settings;
    Lines lines;
    ProgramLog log;
    SyslogReceiver receiver;
};

std::string U8(const std::string& sjis) { return platform::SjisToUtf8(sjis); }

// What a sender of the test's own writes, over UDP or a TCP connection it then closes.
void Send(std::uint16_t port, const std::string& bytes, bool tcp) {
    const int fd = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (tcp) {
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    } else {
        ASSERT_EQ(
            sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(bytes.size()));
    }
    close(fd);
}

// The same tests with real senders, nobody here wrote.
class SyslogPeer : public SyslogTest {};

}  // namespace

TEST_F(SyslogTest, SendersNotAllowedMalformedMessagesALineTooLongAndAFullQueue) {
    SyslogOptions options;
    options.allow = "127.0.0.2, 10.0.0.0/8";
    Start(options);
    // From 127.0.0.1, which the list leaves out: nothing is written, one line says so.
    const auto port = receiver.Options().port;
    Send(port, "<13>hello", false);
    Send(port, "<13>hello\n", true);
    for (int i = 0; i < 200 && receiver.GetCounts().refused < 2; ++i) platform::Sleep(10);
    EXPECT_EQ(receiver.GetCounts().refused, 2u);
    EXPECT_TRUE(lines.Has("Syslogの送信元127.0.0.1は許可されていないため、受信しません。"));

    // Allowed, but no syslog at all: kept whole, as text, with a warning.
    options.allow = "127.0.0.0/8";
    Start(options);
    Send(receiver.Options().port, "not syslog \xe3\x81\x82", false);
    ASSERT_TRUE(receiver.WaitForWritten(1, 5000));
    receiver.Stop();
    const std::vector<EventRecord> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(U8(records[0].Description), "not syslog あ");
    EXPECT_EQ(records[0].SourceName, "Syslog");
    EXPECT_EQ(records[0].ComputerName, "127.0.0.1");
    EXPECT_TRUE(lines.Has("Syslogのメッセージ1件は形式が正しくないため、そのまま記録しました。"));

    // A line of 100 KB over TCP: one record cut at the largest size, said; the next one whole.
    Start(options);
    Send(receiver.Options().port, "<13>app: " + std::string(100 * 1024, 'x') + "\n<13>app: after\n",
         true);
    ASSERT_TRUE(receiver.WaitForWritten(2, 5000));
    receiver.Stop();
    EXPECT_EQ(receiver.GetCounts().truncated, 1u);
    EXPECT_EQ(receiver.GetCounts().malformed, 0u);
    EXPECT_EQ(U8(Records().back().Description), "after");
    EXPECT_TRUE(lines.Has("Syslogのメッセージ1件は長すぎるため、先頭の64KBだけを記録しました。"));

    // A queue that takes nothing: every message is dropped, counted, and the count written.
    options.queueBytes = 0;
    Start(options);
    Send(receiver.Options().port, "<13>app: x", false);
    for (int i = 0; i < 200 && receiver.GetCounts().dropped < 1; ++i) platform::Sleep(10);
    receiver.Stop();
    EXPECT_EQ(receiver.GetCounts().dropped, 1u);
    EXPECT_TRUE(lines.Has("Syslogのメッセージ1件は、書き込みが追いつかないため破棄しました。"));
    // Under the program's own source, which no sender's name becomes.
    EXPECT_EQ(U8(Records().back().Description), "Quorvik: Syslogのメッセージ1件を破棄しました。");
    EXPECT_EQ(Records().back().SourceName, "Quorvik Syslog");
}

// What the system's buffer could not hold is counted: a flood nobody reads meanwhile, then the
// datagram after it, which carries the count.
TEST(NetworkReceiverTest, DatagramsTheSystemDroppedAreCounted) {
    platform::NetworkReceiver receiver;
    ASSERT_TRUE(receiver.Open("127.0.0.1", 0));
    constexpr int kSent = 4000;
    const std::string datagram(4000, 'x');
    for (int i = 0; i < kSent; ++i) Send(receiver.Port(), datagram, false);
    std::uint64_t taken = 0;
    for (std::uint64_t before = 1; taken != before;) {
        before = taken;
        receiver.Wait(100, [&](const platform::Received&) { ++taken; });
    }
    Send(receiver.Port(), "last", false);
    bool last = false;
    for (int i = 0; i < 50 && !last; ++i) {
        receiver.Wait(100, [&](const platform::Received& r) { last = r.bytes == "last"; });
    }
    ASSERT_TRUE(last);
    EXPECT_GT(receiver.Overflowed(), 0u);
    EXPECT_EQ(taken + receiver.Overflowed(), static_cast<std::uint64_t>(kSent));
}

TEST_F(SyslogTest, APortInUseIsSaidAndNothingRuns) {
    std::uint16_t port = 0;
    const int taken = ListenOnLoopback("127.0.0.1", 0, &port);
    SyslogOptions options;
    options.port = port;
    EXPECT_FALSE(receiver.Start(options));
    EXPECT_FALSE(receiver.Running());
    EXPECT_TRUE(lines.Has("Syslogの受信を開始できませんでした(127.0.0.1 ポート" +
                          std::to_string(port) + ")。"));
    close(taken);
}

TEST_F(SyslogPeer, LoggerOverUdpAndTcpInBothForms) {
    Start();
    ASSERT_EQ(Logger("--udp --rfc5424 -t backup -p local4.err --msgid ID47 "
                     "--sd-id example@32473 --sd-param 'iut=\"3\"' 'バックアップ失敗'"),
              0);
    ASSERT_EQ(Logger("--tcp --rfc3164 -t cron -p cron.warning 'job late'"), 0);
    ASSERT_EQ(Logger("--tcp --octet-count --rfc5424 -t sshd -p auth.info 'accepted'"), 0);
    ASSERT_TRUE(receiver.WaitForWritten(3, 10000));
    const std::vector<EventRecord> records = Records();
    ASSERT_EQ(records.size(), 3u);
    std::map<std::string, EventRecord> bySource;
    for (const EventRecord& r : records) bySource[r.SourceName] = r;
    ASSERT_EQ(bySource.size(), 3u);
    const EventRecord& backup = bySource["backup"];
    EXPECT_EQ(backup.EventType, 1);
    EXPECT_EQ(backup.Category, "local4");  // the facility, by name
    EXPECT_EQ(backup.EventID, SyslogEventId("ID47", "backup"));
    // The message, then the structured data; rendered through the source's message file.
    const std::string description = U8(backup.Description);
    EXPECT_EQ(description.rfind("バックアップ失敗\r\n[timeQuality ", 0), 0u) << description;
    EXPECT_NE(description.find("][example@32473 iut=\"3\"]"), std::string::npos) << description;
    EXPECT_FALSE(backup.ComputerName.empty());
    EXPECT_EQ(bySource["cron"].EventType, 2);
    EXPECT_EQ(bySource["cron"].Category, "cron");
    EXPECT_EQ(U8(bySource["cron"].Description), "job late");
    EXPECT_EQ(bySource["sshd"].EventType, 4);
    EXPECT_EQ(U8(bySource["sshd"].Description).rfind("accepted\r\n[timeQuality ", 0), 0u);
    EXPECT_EQ(receiver.GetCounts().malformed, 0u);
}

TEST_F(SyslogPeer, RsyslogForwardsToUs) {
    Start();
    TestFolder work;
    // rsyslog takes a port of the system's choosing and writes it down once it listens.
    const std::string config = work.File("rsyslog.conf");
    std::ofstream(config) << "global(workDirectory=\"" << work.Path() << "\")\n"
                          << "module(load=\"imtcp\")\n"
                          << "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"0\""
                          << " listenPortFileName=\"" << work.File("port") << "\")\n"
                          << "*.* action(type=\"omfwd\" target=\"127.0.0.1\" port=\"" << Port()
                          << "\" protocol=\"tcp\" TCP_Framing=\"octet-counted\""
                          << " template=\"RSYSLOG_SyslogProtocol23Format\")\n";
    const std::string pidFile = work.File("rsyslogd.pid");
    ChildProcess rsyslog({"/usr/sbin/rsyslogd", "-n", "-f", config, "-i", pidFile});
    ASSERT_TRUE(rsyslog.Running());
    std::string inPort;
    for (int i = 0; i < 100 && inPort.empty(); ++i) {
        if (!platform::ReadWholeFile(work.File("port"), inPort)) platform::Sleep(50);
    }
    while (!inPort.empty() && (inPort.back() == '\n' || inPort.back() == '\r')) inPort.pop_back();
    ASSERT_FALSE(inPort.empty());
    ASSERT_EQ(RunCommand("logger --server 127.0.0.1 --port " + inPort +
                         " --tcp -t relayed -p daemon.err 'through rsyslog'"),
              0);
    receiver.WaitForWritten(1, 10000);
    rsyslog.Stop();
    ASSERT_GE(receiver.GetCounts().written, 1u);
    const EventRecord r = Records().front();
    EXPECT_EQ(r.SourceName, "relayed");
    EXPECT_EQ(r.EventType, 1);
    EXPECT_EQ(U8(r.Description).rfind("through rsyslog\r\n[timeQuality ", 0), 0u);
}

TEST_F(SyslogTest, ABsdTimeOfLateDecemberReadInJanuaryIsLastYears) {
    const FixedClock newYear(2027, 1, 1, 0);
    Start();
    Send(receiver.Options().port, "<13>Dec 31 23:59:00 host app: still 2026", false);
    ASSERT_TRUE(receiver.WaitForWritten(1, 5000));
    const EventRecord r = Records().back();
    EXPECT_EQ(r.TimeGenerated.year, 2026);
    EXPECT_EQ(r.TimeGenerated.month, 12);
    EXPECT_EQ(r.ComputerName, "host");
}

namespace {

// A TCP connection to the receiver from a loopback address of the test's choice.
int ConnectFrom(const char* source, std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

TEST(NetworkReceiverTest, ACrowdOfConnectionsDoesNotPushAnAllowedSenderOut) {
    platform::NetworkReceiver receiver;
    ASSERT_TRUE(receiver.Open("127.0.0.1", 0));
    receiver.SetAcceptCheck([](const std::string& peer) { return peer != "127.0.0.3"; });
    std::string got;
    int evicted = 0;
    auto pump = [&] {
        for (int i = 0; i < 6; ++i) {
            receiver.Wait(10, [&](const platform::Received& r) {
                if (r.kind == platform::Received::Kind::Stream) got += r.bytes;
                if (r.evicted) ++evicted;
            });
        }
    };
    const int allowed = ConnectFrom("127.0.0.2", receiver.Port());
    ASSERT_GE(allowed, 0);
    ASSERT_EQ(send(allowed, "a", 1, 0), 1);
    pump();
    // 64 silent connections from a sender not allowed, then 70 from one allowed sender.
    std::vector<int> crowd;
    // (Accepted in small groups, as the receiver takes them between waits.)
    for (int i = 0; i < 64; ++i) {
        crowd.push_back(ConnectFrom("127.0.0.3", receiver.Port()));
        if (i % 8 == 7) pump();
    }
    for (int i = 0; i < 70; ++i) {
        crowd.push_back(ConnectFrom("127.0.0.4", receiver.Port()));
        if (i % 8 == 7) pump();
    }
    pump();
    ASSERT_EQ(send(allowed, "b", 1, 0), 1);
    pump();
    EXPECT_EQ(got, "ab");
    // The allowed crowd made room among its own: all but its newest kMaxPerPeer went.
    EXPECT_EQ(evicted, 70 - platform::NetworkReceiver::kMaxPerPeer);
    for (int fd : crowd) close(fd);
    close(allowed);
}

TEST(IngestLogWriterTest, TheSourceLimitCountsWhatEarlierRunsRegistered) {
    MachineFolder machine;
    std::string prefix;
    {
        IngestLogWriter first("Syslog", "Syslog");
        ASSERT_TRUE(first.Open());
        for (size_t i = 0; i < IngestLogWriter::kMaxNewSources; ++i) {
            ASSERT_EQ(first.Source("app" + std::to_string(i), prefix), "app" + std::to_string(i));
        }
    }
    // The next start: the names kept are used, a new one is refused.
    IngestLogWriter next("Syslog", "Syslog");
    ASSERT_TRUE(next.Open());
    EXPECT_EQ(next.Source("app7", prefix), "app7");
    prefix.clear();
    EXPECT_EQ(next.Source("another", prefix), "Syslog");
    EXPECT_EQ(prefix, "another: ");
    std::vector<std::string> sources;
    ListSources("Syslog", sources);
    EXPECT_EQ(sources.size(), IngestLogWriter::kMaxNewSources + 2);  // with Syslog, Quorvik Syslog
}

TEST_F(SyslogTest, ForwardedWindowsEventsGoToTheLogTheyNameAsTheEventsTheyWere) {
    Start();
    const std::uint16_t port = receiver.Options().port;
    // Snare behind a BSD header over UDP, and bare over TCP; NXLog's JSON behind an RFC 5424
    // header; a relay's escaped tabs; and a plain message, which stays a syslog record.
    Send(port,
         "<13>Dec  8 10:11:12 dc01 MSWinEventLog\t1\tSecurity\t42\tMon Dec 08 10:11:12 2025\t4625\t"
         "Microsoft-Windows-Security-Auditing\tCORP\\bob\tUser\tFailure Audit\tDC01.corp.local\t"
         "Logon\t\tAn account failed to log on.  Account Name: bob\t1234",
         false);
    Send(port,
         "MSWinEventLog\t0\tSystem\t7\tMon Dec 08 10:12:00 2025\t7036\tService Control Manager\t"
         "N/A\tN/A\tInformation\tFS02\tNone\t\tThe Print Spooler service entered the stopped "
         "state.\t99\n",
         true);
    Send(port,
         "<14>1 2025-12-08T10:13:00+09:00 web01 nxlog - - - {\"EventTime\":\"2025-12-08 "
         "10:13:00\",\"Hostname\":\"WEB01\",\"EventType\":\"WARNING\",\"EventID\":1,\"SourceName\":"
         "\"Microsoft-Windows-Sysmon\",\"Channel\":\"Microsoft-Windows-Sysmon/Operational\","
         "\"Category\":\"Process Create\",\"Message\":\"Process Create: notepad.exe\","
         "\"Image\":\"C:\\\\Windows\\\\notepad.exe\",\"ProcessId\":\"4242\"}\n",
         true);
    Send(port,
         "<13>Dec  8 10:14:00 relay MSWinEventLog#0111#011Application#0113#011Mon Dec 08 "
         "10:14:00 2025#0111000#011Application Error#011N/A#011N/A#011Error#011APP1#011None"
         "#011#011Faulting application app.exe#0115",
         false);
    Send(port, "<13>Dec  8 10:15:00 host1 cron: not a Windows event", false);
    ASSERT_TRUE(receiver.WaitForWritten(5, 10000));

    const std::vector<EventRecord> security = ReadLogRecords("Security");
    ASSERT_EQ(security.size(), 1u);
    const EventRecord& logon = security[0];
    EXPECT_EQ(logon.SourceName, "Microsoft-Windows-Security-Auditing");
    EXPECT_EQ(logon.EventID, 4625u);
    EXPECT_EQ(logon.EventType, 16);
    EXPECT_EQ(logon.Category, "Logon");
    EXPECT_EQ(logon.ComputerName, "DC01.corp.local");
    EXPECT_EQ(logon.User, "CORP\\bob");
    EXPECT_EQ(logon.Description, "An account failed to log on.  Account Name: bob");
    EXPECT_EQ(logon.TimeGenerated.hour, 10);
    EXPECT_EQ(logon.TimeGenerated.minute, 11);

    const std::vector<EventRecord> system = ReadLogRecords("System");
    ASSERT_EQ(system.size(), 1u);
    EXPECT_EQ(system[0].SourceName, "Service Control Manager");
    EXPECT_EQ(system[0].EventType, 4);
    const std::vector<EventRecord> sysmon = ReadLogRecords("Microsoft-Windows-Sysmon-Operational");
    ASSERT_EQ(sysmon.size(), 1u);
    EXPECT_EQ(sysmon[0].EventType, 2);
    EXPECT_EQ(sysmon[0].Category, "Process Create");
    EXPECT_EQ(sysmon[0].ComputerName, "WEB01");
    EXPECT_EQ(sysmon[0].Description, "Process Create: notepad.exe");
    ASSERT_EQ(ReadLogRecords("Application").size(), 1u);
    EXPECT_EQ(ReadLogRecords("Application")[0].SourceName, "Application Error");
    const std::vector<EventRecord> syslog = Records();
    ASSERT_EQ(syslog.size(), 1u);
    EXPECT_EQ(syslog[0].SourceName, "cron");

    // A watch entry written for the Windows event takes the forwarded one; its computer
    // condition decides by the event's own computer.
    WatchEntry spooler;
    spooler.LogName = "System";
    spooler.SourceName = "Service Control Manager";
    spooler.EventID = 7036;
    spooler.Category = AnyValueText();
    spooler.Condition = "\"stopped\"";
    EXPECT_TRUE(EntryMatches(spooler, "System", system[0]));
    spooler.Computers = "DC*, fs02";
    EXPECT_TRUE(EntryMatches(spooler, "System", system[0]));
    spooler.Computers = "DC*";
    MatchTest failed{};
    EXPECT_FALSE(EntryMatches(spooler, "System", system[0], &failed));
    EXPECT_EQ(failed, MatchTest::Computer);
    WatchEntry failures = spooler;
    failures.LogName = "Security";
    failures.SourceName = "Microsoft-Windows-Security-Auditing";
    failures.EventID = 4625;
    failures.Type = 16;
    failures.Condition = "\"bob\"";
    failures.Computers = "dc01";  // the first label of DC01.corp.local
    EXPECT_TRUE(EntryMatches(failures, "Security", logon));
}

#include "core/monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "config/settings.h"
#include "core/address_handlers.h"
#include "core/program_log.h"
#include "eventlog/catalog.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/eventlog.h"
#include "platform/eventlog_writer.h"
#include "platform/evt_format.h"
#include "platform/files.h"
#include "platform/machine.h"
#include "platform/registry.h"
#include "platform/registry_files.h"
#include "support/log_records.h"
#include "support/machine_folder.h"
#include "support/scripted_shell.h"

using platform::DWORD;

namespace {

class FakeTimer : public WatchTimer {
public:
    void SetInterval(unsigned ms) override { calls.push_back("interval " + std::to_string(ms)); }
    void SetEnabled(bool on) override {
        enabled = on;
        calls.push_back(on ? "on" : "off");
    }
    bool enabled = false;
    std::vector<std::string> calls;
};

class FakeLocks : public DialogLocks {
public:
    void Lock() override {
        ++locked;
        calls.push_back("lock");
    }
    void Unlock() override {
        --locked;
        calls.push_back("unlock");
    }
    int locked = 0;
    std::vector<std::string> calls;
};

class Consumers : public BatchConsumers {
public:
    void ProcessActions(TickBatch& batch) override {
        order.push_back("actions");
        if (throwInActions) throw std::runtime_error("unexpected");
        for (auto& r : batch)
            reports.push_back(
                {r->LogName, r->Event.RecordNumber, r->Watch->EventNum, r->ReportText});
    }
    void DeliverMail(TickBatch&) override { order.push_back("mail"); }
    void SendNetworkMessages(TickBatch&) override { order.push_back("net"); }

    struct Seen {
        std::string log;
        std::uint32_t record;
        int watch;
        std::string text;
    };
    std::vector<Seen> reports;
    std::vector<std::string> order;
    bool throwInActions = false;
};

class Sink : public LogSink {
public:
    void AddLogLine(int level, const platform::SystemTime&, const std::string& text) override {
        lines.push_back(std::to_string(level) + " " + platform::SjisToUtf8(text));
    }
    std::vector<std::string> lines;
};

class MonitorTest : public ::testing::Test {
protected:
    MonitorTest() : log(settings, &sink), monitor(settings, watches, timer, locks, consumers) {
        settings.Interval = 5;
        settings.SenderName = "Quorvik";
        settings.MailAddr = "q@example.jp";
        settings.SMTPServer = "127.0.0.1";
        settings.Enable = false;
        SetProgramLog(&log);
        auto e = std::make_unique<WatchEntry>();
        e->EventNum = 1;
        e->LogName = "Application";
        e->SourceName = e->Category = AnyValueText();
        e->AddrList = {"ops@example.jp"};
        watches.push_back(std::move(e));
        // Its messages 1 to 1000 are the first string, as for sources eventcreate registers.
        platform::AppendMachineRegistry(
            platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\Application\\App") +
            platform::RegExpandStringLine("EventMessageFile",
                                          std::string(platform::kEventCreateMessageFile)));
    }
    ~MonitorTest() override { SetProgramLog(nullptr); }

    void Write(DWORD id, const std::string& text = "x", const char* source = "App") {
        platform::EventToWrite e;
        e.eventId = id;
        e.strings = {text};
        ASSERT_TRUE(platform::ReportEvent(source, e));
    }
    std::vector<std::uint32_t> ReportedRecords() const {
        std::vector<std::uint32_t> numbers;
        for (const auto& r : consumers.reports) numbers.push_back(r.record);
        return numbers;
    }
    bool Logged(const std::string& utf8) const {
        for (const std::string& line : sink.lines) {
            if (line == utf8) return true;
        }
        return false;
    }

    MachineFolder machine;
    Settings settings;
    WatchList watches;
    Sink sink;
    ProgramLog log;
    FakeTimer timer;
    FakeLocks locks;
    Consumers consumers;
    Monitor monitor;
};

}  // namespace

TEST_F(MonitorTest, RecordsPresentAtStartAreNeverReported) {
    for (DWORD i = 1; i <= 3; ++i) Write(i);
    monitor.StartMonitoring();
    ASSERT_TRUE(monitor.Running());
    EXPECT_EQ(timer.calls, (std::vector<std::string>{"interval 300000", "on"}));
    EXPECT_TRUE(Logged("1 Applicationイベントログの監視を開始しました。"));
    EXPECT_TRUE(Logged("1 Systemイベントログの監視を開始しました。"));

    monitor.WatchTick();
    EXPECT_TRUE(consumers.order.empty());  // nothing new: no consumer is called
    for (DWORD i = 4; i <= 8; ++i) Write(i, "new " + std::to_string(i));
    log.SetDebugMode(true);
    monitor.WatchTick();
    EXPECT_EQ(ReportedRecords(), (std::vector<std::uint32_t>{4, 5, 6, 7, 8}));
    EXPECT_EQ(consumers.order, (std::vector<std::string>{"actions", "mail", "net"}));
    EXPECT_EQ(consumers.reports[0].watch, 1);
    EXPECT_NE(consumers.reports[0].text.find(sjis(u8"説明：\r\nnew 4\r\n")), std::string::npos);
    // Five reads in order, with the counts the tick saw.
    EXPECT_TRUE(Logged("4 Applicationログのチェック開始"));
    EXPECT_TRUE(Logged("4 レコード件数:8"));
    EXPECT_TRUE(Logged("4 前回チェックレコード番号:3"));
    EXPECT_TRUE(Logged("4 最大レコード番号:8"));
    EXPECT_TRUE(Logged("4 レコード[4]のイベントログ取得"));
    EXPECT_TRUE(Logged("4 監視イベント番号: 1 - 監視イベントが発生"));
    EXPECT_TRUE(Logged("4 イベントログのチェック終了"));
    // The timer was off for the tick and the dialogs locked, then both restored.
    EXPECT_TRUE(timer.enabled);
    EXPECT_EQ(locks.locked, 0);
    EXPECT_EQ(locks.calls, (std::vector<std::string>{"lock", "unlock", "lock", "unlock"}));

    monitor.StopMonitoring();
    EXPECT_FALSE(monitor.Running());
    EXPECT_FALSE(timer.enabled);
    EXPECT_TRUE(Logged("1 すべてのイベントログの監視を停止しました。"));
}

TEST_F(MonitorTest, EmptyWatchListOrNoSmtpSettings) {
    settings.SMTPServer.clear();
    watches.clear();
    monitor.StartMonitoring();
    EXPECT_FALSE(monitor.Running());
    EXPECT_TRUE(Logged("2 設定 - その他のSMTPが設定されていないので、メールの送信はできません。"));
    EXPECT_TRUE(Logged("2 監視イベントが設定されていないので、監視を開始できませんでした。"));
    EXPECT_TRUE(timer.calls.empty());
}

TEST_F(MonitorTest, ALogEmptyAtStartAndAClearedLog) {
    ASSERT_TRUE(platform::SetEventLogNextRecord("Application", 5000));
    monitor.StartMonitoring();  // empty: no last record
    Write(1);
    monitor.WatchTick();
    EXPECT_EQ(ReportedRecords(), std::vector<std::uint32_t>{5000});

    platform::EventLogHandle h = platform::OpenEventLog("", "Application");
    ASSERT_TRUE(platform::ClearEventLog(h));
    platform::CloseEventLog(h);
    monitor.WatchTick();  // emptied: nothing, and the last record is kept
    for (DWORD i = 0; i < 3; ++i) Write(10 + i);
    monitor.WatchTick();
    EXPECT_TRUE(Logged(
        "2 "
        "Applicationイベントログのレコード番号5001～0のログは破棄されたためチェックできません。"));
    EXPECT_TRUE(
        Logged("2 "
               "Applicationイベントログのログサイズか、Quorvikのイベントログ監視間隔を調節してくだ"
               "さい。"));
    EXPECT_EQ(ReportedRecords(), (std::vector<std::uint32_t>{5000, 1, 2, 3}));
}

TEST_F(MonitorTest, OverwrittenRecordsAndNumbersThatWrap) {
    ASSERT_TRUE(platform::SetEventLogNextRecord("Application", 4294967290u));
    ASSERT_TRUE(platform::SetEventLogMaxSize("Application", 4096));
    for (int i = 0; i < 3; ++i) Write(1);  // 4294967290 .. 4294967292
    monitor.StartMonitoring();
    for (int i = 0; i < 5; ++i) Write(2);  // 4294967293 .. 4294967295, 0, 1
    monitor.WatchTick();
    EXPECT_EQ(ReportedRecords(),
              (std::vector<std::uint32_t>{4294967293u, 4294967294u, 4294967295u, 0, 1}));

    // More than the log holds between two ticks: the lost ones are announced.
    consumers.reports.clear();
    for (int i = 0; i < 60; ++i) Write(3, std::string(40, 'y'));
    platform::EventLogHandle h = platform::OpenEventLog("", "Application");
    DWORD count = 0, oldest = 0;
    platform::GetNumberOfEventLogRecords(h, count);
    platform::GetOldestEventLogRecord(h, oldest);
    platform::CloseEventLog(h);
    ASSERT_GT(oldest, 2u);
    monitor.WatchTick();
    EXPECT_TRUE(Logged("2 Applicationイベントログのレコード番号2～" + std::to_string(oldest - 1) +
                       "のログは破棄されたためチェックできません。"));
    ASSERT_EQ(consumers.reports.size(), count);
    EXPECT_EQ(consumers.reports.front().record, oldest);
    EXPECT_EQ(consumers.reports.back().record, 61u);
}

TEST_F(MonitorTest, ARecordThatCannotBeReadIsTriedAgain) {
    monitor.StartMonitoring();
    for (DWORD i = 1; i <= 3; ++i) Write(i);
    // Damage record 2 in the file, then mend it after one tick.
    const std::string path = platform::EventLogFilePath("Application");
    const std::string good = ReadFileBytes(path);
    const size_t second =
        platform::evt::kHeaderSize + platform::Le32(good, platform::evt::kHeaderSize);
    std::string bad = good;
    bad[second + 4] = 'X';  // its signature
    {
        platform::File f;
        ASSERT_TRUE(f.Open(path, platform::File::Access::Write,
                           platform::File::Disposition::OpenExisting, platform::File::Share::Read));
        ASSERT_TRUE(f.Write(bad.data(), bad.size()));
    }
    monitor.WatchTick();
    EXPECT_EQ(ReportedRecords(), std::vector<std::uint32_t>{1});
    EXPECT_TRUE(Logged(
        "3 Applicationイベントログのレコードデータが取得できませんでした。エラーコード[000005dc]"));
    {
        platform::File f;
        ASSERT_TRUE(f.Open(path, platform::File::Access::Write,
                           platform::File::Disposition::OpenExisting, platform::File::Share::Read));
        ASSERT_TRUE(f.Write(good.data(), good.size()));
    }
    monitor.WatchTick();
    EXPECT_EQ(ReportedRecords(), (std::vector<std::uint32_t>{1, 2, 3}));
}

TEST_F(MonitorTest, SeveralEntriesAndAFailingConsumer) {
    auto second = std::make_unique<WatchEntry>(*watches[0]);
    second->EventNum = 2;
    second->Note = "note";
    watches.push_back(std::move(second));
    monitor.StartMonitoring();
    Write(1);
    consumers.throwInActions = true;
    monitor.WatchTick();
    // The consumers after the failing one still ran, and the tick ended as it should.
    EXPECT_EQ(consumers.order, (std::vector<std::string>{"actions", "mail", "net"}));
    EXPECT_TRUE(timer.enabled);
    EXPECT_EQ(locks.locked, 0);
    consumers.throwInActions = false;
    Write(1);
    monitor.WatchTick();
    ASSERT_EQ(consumers.reports.size(), 2u);
    EXPECT_EQ(consumers.reports[0].watch, 1);
    EXPECT_EQ(consumers.reports[1].watch, 2);
    EXPECT_EQ(consumers.reports[0].record, consumers.reports[1].record);
}

TEST_F(MonitorTest, LogsThatCannotBeOpened) {
    WriteFileBytes(machine.Root() + "blocker", "");
    machine.AddRegFile("60-broken.reg",
                       "Windows Registry Editor Version 5.00\r\n" +
                           platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\Broken") +
                           platform::RegStringLine("File", machine.Root() + "blocker/Broken.evt"));
    monitor.StartMonitoring();
    EXPECT_TRUE(monitor.Running());
    EXPECT_TRUE(Logged(
        "2 Brokenイベントログがオープンできませんでした。このイベントログは監視できません。"));
    EXPECT_EQ(monitor.Logs().size(), 4u);
    monitor.StopMonitoring();

    // When no log can be used, monitoring stays stopped.
    machine.AddRegFile(
        "zzz-none.reg",
        "Windows Registry Editor Version 5.00\r\n"
        "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application]\r\n"
        "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System]\r\n"
        "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Security]\r\n");
    monitor.StartMonitoring();
    EXPECT_FALSE(monitor.Running());
    EXPECT_TRUE(Logged("3 すべてのイベントログが利用できません。監視を中止します。"));
}

TEST(AddressLinks, AddressChangesCarryIntoTheWatchList) {
    WatchList watches;
    watches.push_back(std::make_unique<WatchEntry>());
    watches[0]->AddrList = {"a@example.jp", "PC1"};
    watches.push_back(std::make_unique<WatchEntry>());
    watches[1]->EventNum = 2;
    watches[1]->AddrList = {"PC1"};

    // Only the name changed: the watch list is not touched.
    EXPECT_FALSE(OnAddressChanged(watches, AddressEntry{"x", "New name", "a@example.jp", "PC1", ""},
                                  AddressEntry{"x", "Old name", "a@example.jp", "PC1", ""}));
    EXPECT_TRUE(OnAddressChanged(watches, AddressEntry{"", "", "b@example.jp", "", ""},
                                 AddressEntry{"", "", "a@example.jp", "PC1", ""}));
    EXPECT_EQ(watches[0]->AddrList,
              (std::vector<std::string>{"b@example.jp", "PC1"}));  // emptied name stays

    EXPECT_TRUE(OnAddressDeleted(watches, AddressEntry{"", "", "", "PC1", ""}));
    ASSERT_EQ(watches.size(), 1u);  // the second entry lost its only recipient
    EXPECT_EQ(watches[0]->AddrList, std::vector<std::string>{"b@example.jp"});
    EXPECT_FALSE(OnAddressDeleted(watches, AddressEntry{"", "", "nobody@example.jp", "", ""}));
    EXPECT_TRUE(OnAddressDeleted(watches, AddressEntry{"", "", "b@example.jp", "", ""}));
    EXPECT_TRUE(watches.empty());
}

TEST_F(MonitorTest, ARecordThatNeverReadsIsPassedByAtTheThirdTick) {
    monitor.StartMonitoring();
    for (DWORD i = 1; i <= 3; ++i) Write(i);
    const std::string path = platform::EventLogFilePath("Application");
    std::string bytes = ReadFileBytes(path);
    const size_t second =
        platform::evt::kHeaderSize + platform::Le32(bytes, platform::evt::kHeaderSize);
    bytes[second + 4] = 'X';  // record 2's signature, for good
    {
        platform::File f;
        ASSERT_TRUE(f.Open(path, platform::File::Access::Write,
                           platform::File::Disposition::OpenExisting, platform::File::Share::Read));
        ASSERT_TRUE(f.Write(bytes.data(), bytes.size()));
    }
    const std::string passedBy =
        "2 Applicationイベントログのレコード番号2は3回続けて取得できなかったため、読み飛ばします。";
    monitor.WatchTick();
    monitor.WatchTick();
    EXPECT_EQ(ReportedRecords(), std::vector<std::uint32_t>{1});
    EXPECT_FALSE(Logged(passedBy));
    monitor.WatchTick();
    EXPECT_TRUE(Logged(passedBy));
    EXPECT_EQ(ReportedRecords(), (std::vector<std::uint32_t>{1, 3}));
    Write(4);
    monitor.WatchTick();
    EXPECT_EQ(ReportedRecords(), (std::vector<std::uint32_t>{1, 3, 4}));
}

TEST_F(MonitorTest, ALogClearedAndRefilledPastTheHandledRecordIsReadAgain) {
    for (DWORD i = 1; i <= 3; ++i) Write(i, "before " + std::to_string(i));
    monitor.StartMonitoring();  // record 3 is the starting point
    const std::string discarded =
        "2 Applicationイベントログのレコード番号4～0のログは破棄されたためチェックできません。";
    // Cleared and refilled to the same number: the new record 3 is not the one handled.
    {
        platform::UniqueEventLog h(platform::OpenEventLog("", "Application"));
        ASSERT_TRUE(platform::ClearEventLog(h.Get()));
    }
    for (DWORD i = 1; i <= 3; ++i) Write(10 + i, "after");
    monitor.WatchTick();
    EXPECT_TRUE(Logged(discarded));
    EXPECT_EQ(ReportedRecords(), (std::vector<std::uint32_t>{1, 2, 3}));

    // And past it.
    sink.lines.clear();
    consumers.reports.clear();
    {
        platform::UniqueEventLog h(platform::OpenEventLog("", "Application"));
        ASSERT_TRUE(platform::ClearEventLog(h.Get()));
    }
    for (DWORD i = 1; i <= 5; ++i) Write(20 + i, "again " + std::to_string(i));
    monitor.WatchTick();
    EXPECT_TRUE(Logged(discarded));
    EXPECT_EQ(ReportedRecords(), (std::vector<std::uint32_t>{1, 2, 3, 4, 5}));

    // A log that only grew is read on as before, without a warning.
    sink.lines.clear();
    consumers.reports.clear();
    Write(30);
    monitor.WatchTick();
    EXPECT_EQ(ReportedRecords(), std::vector<std::uint32_t>{6});
    for (const std::string& line : sink.lines) EXPECT_NE(line.substr(0, 2), "2 ") << line;
}

// Resume after restart: the position kept at each tick, the records written while the program
// was down reported at the first tick of the next run.
class ResumeTest : public MonitorTest {
protected:
    ResumeTest() {
        extensions.Resume = true;
        monitor.SetExtensions(&extensions);
    }
    // Ends the run as closing the program does, and makes the monitor of the next one.
    void Restart() {
        monitor.StopMonitoring();
        next = std::make_unique<Monitor>(settings, watches, timer, locks, consumers);
        next->SetExtensions(&extensions);
    }
    bool LoggedStart(const std::string& start) const {
        return std::any_of(sink.lines.begin(), sink.lines.end(),
                           [&](const std::string& l) { return l.rfind(start, 0) == 0; });
    }

    ExtensionSettings extensions;
    std::unique_ptr<Monitor> next;
};

TEST_F(ResumeTest, WhatWasWrittenWhileStoppedIsReportedOnce) {
    for (DWORD i = 1; i <= 2; ++i) Write(i);
    monitor.StartMonitoring();
    Write(3);
    monitor.WatchTick();
    ASSERT_EQ(ReportedRecords(), std::vector<std::uint32_t>{3});
    Restart();
    for (DWORD i = 4; i <= 8; ++i) Write(i, "while stopped");
    next->StartMonitoring();
    next->WatchTick();
    EXPECT_EQ(ReportedRecords(), (std::vector<std::uint32_t>{3, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(
        Logged("1 Applicationイベントログの停止中に書き込まれたレコード5件をチェックしま"
               "した。"));
    next->WatchTick();
    Write(9);
    next->WatchTick();
    EXPECT_EQ(ReportedRecords(), (std::vector<std::uint32_t>{3, 4, 5, 6, 7, 8, 9}));

    // A restart with nothing new reports nothing and says nothing about catching up.
    sink.lines.clear();
    next->StopMonitoring();
    Monitor third(settings, watches, timer, locks, consumers);
    third.SetExtensions(&extensions);
    third.StartMonitoring();
    third.WatchTick();
    EXPECT_EQ(consumers.reports.size(), 7u);
    EXPECT_FALSE(LoggedStart("1 Applicationイベントログの停止中"));
}

TEST_F(ResumeTest, AHeartbeatDueWhileStoppedIsReportedAtTheNextStart) {
    const FixedClock nine(2026, 12, 7, 9);
    const auto minutes = [](int n) { return n * 60000ll; };
    watches[0]->Rule.Kind = WatchRule::kAbsence;
    watches[0]->Rule.Every = 60;
    monitor.StartMonitoring();
    platform::AdvanceClock(minutes(5));
    Write(1);
    platform::AdvanceClock(minutes(5));
    monitor.WatchTick();
    EXPECT_TRUE(consumers.reports.empty());  // expected, not reported
    // Stopped from 09:10 to 10:30; the event of 10:00 is caught up, so nothing is missing.
    Restart();
    platform::AdvanceClock(minutes(50));
    Write(2);
    platform::AdvanceClock(minutes(30));
    next->StartMonitoring();
    next->WatchTick();
    EXPECT_TRUE(consumers.reports.empty());
    // Stopped across the deadline of 11:00: the next start says so, once.
    next->StopMonitoring();
    platform::AdvanceClock(minutes(120));
    Monitor third(settings, watches, timer, locks, consumers);
    third.SetExtensions(&extensions);
    third.StartMonitoring();
    third.WatchTick();
    third.WatchTick();
    ASSERT_EQ(consumers.reports.size(), 1u);
    EXPECT_NE(consumers.reports[0].text.find(sjis(u8"期間：2026/12/07 10:00:00 ～ 2026/12/07 "
                                                  u8"11:00:00")),
              std::string::npos);
    Write(3);
    third.WatchTick();
    ASSERT_EQ(consumers.reports.size(), 2u);
    EXPECT_NE(consumers.reports[1].text.find(sjis(u8"期待したイベントが発生しました")),
              std::string::npos);
    EXPECT_EQ(consumers.reports[1].record, 3u);
}

namespace {

// What RESUME.DAT says of the Application log at each step of a tick.
class PositionAtEachStep : public BatchConsumers {
public:
    void ProcessActions(TickBatch&) override {}
    void DeliverMail(TickBatch&) override { atMail = Position(); }
    void AfterCheckpoint() override { afterCheckpoint = Position(); }
    void SendNetworkMessages(TickBatch&) override {}
    static std::uint32_t Position() { return LoadResumeState()["Application"].record; }
    std::uint32_t atMail = 0, afterCheckpoint = 0;
};

}  // namespace

TEST_F(ResumeTest, ThePositionMovesOnlyOnceTheMailIsInSafeHands) {
    Write(1);
    PositionAtEachStep steps;
    Monitor monitor(settings, watches, timer, locks, steps);
    monitor.SetExtensions(&extensions);
    monitor.StartMonitoring();
    EXPECT_EQ(PositionAtEachStep::Position(), 1u);  // kept from the start
    Write(2);
    monitor.WatchTick();
    EXPECT_EQ(steps.atMail, 1u);
    EXPECT_EQ(steps.afterCheckpoint, 2u);
}

TEST_F(ResumeTest, OffLeavesNoStateAndReportsNothingOld) {
    extensions.Resume = false;
    Write(1);
    monitor.StartMonitoring();
    monitor.WatchTick();
    Restart();
    Write(2);
    next->StartMonitoring();
    next->WatchTick();
    EXPECT_TRUE(consumers.reports.empty());
    EXPECT_FALSE(platform::FileExists(ResumeStatePath()));
}

TEST_F(ResumeTest, AClearedLogIsAnnouncedAndWatchedAsUsual) {
    for (DWORD i = 1; i <= 3; ++i) Write(i);
    monitor.StartMonitoring();
    monitor.WatchTick();
    Restart();
    // Cleared and written again past the saved number within the same second: the record now
    // under number 3 is another one.
    {
        platform::UniqueEventLog h(platform::OpenEventLog("", "Application"));
        ASSERT_TRUE(platform::ClearEventLog(h.Get()));
    }
    for (DWORD i = 1; i <= 4; ++i) Write(10 + i, "after clearing");
    next->StartMonitoring();
    EXPECT_TRUE(
        Logged("2 Applicationイベントログは停止中にクリアされたため、停止中に書き込まれた"
               "レコードはチェックできません。"));
    next->WatchTick();
    EXPECT_TRUE(consumers.reports.empty());
    Write(20);
    next->WatchTick();
    EXPECT_EQ(ReportedRecords(), std::vector<std::uint32_t>{5});
}

TEST_F(ResumeTest, AWrappedLogAndTheLimit) {
    ASSERT_TRUE(platform::SetEventLogMaxSize("Application", 4096));
    Write(1);
    monitor.StartMonitoring();
    monitor.WatchTick();
    Restart();
    for (int i = 0; i < 60; ++i) Write(2, std::string(40, 'w'));
    DWORD count = 0, oldest = 0;
    {
        platform::UniqueEventLog h(platform::OpenEventLog("", "Application"));
        platform::GetNumberOfEventLogRecords(h.Get(), count);
        platform::GetOldestEventLogRecord(h.Get(), oldest);
    }
    ASSERT_GT(oldest, 2u);
    next->StartMonitoring();
    EXPECT_TRUE(Logged("2 Applicationイベントログは停止中に上書きされたため、レコード" +
                       std::to_string(oldest - 2) + "件をチェックできません。"));
    next->WatchTick();
    // What survived is still reported.
    ASSERT_EQ(consumers.reports.size(), count);
    EXPECT_EQ(consumers.reports.front().record, oldest);

    // At most the limit: the newest ones.
    consumers.reports.clear();
    sink.lines.clear();
    extensions.ResumeLimit = 3;
    next->StopMonitoring();
    for (int i = 0; i < 5; ++i) Write(3);
    Monitor third(settings, watches, timer, locks, consumers);
    third.SetExtensions(&extensions);
    third.StartMonitoring();
    EXPECT_TRUE(
        Logged("2 Applicationイベントログの停止中に書き込まれたレコードのうち2件は、上限"
               "(3件)を超えるためチェックしません。"));
    third.WatchTick();
    EXPECT_EQ(ReportedRecords(), (std::vector<std::uint32_t>{64, 65, 66}));
}

TEST(ResumeState, ReadsWhatItCanOfADamagedFile) {
    const ResumeState state = ParseResumeState(
        "[Application]\r\nRecord=12\r\nWritten=1796000000\r\nLength=120\r\nHash=00000000000000ff\r\n"
        "[System]\nRecord=x\nWritten=5\n"  // a number that is none: dropped
        "garbage without equals\n[Security]\nRecord=99999999999\nWritten=1\n"  // too large
        "[\x83\x5c]\nWritten=7\nRecord=4294967295\nHash=zz\n"  // a Shift-JIS name, a bad hash
        "[Cut]\nRecord=3");
    ASSERT_EQ(state.size(), 2u);
    EXPECT_EQ(state.at("Application"), (LogPosition{12, 1796000000, 120, 0xff}));
    EXPECT_EQ(state.at("\x83\x5c"), (LogPosition{4294967295u, 7, 0, 0}));
    EXPECT_EQ(ParseResumeState(FormatResumeState(state)), state);
    // A name that would break its section line is not written.
    EXPECT_EQ(FormatResumeState({{"a]b", {}}, {"c\nd", {}}}), "");
}

TEST_F(MonitorTest, AnEvtxLogGrowsAndItsGapIsPassedWithoutErrors) {
    // A copy of another machine's log, refreshed while the program watches it.
    ASSERT_TRUE(platform::AppendMachineRegistry(
        platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\Forwarded") +
        platform::RegStringLine("File", machine.Root() + "Forwarded.evtx")));
    watches[0]->LogName = "Forwarded";
    const std::string whole =
        ReadFileBytes(std::string(QUORVIK_TEST_DATA) + "/evtx/sample_with_a_bad_chunk_magic.evtx");
    const size_t chunk = 0x10000, header = 0x1000;
    const std::string path = machine.Root() + "Forwarded.evtx";
    // Five chunks at the start; then the whole file, whose sixth chunk is damaged.
    WriteFileBytes(path, whole.substr(0, header + 5 * chunk));
    monitor.StartMonitoring();
    monitor.WatchTick();
    EXPECT_TRUE(consumers.reports.empty());
    WriteFileBytes(path, whole);
    monitor.WatchTick();
    const std::vector<std::uint32_t> reported = ReportedRecords();
    ASSERT_FALSE(reported.empty());
    // Each new record once, in order, and no line about the numbers the damage took.
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
    EXPECT_EQ(std::adjacent_find(reported.begin(), reported.end()), reported.end());
    for (const std::string& line : sink.lines)
        EXPECT_EQ(line.find("取得できませんでした"), std::string::npos) << line;
    EXPECT_NE(consumers.reports[0].text.find(sjis(u8"ソース：")), std::string::npos);
    monitor.WatchTick();
    EXPECT_EQ(ReportedRecords(), reported);
}

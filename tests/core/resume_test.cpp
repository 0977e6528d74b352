// Resume after restart, on the monitor of the test's own machine.
#include <gtest/gtest.h>

#include <algorithm>

#include "config/settings.h"
#include "core/monitor.h"
#include "core/resume_state.h"
#include "platform/files.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/evt_format.h"
#include "support/log_records.h"
#include "support/monitor_fixture.h"

using platform::DWORD;

namespace {

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

}  // namespace

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
    std::map<std::string, std::uint32_t> HeldRecords() const override { return held; }
    static std::uint32_t Position() { return LoadResumeState()["Application"].record; }
    std::uint32_t atMail = 0, afterCheckpoint = 0;
    std::map<std::string, std::uint32_t> held;
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
    // A report mail neither sent nor kept holds the place before its record, at a stop too,
    // until it goes.
    for (DWORD i = 3; i <= 5; ++i) Write(i);
    steps.held = {{"Application", 4}};
    monitor.WatchTick();
    EXPECT_EQ(steps.afterCheckpoint, 3u);
    monitor.StopMonitoring();
    EXPECT_EQ(PositionAtEachStep::Position(), 3u);
    steps.held.clear();
    monitor.StartMonitoring();
    Write(6);
    monitor.WatchTick();
    EXPECT_EQ(steps.afterCheckpoint, 6u);
}

TEST_F(ResumeTest, ADamagedFileIsSaidAndKeptAside) {
    for (DWORD i = 1; i <= 2; ++i) Write(i);
    for (const std::string& text : {std::string(), std::string("\x01\xff garbage\n[App")}) {
        ASSERT_TRUE(platform::WriteWholeFile(ResumeStatePath(), text));
        sink.lines.clear();
        monitor.StartMonitoring();
        EXPECT_TRUE(LoggedStart("2 監視状態ファイル(" + ResumeStatePath() +
                                ")が壊れているため、停止中に書き込まれたレコードをチェックできな"
                                "いイベントログがあります。元のファイルはRESUME.DAT.bad-"));
        std::vector<platform::FindData> copies;
        ASSERT_TRUE(platform::FindFiles(ResumeStatePath() + ".bad-*", copies));
        std::string kept;
        ASSERT_TRUE(platform::ReadWholeFile(DataDirectory() + copies[0].name, kept));
        EXPECT_EQ(kept, text);
        platform::DeleteFile(DataDirectory() + copies[0].name);
        // Saved whole again at once: the next start finds it sound.
        EXPECT_EQ(LoadResumeState().at("Application").record, 2u);
        monitor.StopMonitoring();
    }
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

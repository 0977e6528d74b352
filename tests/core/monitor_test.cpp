#include "core/monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "config/settings.h"
#include "core/program_log.h"
#include "eventlog/catalog.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/evt_format.h"
#include "platform/machine/evtx_format.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry.h"
#include "platform/machine/registry_files.h"
#include "support/log_records.h"
#include "support/machine_folder.h"
#include "support/monitor_fixture.h"

using platform::DWORD;

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

    // More than the log holds between two ticks: what the watch has not read yet is not given
    // up; the writer is told the log is full until the watch has read it.
    consumers.reports.clear();
    auto tryWrite = [](DWORD id) {
        platform::EventToWrite e;
        e.eventId = id;
        e.strings = {std::string(40, 'y')};
        return platform::ReportEvent("App", e);
    };
    DWORD taken = 0;
    while (taken < 100 && tryWrite(3)) ++taken;
    ASSERT_LT(taken, 100u);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorLogFileFull);
    monitor.WatchTick();
    ASSERT_EQ(consumers.reports.size(), taken);
    EXPECT_EQ(consumers.reports.front().record, 2u);
    for (const std::string& line : sink.lines) EXPECT_EQ(line.find("破棄"), std::string::npos);
    EXPECT_TRUE(tryWrite(3));  // read now, the oldest give way

    // A log overwritten behind the watch's back (by a writer of a machine copied in, say, that
    // knows of no mark): the lost ones are announced.
    consumers.reports.clear();
    ASSERT_TRUE(platform::ClearEventLogReadMark("Application"));
    const std::uint32_t handled = 1 + taken;  // the record the watch read last
    for (int i = 0; i < 60; ++i) Write(3, std::string(40, 'y'));
    platform::EventLogHandle h = platform::OpenEventLog("", "Application");
    DWORD count = 0, oldest = 0;
    platform::GetNumberOfEventLogRecords(h, count);
    platform::GetOldestEventLogRecord(h, oldest);
    platform::CloseEventLog(h);
    ASSERT_GT(oldest, handled + 1);
    monitor.WatchTick();
    EXPECT_TRUE(Logged("2 Applicationイベントログのレコード番号" + std::to_string(handled + 1) +
                       "～" + std::to_string(oldest - 1) +
                       "のログは破棄されたためチェックできません。"));
    ASSERT_EQ(consumers.reports.size(), count);
    EXPECT_EQ(consumers.reports.front().record, oldest);
    EXPECT_EQ(consumers.reports.back().record, handled + 61);  // the one written after it too
}

TEST_F(MonitorTest, ALogAWriterLeftWithoutItsEndIsMendedAndWatchedOn) {
    monitor.StartMonitoring();
    for (DWORD i = 1; i <= 3; ++i) Write(i);
    monitor.WatchTick();
    consumers.reports.clear();
    // A writer killed between its record and the end-of-file record that follows it.
    const std::string path = platform::EventLogFilePath("Application");
    std::string bytes = ReadFileBytes(path);
    platform::evt::Header header;
    ASSERT_TRUE(platform::evt::ParseHeader(bytes.substr(0, platform::evt::kHeaderSize), header));
    platform::evt::Record cut;
    cut.number = header.currentNumber;
    cut.eventId = 4;
    cut.source = u"App";
    cut.strings = {u"last words"};
    const std::string record = platform::evt::EncodeRecord(cut);
    bytes.resize(std::max<size_t>(bytes.size(), header.endOffset + record.size()));
    bytes.replace(header.endOffset, record.size(), record);
    header.flags |= platform::evt::kFlagDirty;
    bytes.replace(0, platform::evt::kHeaderSize, platform::evt::EncodeHeader(header));
    WriteFileBytes(path, bytes);

    monitor.WatchTick();
    EXPECT_TRUE(
        Logged("2 Applicationイベントログは書き込みの途中で終わっていたため修復しました"
               "(レコード4件)。"));
    EXPECT_EQ(ReportedRecords(), std::vector<std::uint32_t>{4});  // written whole, so kept
    Write(5);
    monitor.WatchTick();
    EXPECT_EQ(ReportedRecords(), (std::vector<std::uint32_t>{4, 5}));
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

namespace {

// A log of the machine that is a copy of another machine's .evtx log, watched by the entry.
class EvtxCopyTest : public MonitorTest {
protected:
    // Registers it; the path the copy goes to.
    std::string ForwardedCopy() {
        const std::string path = machine.Root() + "Forwarded.evtx";
        EXPECT_TRUE(platform::AppendMachineRegistry(
            platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\Forwarded") +
            platform::RegStringLine("File", path)));
        watches[0]->LogName = "Forwarded";
        return path;
    }
};

}  // namespace

TEST_F(EvtxCopyTest, AnEvtxLogGrowsAndItsGapIsPassedWithoutErrors) {
    // A copy of another machine's log, refreshed while the program watches it.
    const std::string path = ForwardedCopy();
    const std::string whole =
        ReadFileBytes(std::string(QUORVIK_TEST_DATA) + "/evtx/sample_with_a_bad_chunk_magic.evtx");
    const size_t chunk = 0x10000, header = 0x1000;
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
    // The damage is said once, whatever the checks that read the file again.
    const auto said = [&] {
        return std::count(
            sink.lines.begin(), sink.lines.end(),
            "2 Forwardedイベントログのファイル: chunk 6: chunk without its signature");
    };
    EXPECT_EQ(said(), 1);
    WriteFileBytes(path, whole);
    monitor.WatchTick();
    EXPECT_EQ(ReportedRecords(), reported);
    EXPECT_EQ(said(), 1);
}

TEST_F(EvtxCopyTest, AnEvtxCopyRefreshedSlowlyOrPutBackOlderReportsOnlyItsNewRecords) {
    const std::string path = ForwardedCopy();
    const std::string whole =
        ReadFileBytes(std::string(QUORVIK_TEST_DATA) + "/evtx/sample_with_a_bad_chunk_magic.evtx");
    const size_t chunk = 0x10000, header = 0x1000;
    // An older copy of the same log: its first three chunks, its header saying so.
    std::string older = whole.substr(0, header + 3 * chunk);
    older[16] = 2;  // the last chunk's index
    for (int i = 17; i < 24; ++i) older[i] = 0;
    older[42] = 3;  // chunks
    older[43] = 0;
    const std::uint32_t crc = platform::evtx::Crc32(std::string_view(older).substr(0, 120));
    for (int i = 0; i < 4; ++i) older[124 + i] = static_cast<char>(crc >> (8 * i));
    WriteFileBytes(path, older);
    monitor.StartMonitoring();
    monitor.WatchTick();
    // The newer copy on its way, written over the old one: emptied first, as cp does, then
    // not yet its header, then half of it.
    for (const size_t there : {size_t{0}, size_t{1000}, header + 2 * chunk + chunk / 2}) {
        WriteFileBytes(path, whole.substr(0, there));
        monitor.WatchTick();
    }
    EXPECT_TRUE(consumers.reports.empty());
    WriteFileBytes(path, whole);
    monitor.WatchTick();
    const std::vector<std::uint32_t> fresh = ReportedRecords();
    ASSERT_FALSE(fresh.empty());
    // The older copy put back, then the newer again: nothing is new.
    WriteFileBytes(path, older);
    monitor.WatchTick();
    WriteFileBytes(path, whole);
    monitor.WatchTick();
    EXPECT_EQ(ReportedRecords(), fresh);
    EXPECT_EQ(std::adjacent_find(fresh.begin(), fresh.end()), fresh.end());
    for (const std::string& line : sink.lines) {
        EXPECT_EQ(line.find("破棄"), std::string::npos) << line;
        EXPECT_EQ(line.find("クリア"), std::string::npos) << line;
        EXPECT_EQ(line.find("できませんでした"), std::string::npos) << line;
    }
}

// A problem in Security and its recovery in Application, written back to back: Application is
// read first, yet the problem opens and closes in the order they came, and the next one is told.
TEST_F(MonitorTest, AProblemAndItsRecoveryInOneCheckAcrossTwoLogsCloseInTheirOrder) {
    const FixedClock nine(2026, 12, 7, 9);
    for (const char* key : {"\\Security\\Disk", "\\Application\\DiskMon"}) {
        ASSERT_TRUE(platform::AppendMachineRegistry(
            platform::RegKeyLine(std::string(platform::kEventLogKey) + key) +
            platform::RegExpandStringLine("EventMessageFile",
                                          std::string(platform::kEventCreateMessageFile))));
    }
    WatchEntry& disk = *watches[0];
    disk.LogName = "Security";
    disk.SourceName = "Disk";
    disk.EventID = 700;
    disk.Rule.Kind = WatchRule::kRecovery;
    disk.Rule.LogName = "Application";
    disk.Rule.SourceName = "DiskMon";
    disk.Rule.EventID = 701;
    monitor.StartMonitoring();
    Write(700, "full", "Disk");
    Write(701, "ok", "DiskMon");
    monitor.WatchTick();
    ASSERT_EQ(consumers.reports.size(), 2u);
    EXPECT_EQ(consumers.reports[0].kind, ReportKind::Opened);
    EXPECT_EQ(consumers.reports[0].log, "Security");
    EXPECT_EQ(consumers.reports[1].kind, ReportKind::Recovery);
    EXPECT_EQ(monitor.Rules().OpenProblems(), 0u);
    platform::AdvanceClock(60000);
    Write(700, "full again", "Disk");
    monitor.WatchTick();
    ASSERT_EQ(consumers.reports.size(), 3u);
    EXPECT_EQ(consumers.reports[2].kind, ReportKind::Opened);
    EXPECT_FALSE(consumers.reports[2].held);
}

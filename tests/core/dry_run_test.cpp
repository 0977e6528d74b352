#include "core/dry_run.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "eventlog/catalog.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry_files.h"
#include "support/log_records.h"
#include "support/machine_folder.h"

namespace {

void Register(const std::string& log, const std::string& source) {
    platform::AppendMachineRegistry(
        platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\" + log + "\\" + source) +
        platform::RegExpandStringLine("EventMessageFile",
                                      std::string(platform::kEventCreateMessageFile)));
}

void Write(const char* source, platform::DWORD id, const std::string& text) {
    platform::EventToWrite e;
    e.eventId = id;
    e.strings = {text};
    ASSERT_TRUE(platform::ReportEvent(source, e));
}

}  // namespace

TEST(DryRun, TheNewestRecordsOfOneLogOrOfEvery) {
    MachineFolder machine;
    Register("Application", "App");
    Register("System", "Sys");
    for (platform::DWORD i = 1; i <= 5; ++i) Write("App", i % 2, "app " + std::to_string(i));
    Write("Sys", 1, "sys");
    WatchEntry entry;
    entry.EventNum = 1;
    entry.LogName = AnyValueText();
    entry.SourceName = entry.Category = AnyValueText();
    entry.EventID = 1;
    entry.Note = "check the disk";

    DryRunResult result = DryRunEntry(entry, 3);
    ASSERT_EQ(result.matches.size(), 3u);
    std::vector<std::string> seen;
    for (const DryRunMatch& m : result.matches) {
        seen.push_back(m.logName + " " + std::to_string(m.record.RecordNumber));
    }
    EXPECT_NE(std::find(seen.begin(), seen.end(), "Application 3"), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), "Application 5"), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), "System 1"), seen.end());
    EXPECT_TRUE(result.unreadLogs.empty());
    // The report text is the one a report would carry, note included.
    const DryRunMatch& app =
        result.matches[0].logName == "Application" ? result.matches[0] : result.matches[1];
    EXPECT_EQ(app.reportText, MakeReportText("Application", app.record, "check the disk"));

    entry.LogName = "System";
    result = DryRunEntry(entry);
    ASSERT_EQ(result.matches.size(), 1u);
    EXPECT_EQ(result.checked, 1u);

    entry.LogName = "NoSuchLog";
    result = DryRunEntry(entry);
    EXPECT_TRUE(result.matches.empty());
    EXPECT_EQ(result.unreadLogs, std::vector<std::string>{"NoSuchLog"});
}

TEST(DryRun, ARuleIsPlayedOverTheRecordsInTheOrderOfTheirTimes) {
    const FixedClock nine(2026, 12, 7, 9);
    MachineFolder machine;
    Register("System", "Disk");
    Register("Application", "App");
    Write("Disk", 1, "disk failing");
    platform::AdvanceClock(10 * 60000);
    Write("Disk", 1, "disk failing again");
    platform::AdvanceClock(10 * 60000);
    Write("App", 2, "disk replaced");  // in another log: read because the recovery names it
    platform::AdvanceClock(60 * 60000);
    WatchEntry entry;
    entry.EventNum = 1;
    entry.LogName = "System";
    entry.SourceName = "Disk";
    entry.Category = AnyValueText();
    entry.EventID = 1;
    entry.Rule.Kind = WatchRule::kRecovery;
    entry.Rule.LogName = "Application";
    entry.Rule.SourceName = AnyValueText();
    entry.Rule.EventID = 2;
    auto kinds = [](const DryRunResult& result) {
        std::vector<ReportKind> kinds;
        for (const DryRunMatch& m : result.matches) kinds.push_back(m.kind);
        return kinds;
    };
    DryRunResult result = DryRunEntry(entry);
    EXPECT_EQ(kinds(result), (std::vector<ReportKind>{ReportKind::Opened, ReportKind::Repeated,
                                                      ReportKind::Recovery}));
    EXPECT_EQ(result.logs, 2u);
    EXPECT_EQ(result.openProblems, 0u);
    EXPECT_NE(result.matches[2].reportText.find(sjis(u8"継続時間：0時間20分")), std::string::npos);

    // Expected every 30 minutes: the two events are as expected; nothing came after 09:10.
    entry.Rule = WatchRule();
    entry.Rule.Kind = WatchRule::kAbsence;
    entry.Rule.Every = 30;
    result = DryRunEntry(entry);
    EXPECT_EQ(kinds(result), (std::vector<ReportKind>{ReportKind::Expected, ReportKind::Expected,
                                                      ReportKind::Absence}));
    EXPECT_EQ(result.logs, 1u);
    EXPECT_NE(result.matches[2].reportText.find(sjis(u8"期間：2026/12/07 09:10:00 ～ 2026/12/07 "
                                                     u8"09:40:00")),
              std::string::npos);
    EXPECT_EQ(result.openProblems, 1u);
}

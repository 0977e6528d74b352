// The journal importer over journal files that systemd-journal-remote (a real writer of the
// format) made from the journal export format, and over the machine's own journal where one runs.
#include "ingest/journal_importer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>

#include "config/settings.h"
#include "core/monitor.h"
#include "core/program_log.h"
#include "ingest/syslog_message.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/eventlog_writer.h"
#include "support/log_records.h"
#include "support/machine_folder.h"

namespace {

// One entry in the journal export format.
std::string Entry(std::int64_t second, const std::map<std::string, std::string>& fields) {
    std::string text = "__REALTIME_TIMESTAMP=" + std::to_string(second * 1000000) +
                       "\n__MONOTONIC_TIMESTAMP=" + std::to_string(second) +
                       "\n_BOOT_ID=0123456789abcdef0123456789abcdef\n";
    for (const auto& [name, value] : fields) text += name + "=" + value + "\n";
    return text + "\n";
}

std::string U8(const std::string& sjis) { return platform::SjisToUtf8(sjis); }

class JournalPeer : public ::testing::Test {
protected:
    JournalPeer() : log(settings, nullptr) {
        settings.Enable = false;
        SetProgramLog(&log);
        // The default machine comes with records of its own (its Application log is full).
        for (const char* name : {"System", "Application"}) {
            const std::vector<EventRecord> records = Records(name);
            before[name] = records.empty() ? 0 : records.back().RecordNumber;
        }
    }
    ~JournalPeer() override {
        importer.Stop();
        SetProgramLog(nullptr);
    }
    // A journal file of the folder, written by systemd-journal-remote from export text.
    void Journal(const std::string& name, const std::string& entries) {
        const std::string input = journals.File(name + ".export");
        std::ofstream(input) << entries;
        ASSERT_EQ(
            RunCommand("/lib/systemd/systemd-journal-remote -o '" +
                       journals.File(name + ".journal") + "' - < '" + input + "' 2>/dev/null"),
            0);
        std::remove(input.c_str());
    }
    std::vector<EventRecord> Records(const char* logName) {
        std::vector<EventRecord> records = ReadLogRecords(logName);
        // Only those the test made.
        std::erase_if(records,
                      [&](const EventRecord& r) { return r.RecordNumber <= before[logName]; });
        return records;
    }
    // The folder's entries, all of them (a copy: the days it holds).
    void Start(JournalOptions options = {}) {
        options.folder = journals.Path();
        if (options.historyHours == 0) options.all = true;
        ASSERT_TRUE(importer.Start(options));
    }

    MachineFolder machine;
    TestFolder journals;
    Settings settings;
    ProgramLog log;
    JournalImporter importer;
    std::map<std::string, std::uint32_t> before;
};

}  // namespace

TEST_F(JournalPeer, AFolderIsTakenInOnceWhateverTheRestartsAndGrowsWhileWatched) {
    Journal("first", Entry(1796601903, {{"MESSAGE", "disk sda: I/O error"},
                                        {"PRIORITY", "4"},
                                        {"_TRANSPORT", "kernel"},
                                        {"SYSLOG_IDENTIFIER", "kernel"},
                                        {"_HOSTNAME", "web01"}}) +
                         Entry(1796601904, {{"MESSAGE", "バックアップに失敗しました"},
                                            {"PRIORITY", "3"},
                                            {"SYSLOG_IDENTIFIER", "backup"},
                                            {"SYSLOG_FACILITY", "3"},
                                            {"_SYSTEMD_UNIT", "backup.service"},
                                            {"_UID", "0"},
                                            {"_TRANSPORT", "journal"},
                                            {"_HOSTNAME", "web01"}}) +
                         Entry(1796601905, {{"MESSAGE", "tab opened"},
                                            {"PRIORITY", "6"},
                                            {"_SYSTEMD_UNIT", "user@1000.service"},
                                            {"_SYSTEMD_USER_UNIT", "browser.service"},
                                            {"_COMM", "browser"},
                                            {"_HOSTNAME", "desk"}}));
    Start();
    ASSERT_TRUE(importer.WaitForWritten(3, 10000));
    std::vector<EventRecord> system = Records("System");
    ASSERT_EQ(system.size(), 2u);
    EXPECT_EQ(system[0].SourceName, "kernel");
    EXPECT_EQ(system[0].EventType, 2);
    EXPECT_EQ(U8(system[0].Description), "disk sda: I/O error");
    EXPECT_EQ(system[0].ComputerName, "web01");
    EXPECT_EQ(platform::UnixSecondsOfLocal(system[0].TimeGenerated), 1796601903);
    const EventRecord& backup = system[1];
    EXPECT_EQ(backup.SourceName, "backup");
    EXPECT_EQ(backup.EventType, 1);
    EXPECT_EQ(backup.EventID, SyslogEventId("", "backup"));
    EXPECT_EQ(U8(backup.Description), "バックアップに失敗しました");
    EXPECT_EQ(backup.User, "SYSTEM");
    EXPECT_EQ(backup.Category, "daemon");
    EXPECT_EQ(system[0].Category, "kern");
    std::vector<EventRecord> application = Records("Application");
    ASSERT_EQ(application.size(), 1u);
    EXPECT_EQ(application[0].SourceName, "user@1000.service");
    EXPECT_EQ(application[0].EventType, 4);
    EXPECT_EQ(application[0].ComputerName, "desk");

    // Grows while watched: a new file in the folder.
    Journal("second", Entry(1796601906, {{"MESSAGE", "later"},
                                         {"SYSLOG_IDENTIFIER", "backup"},
                                         {"_SYSTEMD_UNIT", "backup.service"}}));
    ASSERT_TRUE(importer.WaitForWritten(4, 10000));
    EXPECT_EQ(Records("System").size(), 3u);

    // A restart goes on from its place; one that lost its place (killed before saving it)
    // finds the records by their cursors and takes nothing twice.
    importer.Stop();
    Journal("third", Entry(1796601907, {{"MESSAGE", "after"},
                                        {"SYSLOG_IDENTIFIER", "backup"},
                                        {"_SYSTEMD_UNIT", "backup.service"}}));
    Start();
    ASSERT_TRUE(importer.WaitForWritten(1, 10000));
    importer.Stop();
    ASSERT_TRUE(platform::DeleteFile(JournalImporter::StatePath()));
    Start();
    for (int i = 0; i < 500 && importer.GetCounts().skipped < 5; ++i) platform::Sleep(10);
    importer.Stop();
    EXPECT_EQ(importer.GetCounts().skipped, 5u);
    EXPECT_EQ(importer.GetCounts().written, 0u);
    EXPECT_EQ(Records("System").size(), 4u);
    EXPECT_EQ(Records("Application").size(), 1u);
}

TEST_F(JournalPeer, TheMachinesOwnJournal) {
    if (!platform::FileExists("/run/systemd/journal/socket")) {
        GTEST_SKIP() << "no journald on this machine";
    }
    ASSERT_TRUE(importer.Start(JournalOptions()));
    const std::string mark = "quorvik-test-" + std::to_string(::getpid());
    ASSERT_EQ(RunCommand("logger -t " + mark + " 'from the real journal'"), 0);
    bool seen = false;
    for (int i = 0; i < 100 && !seen; ++i) {
        importer.WaitForWritten(importer.GetCounts().written + 1, 100);
        for (const EventRecord& r : Records("Application")) seen = seen || r.SourceName == mark;
    }
    EXPECT_TRUE(seen);
}

// The map picks log and id; a name another log holds already (syslog's sshd) is a source of
// the log it is written to as well, which renders it, Security too; systemd itself is System's.
TEST_F(JournalPeer, TheUsersMapPicksTheLogAndTheEventIdAndEachLogHasItsSources) {
    machine.AddRegFile("50-journal-map.reg",
                       "Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvik\\Journal\\Log]\r\n"
                       "\"backup\"=\"Backups\"\r\n"
                       "\"sshd\"=\"Security\"\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvik\\Journal\\EventID]\r\n"
                       "\"backup\"=dword:000002e6\r\n");
    ASSERT_TRUE(platform::RegisterEventSource("Syslog", "sshd"));
    Journal("mapped", Entry(1796601903, {{"MESSAGE", "done"},
                                         {"PRIORITY", "5"},
                                         {"SYSLOG_IDENTIFIER", "backup"},
                                         {"_SYSTEMD_UNIT", "backup.service"}}) +
                          Entry(1796601904, {{"MESSAGE", "other"},
                                             {"SYSLOG_IDENTIFIER", "cron"},
                                             {"_SYSTEMD_UNIT", "cron.service"}}) +
                          Entry(1796601905, {{"MESSAGE", "Failed password for root"},
                                             {"SYSLOG_IDENTIFIER", "sshd"},
                                             {"_SYSTEMD_UNIT", "ssh.service"}}) +
                          Entry(1796601906, {{"MESSAGE", "Failed to start nginx.service."},
                                             {"SYSLOG_IDENTIFIER", "systemd"},
                                             {"_PID", "1"}}));
    Start();
    ASSERT_TRUE(importer.WaitForWritten(4, 10000));
    const std::vector<EventRecord> backups = Records("Backups");
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backups[0].SourceName, "backup");
    EXPECT_EQ(backups[0].EventID, 742u);
    EXPECT_EQ(U8(backups[0].Description), "done");
    const std::vector<EventRecord> security = ReadLogRecords("Security");
    ASSERT_FALSE(security.empty());
    EXPECT_EQ(security.back().SourceName, "sshd");
    EXPECT_EQ(U8(security.back().Description), "Failed password for root");
    const std::vector<EventRecord> system = Records("System");
    ASSERT_EQ(system.size(), 2u);
    EXPECT_EQ(system[0].EventID, SyslogEventId("", "cron"));
    EXPECT_EQ(system[1].SourceName, "systemd");
    EXPECT_EQ(U8(system[1].Description), "Failed to start nginx.service.");
}

TEST_F(JournalPeer, TheFirstImportTakesTheHoursAskedForAndAFailedWriteIsTriedAgainNotPassed) {
    struct Lines : LogSink {
        void AddLogLine(int, const platform::SystemTime&, const std::string& text) override {
            std::lock_guard lock(mutex);
            lines.push_back(U8(text));
        }
        bool Has(const std::string& start) {
            std::lock_guard lock(mutex);
            return std::any_of(lines.begin(), lines.end(),
                               [&](const std::string& l) { return l.rfind(start, 0) == 0; });
        }
        std::mutex mutex;
        std::vector<std::string> lines;
    } sink;
    ProgramLog heard(settings, &sink);
    SetProgramLog(&heard);
    const FixedClock clock(2026, 12, 7, 12);
    const std::int64_t now = platform::NowUnixMilliseconds() / 1000;
    // The log the map names for backup cannot be written yet: a folder stands where it goes.
    machine.AddRegFile("50-journal-map.reg",
                       "Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvik\\Journal\\Log]\r\n"
                       "\"backup\"=\"Blocked\"\r\n");
    const std::string blocked = machine.Root() + "Windows/system32/config/Blocked.evt";
    ASSERT_TRUE(platform::ForceDirectories(blocked));
    auto cron = [](const char* text) {
        return std::map<std::string, std::string>{
            {"MESSAGE", text}, {"SYSLOG_IDENTIFIER", "cron"}, {"_SYSTEMD_UNIT", "cron.service"}};
    };
    Journal("history", Entry(now - 3 * 3600, cron("old")) + Entry(now - 1800, cron("recent")) +
                           Entry(now - 1700, {{"MESSAGE", "saved"},
                                              {"SYSLOG_IDENTIFIER", "backup"},
                                              {"_SYSTEMD_UNIT", "backup.service"}}));
    JournalOptions options;
    options.historyHours = 2;
    Start(options);
    ASSERT_TRUE(importer.WaitForWritten(1, 10000));
    for (int i = 0; i < 500 && !sink.Has("ジャーナルのエントリーをBlockedログに書き込めません。");
         ++i)
        platform::Sleep(10);
    EXPECT_TRUE(sink.Has("ジャーナルのエントリーをBlockedログに書き込めません。"));
    // Nothing passes the entry that waits: not in what was taken, nor anything after it.
    const std::vector<EventRecord> taken = Records("System");
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(U8(taken[0].Description), "recent");  // the hours asked for, not before

    ASSERT_TRUE(platform::RemoveDirectory(blocked));
    ASSERT_TRUE(importer.WaitForWritten(2, 10000));
    ASSERT_EQ(Records("Blocked").size(), 1u);
    EXPECT_EQ(U8(Records("Blocked")[0].Description), "saved");
    EXPECT_TRUE(sink.Has("ジャーナルのエントリーの書き込みを再開しました。"));

    // A file that comes late, with an entry older than those taken: taken too.
    Journal("late", Entry(now - 1900, cron("late")));
    ASSERT_TRUE(importer.WaitForWritten(3, 10000));
    const std::vector<EventRecord> system = Records("System");
    ASSERT_EQ(system.size(), 2u);
    EXPECT_EQ(U8(system[1].Description), "late");
    importer.Stop();
    SetProgramLog(&log);
}

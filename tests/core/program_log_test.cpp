#include "core/program_log.h"

#include <gtest/gtest.h>

#include <vector>

#include "config/settings.h"
#include "platform/codepage.h"
#include "support/test_folder.h"

using platform::SystemTime;

namespace {

struct Row {
    int level;
    std::string time;
    std::string text;
};

class RecordingSink : public LogSink {
public:
    void AddLogLine(int level, const SystemTime& time, const std::string& text) override {
        rows.push_back({level, FormatLogTime(time), text});
    }
    std::vector<Row> rows;
};

SystemTime At(int y, int mo, int d, int h, int mi, int s) {
    SystemTime t;
    t.year = y, t.month = mo, t.day = d, t.hour = h, t.minute = mi, t.second = s;
    return t;
}

class ProgramLogTest : public ::testing::Test {
protected:
    ProgramLogTest() : log(settings, &sink) {
        settings.Enable = true;
        settings.Path = folder.File("logs/");
        settings.Alive = 7;
        platform::SetClock(At(2024, 5, 10, 9, 5, 3));
        SetProgramLog(&log);
    }
    ~ProgramLogTest() override {
        SetProgramLog(nullptr);
        platform::ReleaseClock();
    }
    std::string LogFile(const char* name) { return ReadFileBytes(settings.Path + name); }

    TestFolder folder;
    Settings settings;
    RecordingSink sink;
    ProgramLog log;
};

}  // namespace

TEST_F(ProgramLogTest, LineLayoutOfEveryLevel) {
    log.StartLogFile();
    for (int level = 0; level <= 5; ++level) LogMessage(level, "L%d %s", level, "text");
    std::string expected =
        sjis(u8"ｉ情報   2024/05/10 09:05:03 ログファイルの書き込みを開始しました。\r\n") +
        sjis(u8"\u3000成功   2024/05/10 09:05:03 L0 text\r\n") +
        sjis(u8"ｉ情報   2024/05/10 09:05:03 L1 text\r\n") +
        sjis(u8"△警告   2024/05/10 09:05:03 L2 text\r\n") +
        sjis(u8"×エラー 2024/05/10 09:05:03 L3 text\r\n") +
        sjis(u8"ＤDebug  2024/05/10 09:05:03 L4 text\r\n") +
        "       2024/05/10 09:05:03 L5 text\r\n";
    EXPECT_EQ(LogFile("QV240510.LOG"), expected);
    ASSERT_EQ(sink.rows.size(), 7u);
    EXPECT_EQ(sink.rows[4].level, 3);
    EXPECT_EQ(sink.rows[4].time, "2024/05/10 09:05:03");
    EXPECT_EQ(sink.rows[4].text, "L3 text");
    EXPECT_EQ(LevelName(3), sjis(u8"エラー"));
    EXPECT_EQ(LevelName(7), "");
}

TEST_F(ProgramLogTest, ExistingFileIsAppendedTo) {
    ASSERT_TRUE(platform::ForceDirectories(settings.Path));
    WriteFileBytes(settings.Path + "QV240510.LOG", "earlier\r\n");
    log.StartLogFile();
    LogMessage(1, "later");
    std::string contents = LogFile("QV240510.LOG");
    EXPECT_EQ(contents.substr(0, 9), "earlier\r\n");
    EXPECT_NE(contents.find("later\r\n"), std::string::npos);
}

TEST_F(ProgramLogTest, SwitchOffShowsLinesButWritesNothing) {
    settings.Enable = false;
    log.StartLogFile();
    LogMessage(3, "%s", "shown");
    ASSERT_EQ(sink.rows.size(), 2u);
    EXPECT_EQ(sink.rows[0].level, 2);
    EXPECT_EQ(sink.rows[0].text, sjis(u8"ログファイルの書き込みは行われません。"));
    EXPECT_EQ(sink.rows[1].text, "shown");
    EXPECT_FALSE(platform::DirectoryExists(settings.Path));
}

TEST_F(ProgramLogTest, DebugLinesOnlyInDebugModeAndNeverReformatted) {
    log.StartLogFile();
    LogDebug("%s", "hidden");
    log.SetDebugMode(true);
    LogDebug("%s", "100%d done");
    ASSERT_EQ(sink.rows.size(), 2u);
    EXPECT_EQ(sink.rows[1].level, 4);
    EXPECT_EQ(sink.rows[1].text, "100%d done");
    EXPECT_NE(LogFile("QV240510.LOG").find(" 100%d done\r\n"), std::string::npos);
}

TEST_F(ProgramLogTest, NewDayNewFileFromTheFirstLineAfterMidnight) {
    platform::SetClock(At(2024, 5, 10, 23, 59, 59));
    log.StartLogFile();
    LogMessage(1, "before midnight");
    platform::AdvanceClock(2000);
    LogMessage(2, "after midnight");
    EXPECT_EQ(LogFile("QV240511.LOG"), sjis(u8"△警告   2024/05/11 00:00:01 after midnight\r\n"));
    EXPECT_EQ(LogFile("QV240510.LOG").find("after"), std::string::npos);
}

TEST_F(ProgramLogTest, PurgeKeepsTheRetentionDays) {
    ASSERT_TRUE(platform::ForceDirectories(settings.Path));
    for (const char* name :
         {"QV240502.LOG", "qv231231.log", "QV240503.LOG", "QVnotes.LOG", "QV240509.TXT"}) {
        WriteFileBytes(settings.Path + name, "old");
    }
    log.StartLogFile();
    EXPECT_FALSE(platform::FileExists(settings.Path + "QV240502.LOG"));
    EXPECT_FALSE(platform::FileExists(settings.Path + "qv231231.log"));
    EXPECT_TRUE(platform::FileExists(settings.Path + "QV240503.LOG"));
    EXPECT_TRUE(platform::FileExists(settings.Path + "QVnotes.LOG"));
    EXPECT_TRUE(platform::FileExists(settings.Path + "QV240509.TXT"));
    std::string contents = LogFile("QV240510.LOG");
    EXPECT_NE(contents.find(sjis(u8"ログファイル(QV240502.LOG)を削除しました。")),
              std::string::npos);
    EXPECT_NE(contents.find(sjis(u8"ログファイル(qv231231.log)を削除しました。")),
              std::string::npos);

    // Retention 0 keeps everything.
    settings.Alive = 0;
    WriteFileBytes(settings.Path + "QV200101.LOG", "old");
    LogMessage(1, "x");
    EXPECT_TRUE(platform::FileExists(settings.Path + "QV200101.LOG"));
}

TEST_F(ProgramLogTest, FailedDeletionIsReportedAndRetried) {
    ASSERT_TRUE(platform::ForceDirectories(settings.Path + "QV240101.LOG"));  // a folder
    log.StartLogFile();
    LogMessage(1, "again");
    int failures = 0;
    for (const Row& row : sink.rows) {
        if (row.text == sjis(u8"ログファイル(QV240101.LOG)の削除に失敗しました。")) {
            EXPECT_EQ(row.level, 3);
            ++failures;
        }
    }
    EXPECT_EQ(failures, 2);
}

TEST_F(ProgramLogTest, OpenAndWriteFailuresGoToTheListOnly) {
    WriteFileBytes(folder.File("blocker"), "");
    settings.Path = folder.File("blocker/sub/");  // a file stands where a folder must be
    log.StartLogFile();
    LogMessage(1, "still listed");
    ASSERT_EQ(sink.rows.size(), 2u);
    EXPECT_EQ(sink.rows[0].level, 3);
    EXPECT_EQ(sink.rows[0].text,
              sjis(u8"ログファイルのオープンに失敗しました。ログは書き込まれません。"));
    EXPECT_EQ(sink.rows[1].text, "still listed");

    settings.Path = folder.File("logs/");
    log.CloseLogFile();
    log.StartLogFile();
    sink.rows.clear();
    {
        std::uint64_t size = ReadFileBytes(log.LogFilePath()).size();
        FileSizeLimit full(size + 10);
        LogMessage(1, "this line does not fit");
    }
    ASSERT_EQ(sink.rows.size(), 2u);
    EXPECT_EQ(sink.rows[1].level, 3);
    EXPECT_EQ(sink.rows[1].text, sjis(u8"ログファイルの書き込みに失敗しました。"));
    LogMessage(1, "fits again");  // the file stays open
    EXPECT_NE(LogFile("QV240510.LOG").find("fits again"), std::string::npos);
}

TEST_F(ProgramLogTest, PurgeTakesOnlyItsOwnFilesByDateAndNeverTodays) {
    ASSERT_TRUE(platform::ForceDirectories(settings.Path));
    // The first days of 2100: two-digit years are read in the nearest century.
    platform::SetClock(At(2100, 1, 3, 8, 0, 0));
    for (const char* name : {"QV991226.LOG", "QV991227.LOG", "QV000102.LOG", "QV-notes.LOG",
                             "QV'notes.LOG", "QV99123.LOG", "QV9912260.LOG", "QV991399.LOG"}) {
        WriteFileBytes(settings.Path + name, "old");
    }
    log.StartLogFile();
    EXPECT_FALSE(platform::FileExists(settings.Path + "QV991226.LOG"));
    for (const char* kept : {"QV991227.LOG", "QV000102.LOG", "QV-notes.LOG", "QV'notes.LOG",
                             "QV99123.LOG", "QV9912260.LOG", "QV991399.LOG", "QV000103.LOG"}) {
        EXPECT_TRUE(platform::FileExists(settings.Path + kept)) << kept;
    }

    // Any retention, however long, keeps the open file and the lines after it.
    settings.Alive = 9999;
    LogMessage(1, "still in the file");
    settings.Alive = 1;
    LogMessage(1, "and this one");
    const std::string today = LogFile("QV000103.LOG");
    EXPECT_NE(today.find("still in the file"), std::string::npos);
    EXPECT_NE(today.find("and this one"), std::string::npos);
    EXPECT_FALSE(platform::FileExists(settings.Path + "QV991227.LOG"));
}

TEST_F(ProgramLogTest, TheNewDaysFileListsItsLinesInTheListsOrder) {
    ASSERT_TRUE(platform::ForceDirectories(settings.Path));
    platform::SetClock(At(2024, 5, 10, 23, 59, 59));
    log.StartLogFile();
    WriteFileBytes(settings.Path + "QV240503.LOG", "old");  // falls out at the day change
    platform::AdvanceClock(2000);
    sink.rows.clear();
    LogMessage(2, "after midnight");
    ASSERT_EQ(sink.rows.size(), 2u);
    EXPECT_EQ(sink.rows[0].text, "after midnight");
    EXPECT_EQ(sink.rows[1].text, sjis(u8"ログファイル(QV240503.LOG)を削除しました。"));
    const std::string file = LogFile("QV240511.LOG");
    EXPECT_LT(file.find("after midnight"), file.find(sjis(u8"ログファイル(QV240503.LOG)")));
}

TEST_F(ProgramLogTest, ALinePlantedOrForgedNeverLandsElsewhere) {
    // Today's file is a link to another file of the user's, planted in a shared folder: it is
    // not followed. And a server's reply with line breaks stays one line.
    platform::ForceDirectories(settings.Path);
    WriteFileBytes(folder.File("bashrc"), "original\n");
    ASSERT_EQ(symlink(folder.File("bashrc").c_str(), (settings.Path + "QV240510.LOG").c_str()), 0);
    log.StartLogFile();
    EXPECT_EQ(ReadFileBytes(folder.File("bashrc")), "original\n");
    ASSERT_FALSE(sink.rows.empty());
    EXPECT_EQ(sink.rows[0].text,
              sjis(u8"ログファイルのオープンに失敗しました。ログは書き込まれません。"));
    LogMessage(3, "%s", "550 no\r\n[20240510 09:05:03] forged\ttab");
    EXPECT_EQ(sink.rows.back().text, "550 no [20240510 09:05:03] forged tab");
}

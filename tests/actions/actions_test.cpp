// Actions carried out by real watch ticks: events written with the eventcreate tool, services
// installed with the sc tool, programs and the archiver library run for real.
#include "actions/actions.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "actions/attachments.h"
#include "config/settings.h"
#include "core/monitor.h"
#include "core/program_log.h"
#include "eventlog/catalog.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/libraries.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry_files.h"
#include "platform/machine/services.h"
#include "platform/pump.h"
#include "support/idle_monitor.h"
#include "support/machine_folder.h"

using platform::SjisToUtf8;

namespace {

// The tick's real actions; the reports are kept for the test to read.
class ActionConsumer : public BatchConsumers {
public:
    void ProcessActions(TickBatch& batch) override {
        ::ProcessActions(batch);
        for (auto& r : batch) {
            reports.push_back(
                {r->Watch->EventNum, SjisToUtf8(r->ReportText), r->AttachFolders, r->AttachFiles});
        }
    }
    void DeliverMail(TickBatch&) override {}
    void SendNetworkMessages(TickBatch&) override {}

    struct Seen {
        int watch;
        std::string text;  // UTF-8
        std::vector<std::string> folders;
        std::vector<std::string> files;
    };
    std::vector<Seen> reports;
};

class Lines : public LogSink {
public:
    void AddLogLine(int level, const platform::SystemTime&, const std::string& text) override {
        lines.push_back(std::to_string(level) + " " + SjisToUtf8(text));
    }
    std::vector<std::string> lines;
};

std::string Tool(const std::string& name) { return std::string(QUORVIK_TOOLS_DIR) + "/" + name; }

// The action result section of a report, from its heading on.
std::string Section(const std::string& text) {
    const size_t at = text.find("\r\n\r\n動作確認：");
    return at == std::string::npos ? std::string() : text.substr(at);
}

class ActionsTest : public ::testing::Test {
protected:
    ActionsTest() : log(settings, &sink), monitor(settings, watches, timer, locks, consumer) {
        settings.SMTPServer = "127.0.0.1";
        SetProgramLog(&log);
        log.SetDebugMode(true);
        dir = machine.Root() + "work/";
        platform::ForceDirectories(dir);
        platform::AppendMachineRegistry(
            platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\Application\\App") +
            platform::RegExpandStringLine("EventMessageFile",
                                          std::string(platform::kEventCreateMessageFile)));
    }
    ~ActionsTest() override { SetProgramLog(nullptr); }

    WatchEntry& Watch(int number, std::vector<ActionEntry> actions) {
        auto e = std::make_unique<WatchEntry>();
        e->EventNum = number;
        e->LogName = "Application";
        e->SourceName = e->Category = AnyValueText();
        e->ToDoList = std::move(actions);
        watches.push_back(std::move(e));
        return *watches.back();
    }

    void Script(const std::string& name, const std::string& body) {
        WriteFileBytes(dir + name, "#!/bin/sh\n" + body + "\n");
        chmod((dir + name).c_str(), 0755);
    }

    // Writes events with the tool and runs one tick over them.
    void Tick(int events) {
        for (int i = 0; i < events; ++i) {
            ASSERT_EQ(RunCommand(Tool("eventcreate") + " --machine " + machine.Root() +
                                 " --log Application --source App --type error --id 100"
                                 " --string 'event " +
                                 std::to_string(i) + "'"),
                      0);
        }
        monitor.WatchTick();
    }

    void Sc(const std::string& arguments) {
        ASSERT_EQ(RunCommand(Tool("sc") + " --machine " + machine.Root() + " " + arguments +
                             " >/dev/null"),
                  0)
            << arguments;
    }

    platform::DWORD ServiceState(const std::string& name) {
        platform::UniqueServiceHandle manager(platform::OpenSCManager());
        platform::UniqueServiceHandle service(platform::OpenService(manager.Get(), name));
        platform::ServiceStatus status;
        if (!service || !platform::QueryServiceStatus(service.Get(), status)) return 0;
        return status.currentState;
    }

    // The system's temporary folder and the archiver library beside the program; the folder
    // for the files to attach.
    std::string WithArchiver(const TestFolder& temp) {
        setenv("TMPDIR", temp.Path().c_str(), 1);
        platform::SetExecutableDirectory(machine.Root());
        symlink(QUORVIK_UNLHA32_PATH, (machine.Root() + "libunlha32.so").c_str());
        platform::ForceDirectories(dir + "logs/");
        return dir + "logs/";
    }
    // The names an archive holds as bsdtar lists them, sorted.
    static std::vector<std::string> ArchiveNames(const std::string& archive) {
        std::string listing;
        RunCommand("LC_ALL=C.UTF-8 bsdtar -tf '" + archive + "'", &listing);
        std::vector<std::string> names;
        for (size_t at = 0, end; (end = listing.find('\n', at)) != std::string::npos;
             at = end + 1) {
            names.push_back(listing.substr(at, end - at));
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    bool Logged(const std::string& line) const {
        return std::find(sink.lines.begin(), sink.lines.end(), line) != sink.lines.end();
    }

    MachineFolder machine;
    std::string dir;
    Settings settings;
    WatchList watches;
    Lines sink;
    ProgramLog log;
    NoTimer timer;
    NoLocks locks;
    ActionConsumer consumer;
    Monitor monitor;
};

}  // namespace

TEST_F(ActionsTest, ProgramsRunPerRecordAndTheSectionIsNumbered) {
    Script("exit1.sh", "exit 1");
    Script("count.sh", "echo run >> \"$(dirname \"$0\")/count.txt\"");
    std::vector<ActionEntry> actions = {
        {kActionRunProgramAndWait, dir + "exit1.sh"},
        {kActionRunProgramAndWait, dir + "missing.sh"},
        {kActionRunProgramAndWait, dir + "count.sh"},
        {9, "ignored"},
        {kActionAttachFiles, MakeAttachParam(1, dir + "nothing/*.log")},
    };
    for (int i = 0; i < 5; ++i) actions.push_back({kActionRunProgram, "true"});
    Watch(1, actions);
    Watch(2, {});
    monitor.StartMonitoring();
    Tick(3);

    ASSERT_EQ(consumer.reports.size(), 6u);
    const std::string expected = "\r\n\r\n動作確認：\r\n 1.プログラム実行(終了を待つ): " + dir +
                                 "exit1.sh\r\n　正常(00000001)\r\n"
                                 "\r\n 2.プログラム実行(終了を待つ): " +
                                 dir +
                                 "missing.sh\r\n　以下のエラーが発生しました。\r\n"
                                 "0x00000002: 指定されたファイルが見つかりません。\r\n"
                                 "\r\n 3.プログラム実行(終了を待つ): " +
                                 dir +
                                 "count.sh\r\n　正常(00000000)\r\n"
                                 "\r\n 5.ファイル添付: " +
                                 dir +
                                 "nothing/*.log\r\n　以下のエラーが発生しました。\r\n"
                                 "0x00000003: 指定されたパスが見つかりません。\r\n"
                                 "\r\n 6.プログラム実行: true\r\n　正常\r\n"
                                 "\r\n 7.プログラム実行: true\r\n　正常\r\n"
                                 "\r\n 8.プログラム実行: true\r\n　正常\r\n"
                                 "\r\n 9.プログラム実行: true\r\n　正常\r\n"
                                 "\r\n10.プログラム実行: true\r\n　正常\r\n";
    int withActions = 0;
    for (const auto& r : consumer.reports) {
        if (r.watch == 1) {
            ++withActions;
            EXPECT_EQ(Section(r.text), expected);
            EXPECT_TRUE(r.text.ends_with(expected));
        } else {
            EXPECT_EQ(r.text.find("動作確認"), std::string::npos);
        }
        EXPECT_TRUE(r.folders.empty());
    }
    EXPECT_EQ(withActions, 3);
    // Once per report record, in report order.
    EXPECT_EQ(ReadFileBytes(dir + "count.txt"), "run\nrun\nrun\n");
    EXPECT_TRUE(Logged("4 動作処理開始"));
    EXPECT_TRUE(Logged("4 監視イベント番号: 1(動作登録件数: 10)"));
    EXPECT_TRUE(Logged("4 監視イベント番号: 2(動作登録件数: 0)"));
    EXPECT_TRUE(Logged("4 動作処理終了"));
}

TEST_F(ActionsTest, ServicesAreControlledByDisplayName) {
    Sc("create Base --display 基本サービス --command 'sleep 60'");
    Sc("create Child --display 子サービス --command 'sleep 60' --depend Base --no-stop");
    Sc("create Quitter --display すぐ終わる --command \"sh -c 'sleep 0.1; exit 3'\"");
    Sc("create Zero --display ゼロ --command true");
    Sc("create Pausable --display 一時停止可 --command 'sleep 60' --accept-pause");
    Sc("create Root2 --display 親 --command 'sleep 60'");
    Sc("create Leaf --display 子 --command 'sleep 60' --depend Root2");
    Sc("create Stubborn --display 頑固 --command \"sh -c 'trap \\\"\\\" TERM; while :; do sleep 0.05; "
       "done'\"");
    // A stop not heeded in this time becomes a kill, which the report must not call normal.
    platform::AppendMachineRegistry(platform::RegKeyLine("SYSTEM\\CurrentControlSet\\Control") +
                                    platform::RegStringLine("WaitToKillServiceTimeout", "300"));
    Sc("start Child");  // starts Base first
    Sc("start Stubborn");
    Sc("start Pausable");
    Sc("start Leaf");

    auto service = [](int kind, const char* name) {
        return ActionEntry{static_cast<std::int8_t>(kind), platform::Utf8ToSjis(name)};
    };
    Watch(
        7,
        {service(kActionStartService, "基本サービス"), service(kActionStopService, "基本サービス"),
         service(kActionStartService, "すぐ終わる"), service(kActionStartService, "ゼロ"),
         service(kActionPauseService, "一時停止可"), service(kActionContinueService, "一時停止可"),
         service(kActionStopService, "一時停止可"), service(kActionStopService, "親"),
         service(kActionStartService, "存在しない"), service(kActionStopService, "頑固")});
    monitor.StartMonitoring();
    Tick(1);

    ASSERT_EQ(consumer.reports.size(), 1u);
    EXPECT_EQ(Section(consumer.reports[0].text),
              "\r\n\r\n動作確認："
              "\r\n 1.サービス開始: 基本サービス\r\n　以下のエラーが発生しました。\r\n"
              "0x00000420: このサービスは既に実行されています。\r\n"
              "\r\n 2.サービス停止: 基本サービス\r\n　以下のエラーが発生しました。\r\n"
              "停止不可の依存サービス(子サービス)が稼働しているため停止できません。\r\n\r\n"
              "\r\n 3.サービス開始: すぐ終わる\r\n　以下のエラーが発生しました。\r\n"
              "0x00000003: 指定されたパスが見つかりません。\r\n"
              "\r\n 4.サービス開始: ゼロ\r\n　以下のエラーが発生しました。\r\n"
              "サービスの内部エラーが発生しました。\r\n"
              "\r\n 5.サービス一時停止: 一時停止可\r\n　正常\r\n"
              "\r\n 6.サービス再開: 一時停止可\r\n　正常\r\n"
              "\r\n 7.サービス停止: 一時停止可\r\n　正常\r\n"
              "\r\n 8.サービス停止: 親\r\n　正常\r\n"
              "\r\n 9.サービス開始: 存在しない\r\n　以下のエラーが発生しました。\r\n"
              "0x00000424: 指定されたサービスはインストールされていません。\r\n"
              "\r\n10.サービス停止: 頑固\r\n"
              "　停止要求に応答しなかったため、サービスのプロセスを強制終了しました。\r\n");
    // The refused stop stopped nothing; the other stop took the dependent first.
    EXPECT_EQ(ServiceState("Base"), platform::kServiceRunning);
    EXPECT_EQ(ServiceState("Child"), platform::kServiceRunning);
    EXPECT_EQ(ServiceState("Pausable"), platform::kServiceStopped);
    EXPECT_EQ(ServiceState("Leaf"), platform::kServiceStopped);
    EXPECT_EQ(ServiceState("Root2"), platform::kServiceStopped);
    EXPECT_EQ(ServiceState("Stubborn"), platform::kServiceStopped);
}

TEST_F(ActionsTest, AttachedFilesWithAndWithoutTheArchiver) {
    TestFolder temp;  // the system's temporary folder for this test
    setenv("TMPDIR", temp.Path().c_str(), 1);
    platform::SetExecutableDirectory(machine.Root());
    platform::ForceDirectories(dir + "logs");
    const char* names[] = {"a.log", "b.log", "c.log"};
    for (int i = 0; i < 3; ++i) {
        const std::string path = dir + "logs/" + names[i];
        WriteFileBytes(path, std::string(1000 + i, 'a' + i));
        const struct timespec times[2] = {{1700000000 + i * 60, 0}, {1700000000 + i * 60, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
    Watch(3, {{kActionAttachFiles, MakeAttachParam(2, dir + "logs/*.LOG")}});
    monitor.StartMonitoring();
    Tick(1);
    ASSERT_EQ(consumer.reports.size(), 1u);
    const auto& plain = consumer.reports[0];
    ASSERT_EQ(plain.folders.size(), 1u);
    const std::string folder = plain.folders[0];
    EXPECT_EQ(Section(plain.text), "\r\n\r\n動作確認：\r\n 1.ファイル添付: " + dir +
                                       "logs/*.LOG\r\n　以下のファイルが添付されました。\r\n"
                                       "　　c.log\r\n　　b.log\r\n");
    EXPECT_EQ(plain.files, (std::vector<std::string>{folder + "c.log", folder + "b.log"}));
    EXPECT_EQ(ReadFileBytes(folder + "c.log"), std::string(1002, 'c'));
    EXPECT_TRUE(RemoveTempFolder(folder));
    EXPECT_FALSE(platform::DirectoryExists(folder));

    // With the library beside the program, one archive travels instead.
    ASSERT_EQ(symlink(QUORVIK_UNLHA32_PATH, (machine.Root() + "libunlha32.so").c_str()), 0);
    consumer.reports.clear();
    Tick(1);
    ASSERT_EQ(consumer.reports.size(), 1u);
    const auto& packed = consumer.reports[0];
    ASSERT_EQ(packed.folders.size(), 1u);
    const std::string folder2 = packed.folders[0];
    std::string name = folder2.substr(0, folder2.size() - 1);
    name = name.substr(name.rfind('/') + 1);
    name = name.substr(0, name.rfind('.')) + ".LZH";
    EXPECT_EQ(Section(packed.text),
              "\r\n\r\n動作確認：\r\n 1.ファイル添付: " + dir +
                  "logs/*.LOG\r\n　以下のファイルが添付されました。\r\n　　c.log\r\n　　b.log\r\n"
                  "　上記の添付ファイルは、以下の圧縮ファイルにまとめられています。\r\n　　" +
                  name + "\r\n");
    EXPECT_EQ(packed.files, std::vector<std::string>{folder2 + name});
    std::vector<platform::FindData> left;
    ASSERT_TRUE(platform::FindFiles(folder2 + "*", left));
    ASSERT_EQ(left.size(), 1u);  // the copies went into the archive
    EXPECT_EQ(left[0].name, name);
    EXPECT_TRUE(RemoveTempFolder(folder2));
    unsetenv("TMPDIR");
}

TEST_F(ActionsTest, WhatTheReportListsIsWhatTheArchiveHolds) {
    // Names that differ only in case, one code page 932 cannot carry, and a sparse file of
    // 4 GiB that no LZH header can count: none is dropped without a word.
    TestFolder temp;
    const std::string logs = WithArchiver(temp);
    const char* names[] = {"a.txt", "A.txt", "한국어.txt", "huge.txt"};
    for (int i = 0; i < 4; ++i) {
        const std::string path = logs + platform::NativeToPath(names[i]);
        WriteFileBytes(path, std::string(10 + i, 'a'));
        const std::string native = platform::PathToNative(path);
        if (i == 3) {
            ASSERT_EQ(truncate(native.c_str(), 0x100000000LL), 0);
        }
        const struct timespec times[2] = {{1700000000 + i * 60, 0}, {1700000000 + i * 60, 0}};
        utimensat(AT_FDCWD, native.c_str(), times, 0);
    }
    Watch(3, {{kActionAttachFiles, MakeAttachParam(10, logs + "*.txt")}});
    monitor.StartMonitoring();
    Tick(1);
    ASSERT_EQ(consumer.reports.size(), 1u);
    const auto& report = consumer.reports[0];
    ASSERT_EQ(report.files.size(), 1u);
    const std::string section = Section(report.text);
    EXPECT_NE(section.find("以下のファイルは 4 GiB 以上あり、圧縮ファイル (LZH) にもメールにも入れ"
                           "られないため添付されませんでした。\r\n　　huge.txt\r\n"),
              std::string::npos)
        << section;
    EXPECT_NE(section.find("以下のファイルが添付されました。\r\n　　___.txt\r\n　　A.txt\r\n"
                           "　　a (2).txt\r\n"),
              std::string::npos)
        << section;
    EXPECT_EQ(ArchiveNames(report.files[0]),
              (std::vector<std::string>{"A.txt", "___.txt", "a (2).txt"}));
    EXPECT_TRUE(RemoveTempFolder(report.folders[0]));
    unsetenv("TMPDIR");
}

TEST_F(ActionsTest, WhatAFolderOrAParameterHoldsCannotReachFurther) {
    // A link to a file outside the folder, one inside it, names with separators and line
    // breaks, a quote that would add arguments, and a text file without "#!" found by name.
    TestFolder temp;
    const std::string logs = WithArchiver(temp);
    WriteFileBytes(dir + "secret", "the password");
    WriteFileBytes(logs + "real.log", "x");
    ASSERT_EQ(symlink((dir + "secret").c_str(), (logs + "outside.log").c_str()), 0);
    ASSERT_EQ(symlink((logs + "real.log").c_str(), (logs + "inside.log").c_str()), 0);
    WriteFileBytes(logs + "..\\..\\evil.log", "x");
    WriteFileBytes(logs + "two\r\nlines.log", "x");
    const std::string bin = dir + "bin/";
    platform::ForceDirectories(bin);
    WriteFileBytes(bin + "notascript", "touch " + dir + "ran\n");
    chmod((bin + "notascript").c_str(), 0755);
    const std::string path = getenv("PATH");
    setenv("PATH", (bin + ":" + path).c_str(), 1);
    Watch(4, {{kActionAttachFiles, MakeAttachParam(10, logs + "*.log")},
              {kActionRunProgramAndWait, "/bin/sh\" -c \"touch " + dir + "ran"},
              {kActionRunProgramAndWait, "notascript"}});
    monitor.StartMonitoring();
    Tick(1);
    setenv("PATH", path.c_str(), 1);
    ASSERT_EQ(consumer.reports.size(), 1u);
    const std::string section = Section(consumer.reports[0].text);
    EXPECT_NE(section.find("以下のファイルはフォルダの外を指すリンクのため、添付されませんでした。"
                           "\r\n　　outside.log\r\n"),
              std::string::npos)
        << section;
    EXPECT_NE(section.find("0x0000007b: "), std::string::npos) << section;  // the quote
    EXPECT_NE(section.find("0x000000c1: "), std::string::npos) << section;  // no "#!"
    EXPECT_FALSE(platform::FileExists(dir + "ran"));
    EXPECT_EQ(
        ArchiveNames(consumer.reports[0].files[0]),
        (std::vector<std::string>{".._.._evil.log", "inside.log", "real.log", "two__lines.log"}));
    EXPECT_TRUE(RemoveTempFolder(consumer.reports[0].folders[0]));
    unsetenv("TMPDIR");
}

TEST_F(ActionsTest, TheArchiverComesFromTheProgramOrTheMachineOnly) {
    // A library planted under the current folder, where an unexpanded %SystemRoot% would look.
    TestFolder here;
    platform::SetExecutableDirectory(machine.Root());
    platform::ForceDirectories(here.Path() + "%SystemRoot%/system32");
    ASSERT_EQ(symlink(QUORVIK_UNLHA32_PATH,
                      (here.Path() + "%SystemRoot%/system32/libunlha32.so").c_str()),
              0);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(here.Path().c_str()), 0);
    platform::HLIBRARY planted = platform::LoadLibrary("UNLHA32.DLL");
    ASSERT_EQ(
        symlink(QUORVIK_UNLHA32_PATH, (machine.Root() + "Windows/system32/libunlha32.so").c_str()),
        0);
    platform::HLIBRARY system = platform::LoadLibrary("UNLHA32.DLL");
    EXPECT_EQ(chdir(cwd), 0);
    EXPECT_EQ(planted, nullptr);
    EXPECT_NE(system, nullptr);
    if (system) platform::FreeLibrary(system);
}

TEST_F(ActionsTest, AFailedCompressionSaysSoAndLeavesNothing) {
    TestFolder temp;
    setenv("TMPDIR", temp.Path().c_str(), 1);
    platform::SetExecutableDirectory(QUORVIK_FAILING_UNLHA32_DIR);
    WriteFileBytes(dir + "one.txt", "1");
    Watch(4, {{kActionAttachFiles, MakeAttachParam(0, dir + "one.txt")}});
    monitor.StartMonitoring();
    Tick(1);
    ASSERT_EQ(consumer.reports.size(), 1u);
    EXPECT_EQ(Section(consumer.reports[0].text),
              "\r\n\r\n動作確認：\r\n 1.ファイル添付: " + dir +
                  "one.txt\r\n　以下のエラーが発生しました。\r\n"
                  "添付ファイルの圧縮中にエラーが発生しました。\r\n");
    EXPECT_TRUE(consumer.reports[0].folders.empty());
    std::vector<platform::FindData> left;
    EXPECT_FALSE(platform::FindFiles(temp.Path() + "QVK*", left));
    unsetenv("TMPDIR");
}

TEST_F(ActionsTest, AWaitGivenUpAtTheEndNamesTheProgramLeftRunning) {
    Script("long.sh", "echo $$ > \"$(dirname \"$0\")/pid\"; exec sleep 30");
    Watch(1, {{kActionRunProgramAndWait, dir + "long.sh"}});
    monitor.StartMonitoring();
    platform::AbandonWaits(true);  // the program is ending
    Tick(1);
    platform::AbandonWaits(false);
    std::string pid;
    ASSERT_TRUE(platform::ReadWholeFile(dir + "pid", pid));
    pid.erase(pid.find_last_not_of("\n") + 1);
    ASSERT_EQ(consumer.reports.size(), 1u);
    const std::string left = "プログラム(" + dir + "long.sh、プロセスID " + pid +
                             ")の終了を待たずに終了します。プログラムは実行中のままです。";
    EXPECT_NE(consumer.reports[0].text.find("　" + left + "\r\n"), std::string::npos)
        << consumer.reports[0].text;
    EXPECT_TRUE(Logged("2 " + left));
    EXPECT_EQ(kill(std::stoi(pid), SIGKILL), 0);  // it was still running
}

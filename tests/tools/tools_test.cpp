// The machine's command-line tools, run as a user runs them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/lists.h"
#include "config/settings.h"
#include "core/monitor.h"
#include "core/program_log.h"
#include "eventlog/catalog.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/registry.h"
#include "platform/machine/registry_files.h"
#include "support/log_records.h"
#include "support/machine_folder.h"
#include "support/mail_server.h"
#include "support/monitor_fixture.h"

namespace {

const std::string kTools = QUORVIK_TOOLS_DIR;

int Tool(const std::string& args, std::string* out = nullptr) {
    return RunCommand(args + " 2>/dev/null", out);
}

}  // namespace

TEST(Tools, TheReadmesEventsRenderAsItSays) {
    // Every eventcreate line of the README, as written, on a machine of the test's own.
    const std::string readme = ReadFileBytes(QUORVIK_TEST_DATA "/../../README.md");
    TestFolder folder;
    int lines = 0;
    for (size_t at = 0; (at = readme.find("build/eventcreate ", at)) != std::string::npos;) {
        const size_t end = readme.find('\n', at);
        const std::string line = readme.substr(at + 6, end - at - 6);
        at = end;
        ASSERT_EQ(RunCommand(kTools + "/" + line + " --machine " + folder.File("m")), 0) << line;
        ++lines;
    }
    EXPECT_EQ(lines, 3);
    std::string out;
    ASSERT_EQ(
        Tool(kTools + "/eventquery --machine " + folder.File("m") + " --log Application --json",
             &out),
        0);
    EXPECT_NE(out.find("\"description\":\"ディスクがいっぱいです\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"eventId\":3221225772,"), std::string::npos) << out;
    EXPECT_NE(out.find("ディスク C: でエラーが発生しました。"), std::string::npos) << out;
    EXPECT_EQ(out.find("なし、または取得に失敗しました。"), std::string::npos) << out;
}

TEST(Tools, EventcreateAndEventqueryRoundTrip) {
    TestFolder folder;
    const std::string machine = " --machine " + folder.File("m");
    ASSERT_EQ(Tool(kTools + "/eventcreate" + machine +
                   " --log Custom --source 'My App' --type audit-failure --id 0xC0000001"
                   " --category 7 --string 'ディスク \"満杯\"' --string two --user S-1-5-19"
                   " --computer PC9 --data 00ff"),
              0);
    ASSERT_EQ(
        Tool(kTools + "/eventcreate" + machine + " --log Custom --source 'My App' --type 4 --id 2"),
        0);
    std::string out;
    ASSERT_EQ(Tool(kTools + "/eventquery" + machine + " --log Custom --json", &out), 0);
    size_t newline = out.find('\n');
    std::string first = out.substr(0, newline);
    EXPECT_NE(first.find("{\"record\":1,\"generated\":"), std::string::npos) << first;
    EXPECT_NE(first.find("\"eventId\":3221225473,\"type\":16,\"category\":7,\"source\":\"My App\","
                         "\"computer\":\"PC9\",\"sid\":\"S-1-5-19\",\"user\":\"LOCAL SERVICE\","
                         "\"strings\":[\"ディスク \\\"満杯\\\"\",\"two\"],\"data\":\"00ff\","
                         "\"description\":\"Quorvik: "
                         "なし、または取得に失敗しました。\",\"categoryText\":\"%1\"}"),
              std::string::npos)
        << first;
    std::string second = out.substr(newline + 1);
    EXPECT_NE(second.find("\"record\":2,"), std::string::npos);
    EXPECT_NE(second.find("\"sid\":null,\"user\":null,\"strings\":[],\"data\":\"\","),
              std::string::npos);
    // Registered with the machine's message file, a typed string comes out as the description.
    ASSERT_EQ(Tool(kTools + "/eventcreate" + machine +
                   " --log Custom --source 'My App' --type 1 --id 42"
                   " --string 'ディスクがいっぱいです'"),
              0);
    ASSERT_EQ(Tool(kTools + "/eventquery" + machine + " --log Custom --from 3 --json", &out), 0);
    EXPECT_NE(out.find("\"description\":\"ディスクがいっぱいです\",\"categoryText\":\"なし\"}"),
              std::string::npos)
        << out;
    ASSERT_EQ(Tool(kTools + "/eventquery" + machine + " --list-sources Custom", &out), 0);
    EXPECT_EQ(out, "My App\n");
    ASSERT_EQ(Tool(kTools + "/eventquery" + machine +
                       " --list-event-ids Application QuorvikSample --mask 2",
                   &out),
              0);
    EXPECT_EQ(out, " 1000\n  200\n");

    ASSERT_EQ(Tool(kTools + "/eventquery" + machine + " --log Custom --from 2 --json", &out), 0);
    EXPECT_EQ(out.find("\"record\":1,"), std::string::npos);
    EXPECT_NE(out.find("\"record\":2,"), std::string::npos);

    ASSERT_EQ(Tool(kTools + "/eventcreate" + machine + " --log Custom --clear"), 0);
    ASSERT_EQ(Tool(kTools + "/eventquery" + machine + " --log Custom --json", &out), 0);
    EXPECT_EQ(out, "");
}

TEST(Tools, BadArgumentsAndFailures) {
    TestFolder folder;
    const std::string machine = " --machine " + folder.File("m");
    EXPECT_EQ(
        Tool(kTools + "/eventcreate" + machine + " --log L --source S --type nonsense --id 1"), 2);
    EXPECT_EQ(Tool(kTools + "/eventcreate" + machine +
                   " --log L --source S --type error --id 4294967296"),
              2);
    EXPECT_EQ(Tool(kTools + "/eventcreate" + machine +
                   " --log L --source S --type error --id 1 --user X"),
              2);
    EXPECT_EQ(Tool(kTools + "/eventcreate" + machine + " --log L --clear --max-size 4096"), 2);
    EXPECT_EQ(Tool(kTools + "/eventcreate --bogus"), 2);
    EXPECT_EQ(Tool(kTools + "/eventquery" + machine), 2);
    EXPECT_EQ(Tool(kTools + "/eventquery --file " + folder.File("missing.evt")), 1);
    // A source already registered in another log.
    ASSERT_EQ(
        Tool(kTools + "/eventcreate" + machine + " --log A --source Shared --type error --id 1"),
        0);
    EXPECT_EQ(
        Tool(kTools + "/eventcreate" + machine + " --log B --source Shared --type error --id 1"),
        1);
    // --next-record only on an empty log.
    EXPECT_EQ(Tool(kTools + "/eventcreate" + machine + " --log A --next-record 7"), 1);
}

namespace {

// A watch list in the program's folder (the test folder).
void SaveWatches(std::vector<WatchEntry> entries) {
    WatchList list;
    for (WatchEntry& e : entries) list.push_back(std::make_unique<WatchEntry>(std::move(e)));
    WriteFileBytes(WatchListPath(), "");
    ASSERT_TRUE(SaveWatchList(list));
}

WatchEntry Watch(int number, const std::string& log, const std::string& source, std::int16_t type) {
    WatchEntry e;
    e.EventNum = number;
    e.LogName = log;
    e.SourceName = source;
    e.Type = type;
    e.Category = AnyValueText();
    e.AddrList = {"ops@example.jp", "PC01"};
    return e;
}

}  // namespace

TEST(Tools, WatchtestOnTheDefaultMachine) {
    TestFolder folder;
    const std::string machine = " --machine " + folder.File("m");
    const std::string where = machine + " --folder " + folder.Path();
    ASSERT_EQ(Tool(kTools + "/eventcreate" + machine +
                   " --log Application --source QuorvikSample"
                   " --type warning --id 0x800000C8 --category 1 --string D: --string 50"),
              0);
    ASSERT_EQ(Tool(kTools + "/eventcreate" + machine +
                   " --log Application --source Other --type error --id 7"
                   " --string boom"),
              0);
    std::string out;
    EXPECT_EQ(Tool(kTools + "/watchtest" + where + " --log Application", &out),
              1);  // no WATCH.DAT yet
    WatchEntry sample = Watch(1, "Application", "QuorvikSample", 2);
    sample.Condition = sjis(u8"空き容量");
    sample.Note = sjis(u8"交換する");
    SaveWatches({sample, Watch(2, AnyValueText(), AnyValueText(), 1)});

    ASSERT_EQ(Tool(kTools + "/watchtest" + where + " --log Application --json --explain", &out), 0);
    // The date, time and computer vary; the rest of the line is fixed.
    const std::string first = out.substr(0, out.find('\n'));
    EXPECT_EQ(first.rfind("{\"log\":\"Application\",\"record\":1,\"watch\":1,"
                          "\"recipients\":[\"ops@example.jp\","
                          "\"PC01\"],\"reportText\":\"種別：Application\\r\\n日付：",
                          0),
              0u)
        << first;
    EXPECT_NE(first.find("\\r\\nユーザー：N/A\\r\\nコンピュータ："), std::string::npos) << first;
    EXPECT_NE(
        first.find(
            "\\r\\nイベントID：200\\r\\nソース：QuorvikSample\\r\\n種類：警告\\r\\n分類：ディスク"
            "\\r\\n\\r\\n説明：\\r\\nディスク D: の空き容量が少なくなっています (残り 50 "
            "MB)。\\r\\n\\r\\n"
            "注記：\\r\\n交換する\",\"kind\":\"match\"}"),
        std::string::npos)
        << first;
    EXPECT_NE(out.find("{\"log\":\"Application\",\"record\":1,\"watch\":2,\"failed\":\"type\"}"),
              std::string::npos);
    EXPECT_NE(out.find("\"record\":2,\"watch\":2,\"recipients\""), std::string::npos);
    EXPECT_NE(out.find("{\"log\":\"Application\",\"record\":2,\"watch\":1,\"failed\":\"source\"}"),
              std::string::npos);

    ASSERT_EQ(Tool(kTools + "/watchtest" + where + " --log Application --from 2 --json", &out), 0);
    EXPECT_EQ(out.find("\"record\":1"), std::string::npos);
    EXPECT_NE(out.find("\"record\":2"), std::string::npos);
    EXPECT_EQ(Tool(kTools + "/watchtest" + where), 2);

    // A recovery rule is played over the records: the second ends the problem the first opened.
    sample.Rule.Kind = WatchRule::kRecovery;
    sample.Rule.LogName = "Application";
    sample.Rule.SourceName = "Other";
    sample.Rule.EventID = 7;
    SaveWatches({sample, Watch(2, AnyValueText(), AnyValueText(), 1)});
    ASSERT_EQ(Tool(kTools + "/watchtest" + where + " --log Application", &out), 0);
    const size_t opened =
        out.find("== record 1: opened of watch 1 (recipients: ops@example.jp PC01)");
    const size_t match = out.find("== record 2: match of watch 2");
    const size_t recovery = out.find("== record 2: recovery of watch 1");
    EXPECT_LT(opened, match) << out;
    EXPECT_LT(match, recovery) << out;
    EXPECT_NE(recovery, std::string::npos) << out;
}

TEST(Tools, WatchtestJudgesTheRulesOfTheLogItReadsAndNoLogTheMachineLacks) {
    MachineFolder machine;
    const std::string where =
        " --machine " + machine.Root() + " --folder " + machine.Root() + "../";
    // A heartbeat of System, and an hour of records in both logs: only System's play may miss it.
    WatchEntry heartbeat = Watch(3, "System", AnyValueText(), 0);
    heartbeat.Rule.Kind = WatchRule::kAbsence;
    heartbeat.Rule.Every = 1;
    SaveWatches({heartbeat});
    ASSERT_TRUE(platform::RegisterEventSource("System", "Disk"));
    platform::EventToWrite old;
    old.eventId = 9;
    // Written an hour ago: they arrived then, whatever time they carry.
    platform::SetClock(platform::LocalTimeOf(std::time(nullptr) - 3600));
    ASSERT_TRUE(platform::ReportEvent("Other", old));
    ASSERT_TRUE(platform::ReportEvent("Disk", old));
    platform::ReleaseClock();
    std::string out;
    ASSERT_EQ(Tool(kTools + "/watchtest" + where + " --log application", &out), 0);
    EXPECT_EQ(out.find("watch 3"), std::string::npos) << out;
    ASSERT_EQ(Tool(kTools + "/watchtest" + where + " --log System", &out), 0);
    EXPECT_NE(out.find("== watch 3: its event did not come"), std::string::npos) << out;
    // A log the machine lacks is said to be missing, not read as Application.
    EXPECT_EQ(Tool(kTools + "/watchtest" + where + " --log NoSuchLog"), 1);
    EXPECT_EQ(Tool(kTools + "/eventquery --machine " + machine.Root() + " --log NoSuchLog", &out),
              1);
    EXPECT_EQ(out, "");
}

// The same records played by watchtest and by the program's monitor: the same reports, of the
// same kinds, in the same order (a problem in one log, its recovery in another read earlier).
TEST(Tools, WatchtestPlaysTheRulesAsTheProgramDoes) {
    MachineFolder machine;
    const std::string where =
        " --machine " + machine.Root() + " --folder " + machine.Root() + "../";
    ASSERT_TRUE(platform::RegisterEventSource("Security", "Disk"));
    ASSERT_TRUE(platform::RegisterEventSource("Application", "DiskMon"));
    WatchEntry disk = Watch(1, "Security", "Disk", 0);
    disk.EventID = 700;
    disk.Rule.Kind = WatchRule::kRecovery;
    disk.Rule.LogName = "Application";
    disk.Rule.SourceName = "DiskMon";
    disk.Rule.EventID = 701;
    SaveWatches({disk, Watch(2, "Application", AnyValueText(), 0)});
    WatchList watches;
    ASSERT_TRUE(LoadWatchList(watches));
    Settings settings;
    settings.Enable = false;
    ProgramLog log(settings, nullptr);
    SetProgramLog(&log);
    FakeTimer timer;
    FakeLocks locks;
    Consumers consumers;
    std::vector<std::string> program, tool;
    {
        const FixedClock nine(2026, 12, 7, 9);
        Monitor monitor(settings, watches, timer, locks, consumers);
        monitor.StartMonitoring();
        for (const auto& [source, id] : {std::pair{"Disk", 700}, {"DiskMon", 701}, {"Disk", 700}}) {
            platform::EventToWrite e;
            e.eventId = static_cast<platform::DWORD>(id);
            ASSERT_TRUE(platform::ReportEvent(source, e));
            platform::AdvanceClock(30000);
        }
        monitor.WatchTick();
        monitor.StopMonitoring();
    }
    SetProgramLog(nullptr);
    for (const auto& r : consumers.reports) {
        // watchtest --log Security shows the other logs' records only for the rules.
        if (r.log != "Security" && r.watch != 1) continue;
        program.push_back(r.log + " " + std::to_string(r.record) + " " + std::to_string(r.watch) +
                          " " + ReportKindName(r.kind));
    }
    std::string out;
    ASSERT_EQ(Tool(kTools + "/watchtest" + where + " --log Security --json", &out), 0);
    auto field = [](const std::string& line, const std::string& name) {
        const size_t at = line.find("\"" + name + "\":") + name.size() + 3;
        const size_t end = line.find_first_of(",}", at);
        std::string value = line.substr(at, end - at);
        std::erase(value, '"');
        return value;
    };
    for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = out.substr(at, end - at);
        // The program drops what a rule only waited for.
        if (field(line, "kind") == "expected") continue;
        tool.push_back(field(line, "log") + " " + field(line, "record") + " " +
                       field(line, "watch") + " " + field(line, "kind"));
    }
    ASSERT_EQ(program.size(), 3u) << ::testing::PrintToString(program);
    EXPECT_EQ(program[0].substr(0, 9), "Security ");
    EXPECT_NE(program[1].find("recovery"), std::string::npos);
    EXPECT_NE(program[2].find("opened"), std::string::npos);
    EXPECT_EQ(tool, program) << out;
}

TEST(Tools, WatchtestOnAMachineBuiltFromRealFiles) {
    TestFolder folder;
    const std::string root = folder.File("m/");
    ASSERT_EQ(RunCommand("mkdir -p '" + root + "registry' '" + root +
                         "logs' && cp '" QUORVIK_TEST_DATA "/evt/TestLog.evt' '" + root + "logs/'"),
              0);
    WriteFileBytes(
        root + "registry/00-test.reg",
        "Windows Registry Editor Version 5.00\r\n" +
            platform::RegKeyLine("SYSTEM\\CurrentControlSet\\Services\\EventLog\\TestLog") +
            platform::RegStringLine("File", root + "logs/TestLog.evt"));
    SaveWatches({Watch(4, "testlog", "TESTAPP", 1), Watch(5, AnyValueText(), AnyValueText(), 0)});
    std::string out;
    ASSERT_EQ(Tool(kTools + "/watchtest --machine " + root + " --folder " + folder.Path() +
                       " --log TestLog --json",
                   &out),
              0);
    size_t lines = 0;
    for (char c : out) lines += c == '\n';
    EXPECT_EQ(lines, 6u);  // record 2 for both entries, the other four for the second
    EXPECT_NE(out.find("\"record\":2,\"watch\":4,"), std::string::npos);
    EXPECT_NE(out.find("説明：\\r\\nQuorvik: なし、または取得に失敗しました。"), std::string::npos);
    EXPECT_NE(out.find("コンピュータ：POPSICKL-79ADD4"), std::string::npos);
}

TEST(Tools, AnEvtxLogIsWatchedAndDescribedByItsDataButNeverWritten) {
    TestFolder folder;
    const std::string root = folder.File("m/");
    ASSERT_EQ(RunCommand("mkdir -p '" + root + "registry' '" + root +
                         "logs' && cp '" QUORVIK_TEST_DATA "/evtx/new-user-security.evtx' '" +
                         root + "logs/Security.evtx'"),
              0);
    WriteFileBytes(
        root + "registry/00-test.reg",
        "Windows Registry Editor Version 5.00\r\n" +
            platform::RegKeyLine("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Security") +
            platform::RegStringLine("File", root + "logs/Security.evtx"));
    SaveWatches({Watch(7, "Security", "Microsoft-Windows-Security-Auditing", 8)});
    std::string out;
    ASSERT_EQ(RunCommand(kTools + "/watchtest --machine " + root + " --folder " + folder.Path() +
                             " --log Security --json 2>&1",
                         &out),
              0)
        << out;
    // The four audit successes; no message file knows them, so their data speaks by name.
    size_t lines = 0;
    for (char c : out) lines += c == '\n';
    EXPECT_EQ(lines, 4u) << out;
    EXPECT_NE(out.find("\"record\":112,\"watch\":7,"), std::string::npos) << out;
    EXPECT_NE(out.find("イベントID：4720\\r\\nソース：Microsoft-Windows-Security-Auditing"),
              std::string::npos)
        << out;
    EXPECT_NE(
        out.find("説明：\\r\\nメッセージファイルがないため、イベントのデータを名前と値で示しま"
                 "す。\\r\\nTargetUserName: IEUser\\r\\n"),
        std::string::npos)
        << out;

    // A classic source the machine knows renders through its message file (here one whose
    // messages are the first string), in a file that is no log of the machine too.
    const std::string fresh = folder.File("default/");
    ASSERT_EQ(Tool(kTools + "/eventcreate --machine " + fresh +
                   " --log Application --source SecurityCenter --type information --id 15"
                   " --string x"),
              0);
    ASSERT_EQ(Tool(kTools + "/eventquery --machine " + fresh +
                       " --file " QUORVIK_TEST_DATA "/evtx/Application_no_crc32.evtx",
                   &out),
              0);
    EXPECT_NE(out.find("String 1:  Windows Defender\nString 2:  SECURITY_PRODUCT_STATE_ON\n"
                       "Description:\nWindows Defender\n"),
              std::string::npos)
        << out;

    const std::string before = ReadFileBytes(root + "logs/Security.evtx");
    ASSERT_EQ(RunCommand(kTools + "/eventcreate --machine " + root +
                             " --log Security --source X --type error --id 1 2>&1",
                         &out),
              1);
    EXPECT_NE(out.find("which the machine reads but does not write"), std::string::npos) << out;
    EXPECT_EQ(ReadFileBytes(root + "logs/Security.evtx"), before);
}

TEST(ToolsPeer, EventqueryReadsEvtxFilesAsLibevtxDoes) {
    // Every record's number, time, event id, type, source, computer, user and data values, as
    // libevtx's evtxexport gives them; the damaged file's records too.
    std::string out;
    EXPECT_EQ(RunCommand("/usr/bin/python3 " QUORVIK_TEST_SUPPORT "/compare_evtx.py " + kTools +
                             "/eventquery " QUORVIK_TEST_DATA "/evtx/*.evtx 2>&1",
                         &out),
              0)
        << out;
    EXPECT_NE(out.find("sample_with_a_bad_chunk_magic.evtx: 267 records compared"),
              std::string::npos)
        << out;
}

TEST(Tools, AProgramFolderNamedOutsideCodePage932) {
    TestFolder folder;
    for (const std::string& name : {std::string("caf\xC3\xA9"), std::string("caf\xE9")}) {
        const std::string dir = folder.Path() + name + "/";
        std::filesystem::create_directories(dir);
        std::filesystem::copy_file(kTools + "/eventquery", dir + "eventquery");
        std::ofstream(dir + "ETC.DAT");  // a portable copy
        std::string out;
        ASSERT_EQ(Tool("'" + dir + "eventquery' --list-logs", &out), 0) << name;
        EXPECT_EQ(out, "Application\nSecurity\nSystem\n");
        // The machine beside the program, in the folder of that very name.
        EXPECT_TRUE(std::filesystem::exists(dir + "machine/registry/00-system.reg")) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(folder.Path() + "caf?"));
}

TEST(Tools, ScInstallsQueriesAndControlsServices) {
    MachineFolder machine;  // stops what the tool started
    const std::string sc = kTools + "/sc --machine " + machine.Root();
    ASSERT_EQ(Tool(sc + " create Spooler --display 'Print Spooler' --command 'sleep 60'"
                        " --accept-pause"),
              0);
    std::string out;
    ASSERT_EQ(Tool(sc + " query spooler", &out), 0);
    EXPECT_EQ(out,
              "\nSERVICE_NAME: Spooler\n"
              "DISPLAY_NAME: Print Spooler\n"
              "        TYPE               : 10  WIN32_OWN_PROCESS\n"
              "        STATE              : 1  STOPPED\n"
              "                                (NOT_STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"
              "        WIN32_EXIT_CODE    : 1077  (0x435)\n"
              "        SERVICE_EXIT_CODE  : 0  (0x0)\n"
              "        CHECKPOINT         : 0x0\n"
              "        WAIT_HINT          : 0x0\n");
    ASSERT_EQ(Tool(sc + " start Spooler", &out), 0);
    EXPECT_NE(out.find("STATE              : 2  START_PENDING"), std::string::npos) << out;
    // Another program sees the service the tool started.
    for (int i = 0; i < 100; ++i) {
        Tool(sc + " query Spooler", &out);
        if (out.find("4  RUNNING") != std::string::npos) break;
        usleep(20000);
    }
    EXPECT_NE(out.find("STATE              : 4  RUNNING\n"
                       "                                (STOPPABLE, PAUSABLE, IGNORES_SHUTDOWN)"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("PID                : "), std::string::npos);
    ASSERT_EQ(Tool(sc + " pause Spooler", &out), 0);
    ASSERT_EQ(Tool(sc + " stop Spooler", &out), 0);
    EXPECT_NE(out.find("3  STOP_PENDING"), std::string::npos) << out;

    // Failures print the call, the system's code in decimal and its text, as Windows' sc does.
    EXPECT_EQ(RunCommand(sc + " start Nobody 2>&1", &out), 1);
    EXPECT_EQ(out,
              "[SC] OpenService FAILED 1060:\n\n"
              "指定されたサービスはインストールされていません。\n\n");
    EXPECT_EQ(RunCommand(sc + " create Spooler --command true 2>&1", &out), 1);
    EXPECT_EQ(out.rfind("[SC] CreateService FAILED 1073:", 0), 0u) << out;
    EXPECT_EQ(Tool(sc + " frobnicate Spooler"), 2);
    EXPECT_EQ(Tool(sc + " create X"), 2);
}

TEST(ToolsPeer, MailtestSendsWithTheSettingsOfAFolder) {
    TestFolder folder;
    MailServer::Options options;
    options.user = "alice";
    options.password = "pw:1";
    MailServer server(folder.File("server/"), options);
    ASSERT_TRUE(server.Started());
    Settings settings;
    settings.SenderName = platform::Utf8ToSjis("監視");
    settings.MailAddr = "quorvik@example.jp";
    settings.SMTPServer = "127.0.0.1";
    settings.SMTPPort = server.Port();
    settings.TimeOut = 5;
    settings.AuthType = 2;  // CRAM-MD5, which only the library speaks
    settings.UserID = "alice";
    settings.Password = "pw:1";
    ASSERT_TRUE(SaveSettings(settings));  // into the test folder, the password enciphered
    WriteFileBytes(folder.File("body.txt"), "本文\n二行目\n");
    const std::string mailtest = kTools + "/mailtest --folder " + folder.Path() +
                                 " --to ops@example.jp --subject 件名 --body-file " +
                                 folder.File("body.txt");
    std::string out;
    EXPECT_EQ(RunCommand(mailtest + " 2>&1", &out), 0) << out;
    EXPECT_EQ(out, "成功 監視イベント番号: 0 - メールが送信されました。\n");
    ASSERT_FALSE(server.WaitForMail(1).empty());
    const std::string decoded = server.Decode(server.WaitForMail(1));
    // The composed body starts with one empty line, as every report's does.
    EXPECT_NE(decoded.find("body " + HexOf("\r\n本文\r\n二行目")), std::string::npos) << decoded;
    // The built-in client has no authentication: this server refuses its mail.
    EXPECT_EQ(RunCommand(mailtest + " --client 2>&1", &out), 1);
    EXPECT_NE(out.find("エラー 監視イベント番号: 0 - メールの送信に失敗しました。"),
              std::string::npos)
        << out;
    EXPECT_EQ(RunCommand(kTools + "/mailtest --folder " + folder.Path() + " 2>&1", &out), 2);
}

TEST(Tools, NetsendSaysWhatBecameOfTheMessage) {
    MachineFolder machine;
    const std::string netsend = kTools + "/netsend --machine " + machine.Root();
    std::string out;
    EXPECT_EQ(RunCommand(netsend + " NOSUCHNAME hello 2>&1", &out), 1);
    EXPECT_EQ(out, "2273 0x000008e1: メッセージの宛先の名前が見つかりませんでした。\n");
    EXPECT_EQ(RunCommand(netsend + " 'bad|name' hello 2>&1", &out), 1);
    EXPECT_EQ(out.substr(0, 4), "123 ");
    EXPECT_EQ(Tool(netsend + " ONLYNAME"), 2);
}

TEST(Tools, ConfigEditsTheListsKeepsThePasswordAndWritesNothingOnAFault) {
    TestFolder folder;
    if (!platform::FileExists(SettingsFilePath())) WriteFileBytes(SettingsFilePath(), "");
    const std::string config = kTools + "/config --folder " + folder.Path();
    std::string out;
    EXPECT_EQ(Tool(config + " add-address --mail ops@example.jp"), 0);
    EXPECT_EQ(Tool(config + " add-address --computer PC01 --name 'Ops desk'"), 0);
    EXPECT_EQ(RunCommand("echo '{\"subject\": \"disk\", \"recipients\": [\"ops@example.jp\", "
                         "\"PC01\"]}' | " +
                             config + " add-watch - 2>&1",
                         &out),
              0);
    EXPECT_EQ(out, "1\n");
    // As the address dialog deletes: from the watch entries too.
    EXPECT_EQ(Tool(config + " remove-address pc01"), 0);
    WatchList watches;
    LoadWatchList(watches);
    ASSERT_EQ(watches.size(), 1u);
    EXPECT_EQ(watches[0]->AddrList, std::vector<std::string>{"ops@example.jp"});

    WriteFileBytes(folder.File("pass"), "pw:1\n");
    WriteFileBytes(folder.File("smtp.json"),
                   R"({"settings": {"sender_name": "Quorvik", "mail_address": "q@example.jp",
                       "smtp_server": "127.0.0.1", "auth": "login", "user": "alice"}})");
    EXPECT_EQ(Tool(config + " import " + folder.File("smtp.json") + " --password-file " +
                   folder.File("pass")),
              0);
    Settings settings;
    LoadSettings(settings);
    EXPECT_EQ(settings.Password, "pw:1");
    EXPECT_EQ(RunCommand(config + " export", &out), 0);
    EXPECT_EQ(out.find("pw:1"), std::string::npos);

    const std::string etc = ReadFileBytes(SettingsFilePath());
    const std::string mail = ReadFileBytes(AddressListPath());
    const std::string watch = ReadFileBytes(WatchListPath());
    WriteFileBytes(folder.File("bad.json"),
                   "{\"addresses\": [],\n \"settings\": {\"interval\": 0}}");
    EXPECT_EQ(RunCommand(config + " import " + folder.File("bad.json") + " 2>&1", &out), 1);
    EXPECT_NE(out.find("bad.json:2: 監視間隔が範囲外です。"), std::string::npos) << out;
    EXPECT_EQ(ReadFileBytes(SettingsFilePath()), etc);
    EXPECT_EQ(ReadFileBytes(AddressListPath()), mail);
    EXPECT_EQ(ReadFileBytes(WatchListPath()), watch);
    EXPECT_EQ(Tool(config + " remove-watch 9"), 1);
}

TEST(Tools, EveryToolAnswersHelp) {
    for (const char* tool :
         {"eventcreate", "eventquery", "mc", "watchtest", "sc", "mailtest", "netsend", "config"}) {
        std::string out;
        EXPECT_EQ(RunCommand(kTools + "/" + tool + " --help", &out), 0) << tool;
        EXPECT_NE(out.find(std::string("usage: ") + tool), std::string::npos) << out;
    }
}

// The watch session as the program runs it, without a window: ticks on the session's thread,
// what the window hears and in which order, the lists a tick reads, and the outbox and held
// notification counts across a restart. Also run under ThreadSanitizer.
#include "session/watch_session.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "eventlog/catalog.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry_files.h"
#include "platform/pump.h"
#include "support/log_records.h"
#include "support/loopback.h"
#include "support/machine_folder.h"
#include "support/mail_server.h"
#include "support/smtp_server.h"
#include "support/watch_entries.h"

using platform::SjisToUtf8;

namespace {

// The window as the session sees it: what it was told, in order, and whether every call came on
// its own thread.
class RecordingView : public SessionView {
public:
    void RequestDispatch() override { ++requests; }
    void AddLogLine(int level, const platform::SystemTime&, const std::string& text) override {
        Record(std::to_string(level) + " " + SjisToUtf8(text));
    }
    void SetWatchInterval(unsigned milliseconds) override {
        Record("interval " + std::to_string(milliseconds));
    }
    void SetWatchEnabled(bool enabled) override { Record(enabled ? "timer on" : "timer off"); }
    void LockDialogs() override { Record("lock"); }
    void UnlockDialogs() override { Record("unlock"); }
    void SessionIdle() override { Record("idle"); }
    void SessionMayEnd(bool abandoned) override {
        Record(abandoned ? "may end, abandoned" : "may end");
    }

    // The position of a call, or -1.
    int At(const std::string& call) const {
        const auto it = std::find(calls.begin(), calls.end(), call);
        return it == calls.end() ? -1 : static_cast<int>(it - calls.begin());
    }
    bool Has(const std::string& call) const { return At(call) >= 0; }

    std::vector<std::string> calls;
    std::atomic<int> requests{0};
    bool elsewhere = false;  // a call came on another thread

private:
    void Record(std::string call) {
        elsewhere = elsewhere || std::this_thread::get_id() != m_owner;
        calls.push_back(std::move(call));
    }
    std::thread::id m_owner = std::this_thread::get_id();
};

// A server that takes one mail for every recipient.
std::vector<std::string> Accepting(int recipients = 1) {
    std::vector<std::string> replies = {"250 hello\r\n", "250 reset\r\n", "250 sender\r\n"};
    for (int i = 0; i < recipients; ++i) replies.push_back("250 recipient\r\n");
    replies.insert(replies.end(), {"354 go\r\n", "250 queued\r\n", "221 bye\r\n"});
    return replies;
}

class SessionTest : public ::testing::Test {
protected:
    SessionTest() {
        platform::AppendMachineRegistry(
            platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\Application\\App") +
            platform::RegExpandStringLine("EventMessageFile",
                                          std::string(platform::kEventCreateMessageFile)));
        Settings settings;
        settings.Interval = 1;
        settings.SenderName = "Quorvik";
        settings.MailAddr = "quorvik@example.jp";
        settings.SMTPServer = "127.0.0.1";
        settings.SMTPPort = nobody.Port();  // nobody there until a test says so
        settings.TimeOut = 1;
        SaveSettings(settings);
        WatchList watches;
        LoadWatchList(watches);
        watches.push_back(DiskEntry(1, "Application"));
        SaveWatchList(watches);
    }

    static void Options(bool resume, bool spool, bool flood, int floodLimit = 10) {
        ExtensionSettings extension;
        extension.Resume = resume;
        extension.Spool = spool;
        extension.Flood = flood;
        extension.FloodLimit = floodLimit;
        SaveExtensionSettings(extension);
    }
    static void MailTo(std::uint16_t port) {
        Settings settings;
        LoadSettings(settings);
        settings.SMTPPort = port;
        SaveSettings(settings);
    }

    std::unique_ptr<WatchSession> NewSession() {
        auto session = std::make_unique<WatchSession>();
        session->SetView(&view);
        session->Load();
        return session;
    }
    static void Write(const std::string& text) {
        platform::EventToWrite e;
        e.eventId = 100;
        e.strings = {text};
        ASSERT_TRUE(platform::ReportEvent("App", e));
    }
    std::vector<std::string> Outbox(const char* extension = "*") const {
        std::vector<platform::FindData> found;
        std::vector<std::string> names;
        platform::FindFiles(SpoolFolder() + "*." + extension, found);
        for (const auto& f : found) names.push_back(f.name);
        return names;
    }

    ReservedPort nobody;
    MachineFolder machine;
    RecordingView view;
};

}  // namespace

TEST_F(SessionTest, ATickRunsOnItsOwnThreadAndTheWindowHearsItInOrder) {
    ScriptedSmtpServer server("220 ready\r\n", Accepting());
    MailTo(server.Port());
    auto session = NewSession();
    session->Log().SetDebugMode(true);
    session->Start();
    session->WaitUntilIdle();
    EXPECT_TRUE(view.Has("interval 60000"));
    EXPECT_TRUE(view.Has("timer on"));
    view.calls.clear();
    Write("disk full");
    const int asked = view.requests;
    ASSERT_TRUE(session->Tick());
    // The window's thread is back at once; the tick tells it what happened through queued calls.
    EXPECT_TRUE(session->Busy());
    session->WaitUntilIdle();
    EXPECT_GT(view.requests, asked);
    EXPECT_FALSE(view.elsewhere);
    const int off = view.At("timer off"), start = view.At("4 イベントログのチェック開始"),
              lock = view.At("lock"),
              sent = view.At("0 監視イベント番号: 1 - メールが送信されました。"),
              unlock = view.At("unlock"), end = view.At("4 イベントログのチェック終了"),
              on = view.At("timer on"), idle = view.At("idle");
    EXPECT_EQ(off, 0);
    EXPECT_TRUE(off < start && start < lock && lock < sent && sent < unlock && unlock < end &&
                end < on && on < idle)
        << ::testing::PrintToString(view.calls);
    EXPECT_NE(server.Data().find("Subject: Quorvik Report"), std::string::npos);
}

TEST_F(SessionTest, WhatTheSessionSaysBeforeItsWindowComesReachesTheWindowWhenItDoes) {
    // The program loads the session first and makes its window after.
    WatchSession session;
    session.Load();
    session.SetView(&view);
    EXPECT_GT(view.requests, 0);
    session.Dispatch();
    ASSERT_FALSE(view.calls.empty());
    EXPECT_EQ(view.calls.front().rfind("1 ファイルの場所: プログラムのフォルダ (ポータブル) ", 0),
              0u)
        << view.calls.front();
    // And what comes later is asked for as before.
    session.Start();
    session.WaitUntilIdle();
    const int before = view.requests;
    Write("x");
    session.Tick();
    session.WaitUntilIdle();
    EXPECT_GT(view.requests, before);
    session.SetView(nullptr);
}

TEST_F(SessionTest, WhatTheWindowChangesDuringATickCountsFromTheNext) {
    // A server that says nothing: the tick waits out its time-out while the window goes on.
    ScriptedSmtpServer server("<silent>", {});
    MailTo(server.Port());
    auto session = NewSession();
    session->Start();
    session->WaitUntilIdle();
    Write("disk full");
    ASSERT_TRUE(session->Tick());
    session->Watches().clear();
    session->CurrentSettings().SenderName.clear();
    session->StopMonitoring();
    EXPECT_TRUE(session->Running());  // stopped once the tick is over
    EXPECT_FALSE(session->Tick());
    session->WaitUntilIdle();
    EXPECT_FALSE(session->Running());
    // The tick mailed the entry it started with, with the settings it started with.
    EXPECT_TRUE(view.Has("3 監視イベント番号: 1 - メールの送信に失敗しました。"));
    EXPECT_FALSE(
        view.Has("2 監視イベント番号: 1 - SMTP設定されていないので、メールは送信されま"
                 "せんでした。"));
    EXPECT_TRUE(view.Has("1 すべてのイベントログの監視を停止しました。"));
}

TEST_F(SessionTest, AProgramThatMustEndGivesUpAPeerAndKeepsItsMail) {
    // A server that says nothing, and ten minutes allowed for each reply.
    ScriptedSmtpServer server("<silent>", {});
    MailTo(server.Port());
    Settings settings;
    LoadSettings(settings);
    settings.TimeOut = 600;
    SaveSettings(settings);
    Options(false, true, false);
    auto session = NewSession();
    session->Start();
    session->Abandon();  // the outbox's first send at the start waits on the same server
    session->WaitUntilIdle();
    platform::AbandonWaits(false);
    Write("disk full");
    ASSERT_TRUE(session->Tick());
    // The end waits for the tick, which gives up its peer at once; asked again, it still waits.
    EXPECT_FALSE(session->RequestEnd());
    EXPECT_FALSE(session->RequestEnd());
    session->WaitUntilIdle();
    platform::AbandonWaits(false);
    EXPECT_EQ(std::count(view.calls.begin(), view.calls.end(), "may end"), 1);
    EXPECT_TRUE(session->RequestEnd());
    EXPECT_EQ(Outbox("eml").size(), 1u);  // kept for the next start
    EXPECT_TRUE(
        view.Has("2 監視イベント番号: 1 - メールを送信できなかったため保存しました。"
                 "次回のチェックから再送します。"));
}

TEST_F(SessionTest, ADamagedListIsToldAndKeptAsideBeforeAnySave) {
    WatchList watches;
    LoadWatchList(watches);
    watches.push_back(std::make_unique<WatchEntry>(*watches[0]));
    watches.back()->EventNum = 2;
    SaveWatchList(watches);
    const std::string whole = ReadFileBytes(WatchListPath());
    const std::string damaged = whole.substr(0, whole.size() - 5);
    WriteFileBytes(WatchListPath(), damaged);
    auto session = NewSession();
    EXPECT_EQ(session->Watches().size(), 1u);
    session->Start();
    session->WaitUntilIdle();
    const auto warning = std::find_if(view.calls.begin(), view.calls.end(), [](const auto& c) {
        return c.rfind(
                   "2 WATCH.DATが壊れているため、1件だけを読み込みました。元のファイルは"
                   "WATCH.DAT.bad-",
                   0) == 0;
    });
    ASSERT_NE(warning, view.calls.end()) << ::testing::PrintToString(view.calls);
    const std::string copy = warning->substr(warning->find("WATCH.DAT.bad-"), 28);
    session->WatchListAccepted();  // a save of what was read
    EXPECT_EQ(ReadFileBytes(platform::ExtractFilePath(WatchListPath()) + copy), damaged);
}

TEST_F(SessionTest, TheWindowAsksWhetherMonitoringRunsWhileATickAddsALog) {
    auto session = NewSession();
    session->Start();
    session->WaitUntilIdle();
    // Registered after the start: the tick adds it to the logs it watches while the window
    // accepts settings and the watch list, both of which ask whether monitoring runs.
    ASSERT_TRUE(platform::RegisterEventSource("Late", "LateApp"));
    ASSERT_TRUE(session->Tick());
    for (int i = 0; session->Busy() && i < 10000; ++i) {
        session->SettingsAccepted();
        session->WatchListAccepted();
        session->Dispatch();
    }
    session->WaitUntilIdle();
    EXPECT_TRUE(session->Running());
    EXPECT_TRUE(view.Has("1 Lateイベントログの監視を開始しました。"))
        << ::testing::PrintToString(view.calls);
}

TEST_F(SessionTest, AnAddressDeletedTakesItsEntriesAndAFailedSaveIsAskedAboutAgain) {
    auto session = NewSession();
    session->Start();
    session->WaitUntilIdle();
    ASSERT_TRUE(session->Running());
    // WATCH.DAT cannot be written: a folder stands where it goes.
    platform::DeleteFile(WatchListPath());
    ASSERT_TRUE(platform::CreateDirectory(WatchListPath()));
    int asked = 0;
    session->AddressDeleted(AddressEntry{"", "", "ops@example.jp", "", ""},
                            [&] { return ++asked < 2; });  // Retry once, then Cancel
    session->WaitUntilIdle();
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(session->Watches().empty());
    EXPECT_FALSE(session->Running());  // no entry left
    platform::RemoveDirectory(WatchListPath());
}

TEST_F(SessionTest, ListsNeverSavedAreEmptyNotDamagedStartAfterStart) {
    platform::DeleteFile(AddressListPath());
    platform::DeleteFile(WatchListPath());
    for (int start = 0; start < 2; ++start) {
        auto session = NewSession();
        session->Start();
        session->WaitUntilIdle();
        EXPECT_TRUE(session->Watches().empty() && session->Addresses().empty());
    }
    for (const std::string& call : view.calls) {
        EXPECT_EQ(call.find("壊れている"), std::string::npos) << call;
    }
    std::vector<platform::FindData> copies;
    EXPECT_FALSE(platform::FindFiles(ConfigDirectory() + "*.bad-*", copies));
}

TEST_F(SessionTest, FilesAreTheUsersAloneWhateverTheUmaskAndOpenOnesAreTold) {
    const mode_t saved = umask(0);
    platform::DeleteFile(AddressListPath());
    auto session = NewSession();  // makes MAIL.DAT anew
    umask(saved);
    unsigned mode = 0;
    ASSERT_TRUE(platform::FilePermissions(AddressListPath(), mode));
    EXPECT_EQ(mode, 0600u);
    chmod(SettingsFilePath().c_str(), 0644);
    chmod(WatchListPath().c_str(), 0666);
    session = NewSession();
    session->Start();
    session->WaitUntilIdle();
    for (const char* line : {"2 ETC.DATは他のユーザーも読み取れます(644)。",
                             "2 WATCH.DATは他のユーザーも読み書きできます(666)。"}) {
        EXPECT_TRUE(std::any_of(view.calls.begin(), view.calls.end(),
                                [&](const std::string& c) { return c.rfind(line, 0) == 0; }))
            << line << ::testing::PrintToString(view.calls);
    }
}

TEST_F(SessionTest, WithImmediateChecksAnEventIsReportedWithoutATimerTick) {
    ScriptedSmtpServer server("220 ready\r\n", Accepting());
    MailTo(server.Port());
    ExtensionSettings extension;
    extension.Immediate = true;
    SaveExtensionSettings(extension);
    auto session = NewSession();
    session->ApplyExtensions();
    session->Start();
    session->WaitUntilIdle();
    Write("disk full");  // nobody calls Tick: the log's change does
    const std::string sent = "0 監視イベント番号: 1 - メールが送信されました。";
    for (int i = 0; i < 2000 && !view.Has(sent); ++i) {
        session->Dispatch();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    session->WaitUntilIdle();
    EXPECT_TRUE(view.Has(sent)) << ::testing::PrintToString(view.calls);
    EXPECT_NE(server.Data().find("Subject: Quorvik Report"), std::string::npos);
}

TEST_F(SessionTest, ASyslogMessageIsReportedAsAnyEventOfTheMachine) {
    ScriptedSmtpServer server("220 ready\r\n", Accepting());
    MailTo(server.Port());
    WatchList watches;
    LoadWatchList(watches);
    watches[0]->LogName = "Syslog";
    watches[0]->SourceName = "backup";
    watches[0]->Type = 1;
    SaveWatchList(watches);
    ExtensionSettings extension;
    extension.Syslog = true;
    SaveExtensionSettings(extension);
    auto session = NewSession();
    session->Extensions().SyslogPort = 0;  // one the system picks, as no ETC.DAT may say
    session->ApplyExtensions();
    session->Start();
    session->WaitUntilIdle();
    ASSERT_TRUE(session->Syslog().Running());
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(session->Syslog().Options().port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    const std::string message = "<11>1 - host1 backup - - - nightly backup failed";
    ASSERT_GT(
        sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
        0);
    close(fd);
    ASSERT_TRUE(session->Syslog().WaitForWritten(1, 10000));
    session->Tick();
    session->WaitUntilIdle();
    EXPECT_TRUE(view.Has("0 監視イベント番号: 1 - メールが送信されました。"))
        << ::testing::PrintToString(view.calls);
    EXPECT_NE(server.Data().find("nightly backup failed"), std::string::npos) << server.Data();
    EXPECT_NE(server.Data().find("host1"), std::string::npos);
}

TEST_F(SessionTest, ABurstLargerThanTheSyslogLogWaitsForTheWatchAndNoErrorIsLost) {
    // Reports counted by their lines: no mail server is set.
    Settings settings;
    LoadSettings(settings);
    settings.SenderName.clear();
    SaveSettings(settings);
    WatchList watches;
    LoadWatchList(watches);
    watches[0]->LogName = "Syslog";
    watches[0]->Type = 1;
    SaveWatchList(watches);
    ExtensionSettings extension;
    extension.Syslog = true;
    extension.IngestLogSize = 1;  // MB: about 5,000 records, a third of the burst
    SaveExtensionSettings(extension);
    auto session = NewSession();
    session->Extensions().SyslogPort = 0;
    session->ApplyExtensions();
    session->Start();
    session->WaitUntilIdle();
    ASSERT_TRUE(session->Syslog().Running());
    // 15,000 messages over TCP with an error every 750th; no timer ticks here: only the
    // receiver's calls for a check, when its log is full, make the watch read.
    constexpr int kMessages = 15000;
    std::string burst;
    for (int i = 0; i < kMessages; ++i) {
        burst += i % 750 == 374 ? "<11>app: failed " + std::to_string(i) + "\n"
                                : "<14>app: routine " + std::to_string(i) + "\n";
    }
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(session->Syslog().Options().port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    for (size_t sent = 0; sent < burst.size();) {
        const ssize_t n = send(fd, burst.data() + sent, burst.size() - sent, 0);
        ASSERT_GT(n, 0);
        sent += static_cast<size_t>(n);
    }
    close(fd);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (session->Syslog().GetCounts().written < kMessages &&
           std::chrono::steady_clock::now() < until) {
        session->Dispatch();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    session->WaitUntilIdle();
    session->Tick();  // the last of them
    session->WaitUntilIdle();
    const IngestCounts counts = session->Syslog().GetCounts();
    EXPECT_EQ(counts.written, static_cast<std::uint64_t>(kMessages));
    EXPECT_EQ(counts.dropped, 0u);
    EXPECT_GT(counts.waits, 0u);  // the log did fill
    EXPECT_EQ(
        std::count(
            view.calls.begin(), view.calls.end(),
            "2 監視イベント番号: 1 - SMTP設定されていないので、メールは送信されませんでした。"),
        kMessages / 750);
    for (const std::string& call : view.calls)
        EXPECT_EQ(call.find("破棄"), std::string::npos) << call;
}

TEST_F(SessionTest, KeptMailSurvivesTheProgramAndSaysWhenItMayBeARepeat) {
    Options(true, true, false);
    {
        auto session = NewSession();
        session->Start();
        Write("disk full");
        session->Tick();
        session->WaitUntilIdle();
    }
    EXPECT_TRUE(
        view.Has("2 監視イベント番号: 1 - メールを送信できなかったため保存しました。"
                 "次回のチェックから再送します。"));
    ASSERT_EQ(Outbox("eml").size(), 1u);
    EXPECT_TRUE(platform::FileExists(ResumeStatePath()));
    // As a run killed while it sent the mail leaves it.
    const std::string kept = SpoolFolder() + Outbox("eml")[0];
    ASSERT_TRUE(platform::RenameFile(kept, kept.substr(0, kept.size() - 4) + ".snd"));

    ScriptedSmtpServer server("220 ready\r\n", Accepting());
    MailTo(server.Port());
    view.calls.clear();
    auto session = NewSession();
    session->Start();  // kept mail goes out at once, not one interval later
    session->WaitUntilIdle();
    EXPECT_TRUE(
        view.Has("2 監視イベント番号: 1 - 保存されたメールは前回の送信中にプログラムが終了"
                 "したため、もう一度送信します。すでに届いている場合があります。"));
    EXPECT_TRUE(view.Has("0 監視イベント番号: 1 - 保存されたメールが送信されました。"));
    EXPECT_TRUE(Outbox().empty());
    EXPECT_NE(server.Data().find("Subject: Quorvik Report"), std::string::npos);
    // The record is not reported again: the position moved past it when the mail was kept.
    session->Tick();
    session->WaitUntilIdle();
    EXPECT_TRUE(Outbox().empty());
}

TEST_F(SessionTest, HeldNotificationsAreSummedUpAfterARestart) {
    Options(false, false, true, 1);
    const std::int64_t start = 1796000000;
    platform::SetClock(platform::LocalTimeOf(start));
    {
        ScriptedSmtpServer server("220 ready\r\n", Accepting());
        MailTo(server.Port());
        auto session = NewSession();
        session->Start();
        Write("first");
        Write("second");
        session->Tick();
        session->WaitUntilIdle();
        EXPECT_TRUE(
            view.Has("2 監視イベント番号: 1 - 1時間の通知数が上限(1件)に達したため、以降の"
                     "通知を控えます。"));
    }
    platform::SetClock(platform::LocalTimeOf(start + 3600));
    ScriptedSmtpServer server("220 ready\r\n", Accepting());
    MailTo(server.Port());
    auto session = NewSession();
    session->Start();
    session->Tick();
    session->WaitUntilIdle();
    platform::ReleaseClock();
    EXPECT_TRUE(
        view.Has("1 監視イベント番号: 1 - 通知の抑制を終了しました。控えた通知は1件です。"));
    EXPECT_NE(server.Data().find("Subject: Quorvik Report"), std::string::npos);
    EXPECT_FALSE(platform::FileExists(SpoolFolder() + "FLOOD.DAT"));
}

// A heartbeat's deadline brings a check of its own, whatever the interval; one that passed
// while the program was stopped is judged at the start, once what came meanwhile was read.
TEST_F(SessionTest, ARulesDeadlineBringsACheckAndOneMissedWhileStoppedComesAtTheStart) {
    const FixedClock nine(2026, 12, 7, 9);
    const std::int64_t start = platform::NowUnixMilliseconds() / 1000;
    WatchList watches;
    LoadWatchList(watches);
    watches[0]->Rule.Kind = WatchRule::kAbsence;
    watches[0]->Rule.Every = 10;  // and a minute's grace
    SaveWatchList(watches);
    Options(true, false, false);
    const std::string missing = "2 監視イベント番号: 1 - 期待したイベントが発生していません。";
    auto waitFor = [&](WatchSession& session, const std::string& line) {
        for (int i = 0; i < 500 && !view.Has(line); ++i) {
            session.Dispatch();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        session.WaitUntilIdle();
        return view.Has(line);
    };
    {
        auto session = NewSession();
        session->Start();
        session->WaitUntilIdle();
        EXPECT_EQ(session->NextDeadline(), start + 11 * 60);
        platform::AdvanceClock(5 * 60000);
        Write("beat");
        session->Tick();
        session->WaitUntilIdle();
        EXPECT_EQ(session->NextDeadline(), start + 16 * 60);
    }
    // Stopped past 09:16: the start reads what came meanwhile (nothing) and says so at once.
    platform::AdvanceClock(20 * 60000);
    auto session = NewSession();
    session->Start();
    EXPECT_TRUE(waitFor(*session, missing)) << ::testing::PrintToString(view.calls);
    EXPECT_EQ(session->NextDeadline(), 0);
    // It comes back; the next deadline brings its check without a timer tick.
    view.calls.clear();
    Write("beat");
    session->Tick();
    session->WaitUntilIdle();
    EXPECT_TRUE(view.Has("1 監視イベント番号: 1 - 問題が復旧しました。(継続時間 0時間10分)"))
        << ::testing::PrintToString(view.calls);
    EXPECT_EQ(session->NextDeadline(), start + 36 * 60);
    platform::AdvanceClock(11 * 60000 + 1000);
    EXPECT_TRUE(waitFor(*session, missing)) << ::testing::PrintToString(view.calls);
}

TEST_F(SessionTest, EditingForAServiceNeverWatchesAndTellsTheServiceOfEachSave) {
    ExtensionSettings extension;
    extension.Syslog = true;
    extension.Immediate = true;
    SaveExtensionSettings(extension);
    int told = 0;
    auto session = std::make_unique<WatchSession>();
    session->SetView(&view);
    session->EditFor([&] { ++told; });
    session->Load();
    session->Extensions().SyslogPort = 0;
    session->ApplyExtensions();
    session->Start();
    session->WaitUntilIdle();
    EXPECT_FALSE(session->Running());
    EXPECT_FALSE(session->Syslog().Running());
    EXPECT_FALSE(session->Tick());
    EXPECT_TRUE(session->WatchListAccepted());
    EXPECT_TRUE(session->AddressListAccepted());
    session->CurrentSettings().Interval = 3;
    session->SettingsAccepted();
    EXPECT_EQ(told, 3);
    EXPECT_FALSE(session->Running());
    Settings saved;
    LoadSettings(saved);
    EXPECT_EQ(saved.Interval, 3);
}

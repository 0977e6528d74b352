// Report mail over both paths: the lines the program log gets, what the library is given, what a
// real server (aiosmtpd) receives and Python's email package reads, with and without TLS.
#include "notify/mail_report.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "actions/actions.h"
#include "actions/attachments.h"
#include "config/settings.h"
#include "core/flood_control.h"
#include "core/program_log.h"
#include "eventlog/catalog.h"
#include "notify/netsend.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry_files.h"
#include "session/watch_session.h"
#include "support/machine_folder.h"
#include "support/mail_fixture.h"
#include "support/mail_server.h"
#include "support/smtp_server.h"

namespace {

// What a fake library was given.
struct Call {
    std::string server, to, from, subject, body, attachments;
};
std::vector<Call> g_calls;
int g_result = 1;

int FakeSendMail(const char* server, const char* to, const char* from, const char* subject,
                 const char* body, const char* attachments, char* error) {
    g_calls.push_back({server, to, from, subject, body, attachments});
    if (g_result == 0) std::strcpy(error, "535 5.7.8 no");
    return g_result;
}

}  // namespace

TEST(MailDate, TheOffsetInEffectAtTheEventsTime) {
    const char* old = getenv("TZ");
    const std::string saved = old ? old : "";
    struct Case {
        const char* zone;
        std::int64_t instant;
        const char* expected;
    } cases[] = {
        {"Asia/Tokyo", 1796000000, "Mon, 30 Nov 2026 09:53:20 +0900"},
        {"Europe/Berlin", 1782000000, "Sun, 21 Jun 2026 02:00:00 +0200"},
        {"Europe/Berlin", 1796000000, "Mon, 30 Nov 2026 01:53:20 +0100"},
        {"America/St_Johns", 1796000000, "Sun, 29 Nov 2026 21:23:20 -0330"},
        {"UTC", 0, "Thu, 1 Jan 1970 00:00:00 +0000"},
    };
    for (const Case& c : cases) {
        setenv("TZ", c.zone, 1);
        tzset();
        EXPECT_EQ(FormatMailDate(platform::LocalTimeOf(c.instant)), c.expected) << c.zone;
    }
    if (old) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST_F(MailTest, NotConfiguredSendsNothingAndStillRemovesFolders) {
    settings.SenderName.clear();
    for (bool library : {false, true}) {
        batch.clear();
        ReportRecord& a = Report(1, {"ops@example.jp", "PC01"});
        ReportRecord& b = Report(2, {"PC02"});
        const std::string fa = AttachmentFolder(a, "a.txt", "a");
        const std::string fb = AttachmentFolder(b, "b.txt", "b");
        sink.lines.clear();
        ReportMailer mailer(settings);
        if (library) mailer.UseLibrary(FakeSendMail);
        g_calls.clear();
        mailer.DeliverMail(batch);
        EXPECT_TRUE(g_calls.empty());
        EXPECT_EQ(Levels(2),
                  std::vector<std::string>{
                      "監視イベント番号: 1 - SMTP設定されていないので、メールは送信されま"
                      "せんでした。"});
        EXPECT_TRUE(Logged("4 SMTP設定がされていないのでメール送信なし"));
        EXPECT_TRUE(Logged(library ? "4 BSMTP.DLLを使用" : "4 TNMSMTPを使用"));
        EXPECT_FALSE(platform::DirectoryExists(fa));
        EXPECT_FALSE(platform::DirectoryExists(fb));
    }
}

TEST_F(MailTest, TheLibraryIsGivenItsTextsAndItsAnswerIsLogged) {
    ReportRecord& a = Report(1, {"ops@example.jp", "PC01", "<boss@example.jp>"}, "text\r\n");
    Report(2, {"PC02"});  // computer names only: no call, no line
    const std::string fa = AttachmentFolder(a, "a.txt", "a");
    a.AttachFiles.push_back("/var/log/two.log");
    settings.SMTPPort = 587;
    settings.TimeOut = 30;
    ReportMailer mailer(settings);
    mailer.UseLibrary(FakeSendMail);
    g_calls.clear();
    g_result = 1;
    mailer.DeliverMail(batch);
    ASSERT_EQ(g_calls.size(), 1u);
    const Call& c = g_calls[0];
    EXPECT_EQ(c.server, "127.0.0.1:587:30");
    EXPECT_EQ(c.to, "<ops@example.jp>\t<boss@example.jp>");
    EXPECT_EQ(SjisToUtf8(c.from), "監視サーバー <quorvik@example.jp>");
    EXPECT_EQ(SjisToUtf8(c.subject), "Quorvik Report (監視イベント番号: 1) - ディスク");
    EXPECT_EQ(c.body, "text\r\n");
    EXPECT_EQ(c.attachments, fa + "a.txt\t/var/log/two.log");
    EXPECT_FALSE(platform::DirectoryExists(fa));
    EXPECT_EQ(Levels(0),
              std::vector<std::string>{"監視イベント番号: 1 - メールが送信されました。"});

    // Authentication adds the user, the password and the method's name.
    const char* methods[] = {"LOGIN", "CRAM-MD5", "PLAIN"};
    settings.UserID = "alice";
    settings.Password = "p:w";
    g_result = 0;
    for (int type = 1; type <= 3; ++type) {
        settings.AuthType = static_cast<std::uint8_t>(type);
        g_calls.clear();
        sink.lines.clear();
        mailer.DeliverMail(batch);
        ASSERT_EQ(g_calls.size(), 1u);
        EXPECT_EQ(
            SjisToUtf8(g_calls[0].from),
            std::string("監視サーバー <quorvik@example.jp>\talice:p:w\t") + methods[type - 1]);
        EXPECT_EQ(Levels(3),
                  std::vector<std::string>{"監視イベント番号: 1 - メールの送信に失敗しました。535 "
                                           "5.7.8 no"});
    }
}

namespace {

// A client whose first connections time out or fail, as the test says.
class FlakyClient : public TNMSMTP {
public:
    explicit FlakyClient(std::string error) : m_error(std::move(error)) {}
    void Connect() override {
        if (m_error.empty()) return TNMSMTP::Connect();
        // What the client raises for each of them.
        const MailFault fault = m_error == "Connection Timed out"  ? MailFault::ConnectTimedOut
                                : m_error == "Null Remote Address" ? MailFault::HostUnknown
                                                                   : MailFault::ConnectFailed;
        throw ESockError(fault, m_error);
    }

private:
    std::string m_error;
};

}  // namespace

TEST_F(MailTest, OnlyTimeOutsAreTriedAgainThreeTimesInAll) {
    ScriptedSmtpServer server("220 ready\r\n", {"250 hello\r\n", "221 bye\r\n"});
    settings.SMTPPort = server.Port();
    ReportMailer mailer(settings);
    int made = 0;
    std::vector<std::string> errors;
    mailer.SetClientFactory([&]() -> std::unique_ptr<TNMSMTP> {
        const std::string error = made < static_cast<int>(errors.size()) ? errors[made] : "";
        ++made;
        return std::make_unique<FlakyClient>(error);
    });
    errors = {"Connection Timed out", "Connection Timed out"};
    auto client = mailer.ConnectMailClient();
    ASSERT_TRUE(client);  // the third attempt
    EXPECT_EQ(made, 3);
    client->Disconnect();

    made = 0;
    errors = {"Connection Timed out", "Connection Timed out", "Connection Timed out", ""};
    EXPECT_FALSE(mailer.ConnectMailClient());
    EXPECT_EQ(made, 3);
    EXPECT_EQ(SjisToUtf8(mailer.ConnectionErrorText()),
              "SMTPサーバーに接続できませんでした。STMPサーバー名、ポート番号を確認してください。");
    EXPECT_TRUE(Logged("4 SMTPConnect失敗"));

    made = 0;
    errors = {"Connection Failed", ""};
    EXPECT_FALSE(mailer.ConnectMailClient());
    EXPECT_EQ(made, 1);
    EXPECT_EQ(SjisToUtf8(mailer.ConnectionErrorText()),
              "SMTPサーバーに接続できませんでした。Connection Failed");
    made = 0;
    errors = {"Null Remote Address"};
    EXPECT_FALSE(mailer.ConnectMailClient());
    EXPECT_EQ(SjisToUtf8(mailer.ConnectionErrorText()),
              "SMTPサーバーに接続できませんでした。STMPサーバー名が無効です。");

    // No connection: one error line, then a failure line for every record.
    Report(4, {"PC01"});
    made = 0;
    errors = {"Connection Failed"};
    sink.lines.clear();
    mailer.DeliverMail(batch);
    EXPECT_EQ(Levels(3),
              (std::vector<std::string>{"SMTPサーバーに接続できませんでした。Connection Failed",
                                        "監視イベント番号: 4 - メールの送信に失敗しました。"}));
}

TEST_F(MailPeer, MailReportsByClient) {
    MailServer server(folder.File(""));
    ASSERT_TRUE(server.Started());
    settings.SMTPPort = server.Port();
    ReportRecord& a = Report(1, {"ops@example.jp"}, sjis(u8"種別：System\r\n説明：\r\nディスク"));
    const std::string fa = AttachmentFolder(a, "report.txt", "attached");
    ReportRecord& b = Report(2, {"ops@example.jp"}, "second");
    b.AttachFiles.push_back(folder.File("missing.bin"));  // cannot be read: this mail fails
    Report(3, {"PC01", "dev@example.jp"}, "third");
    ReportMailer mailer(settings);
    mailer.DeliverMail(batch);

    EXPECT_EQ(Levels(0),
              (std::vector<std::string>{"監視イベント番号: 1 - メールが送信されました。",
                                        "監視イベント番号: 3 - メールが送信されました。"}));
    EXPECT_EQ(Levels(3),
              std::vector<std::string>{"監視イベント番号: 2 - メールの送信に失敗しました。"});
    EXPECT_TRUE(Logged("4 メール送信開始"));
    EXPECT_TRUE(Logged("4 WSACleanup()終了：回数[0]"));
    EXPECT_FALSE(platform::DirectoryExists(fa));
    const std::string first = server.WaitForMail(1);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(server.Decode(first),
              "subject " + HexOf(Utf8(u8"Quorvik Report (監視イベント番号: 1) - ディスク")) +
                  "\nfrom " + HexOf(Utf8(u8"監視サーバー <quorvik@example.jp>")) + "\nbody " +
                  HexOf(Utf8(u8"種別：System\r\n説明：\r\nディスク")) + "\nattachment report.txt " +
                  HexOf("attached") + "\n");
    EXPECT_NE(ReadFileBytes(first).find(
                  "\r\nDate: " + FormatMailDate(platform::LocalTimeOf(1796000000)) + "\r\n"),
              std::string::npos);
    const std::string second = server.WaitForMail(2);
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(ReadFileBytes(folder.File("mail2.rcpt")), "dev@example.jp");
}

TEST_F(MailPeer, MailReportsByLibrary) {
    ASSERT_NE(RealLibrary(), nullptr);
    MailServer server(folder.File(""));
    ASSERT_TRUE(server.Started());
    settings.SMTPPort = server.Port();
    ReportRecord& a = Report(5, {"ops@example.jp"}, sjis(u8"説明：\r\n.\r\n..ドット"));
    const std::string fa = AttachmentFolder(a, sjis(u8"ログ.txt"), "attached");
    ReportMailer mailer(settings);
    mailer.UseLibrary(RealLibrary());
    mailer.DeliverMail(batch);
    EXPECT_EQ(Levels(0),
              std::vector<std::string>{"監視イベント番号: 5 - メールが送信されました。"});
    EXPECT_FALSE(platform::DirectoryExists(fa));
    const std::string mail = server.WaitForMail(1);
    ASSERT_FALSE(mail.empty());
    // Dots at the start of lines come back as they were: stuffed once, by the library.
    const std::string decoded = server.Decode(mail);
    EXPECT_EQ(decoded.substr(0, decoded.find("\nbody ")),
              "subject " + HexOf(Utf8(u8"Quorvik Report (監視イベント番号: 5) - ディスク")) +
                  "\nfrom " + HexOf(Utf8(u8"監視サーバー <quorvik@example.jp>")));
    EXPECT_NE(decoded.find("body " + HexOf(Utf8(u8"説明：\r\n.\r\n..ドット"))), std::string::npos)
        << decoded;
    EXPECT_NE(decoded.find("attachment " + Utf8(u8"ログ.txt") + " " + HexOf("attached")),
              std::string::npos)
        << decoded;
    EXPECT_NE(ReadFileBytes(mail).find("\r\nDate: "), std::string::npos);
}

namespace {

// One call of the real library; its result and error text (UTF-8).
int Library(const std::string& server, const std::string& to, const std::string& from,
            std::string* error = nullptr) {
    char buffer[kBSendMailErrorSize];
    std::memset(buffer, 'x', sizeof buffer);
    const int result =
        RealLibrary()(server.c_str(), to.c_str(), from.c_str(), "subject", "body", "", buffer);
    EXPECT_NE(std::memchr(buffer, 0, sizeof buffer), nullptr);
    if (error) *error = SjisToUtf8(buffer);
    return result;
}

std::string Server(const MailServer& s, int timeout = 5) {
    return "127.0.0.1:" + std::to_string(s.Port()) + ":" + std::to_string(timeout);
}

}  // namespace

TEST(BsmtpPeer, EachMethodAndNoFallBack) {
    ASSERT_NE(RealLibrary(), nullptr);
    TestFolder folder;
    MailServer::Options options;
    options.user = "alice";
    options.password = "s3cret";
    MailServer server(folder.File("all/"), options);
    ASSERT_TRUE(server.Started());
    std::string error;
    for (const char* method : {"LOGIN", "CRAM-MD5", "PLAIN"}) {
        EXPECT_NE(Library(Server(server), "<ops@example.jp>",
                          std::string("Q <q@example.jp>\talice:s3cret\t") + method, &error),
                  0)
            << method << " " << error;
        EXPECT_EQ(error, "");
    }
    EXPECT_FALSE(server.WaitForMail(3).empty());
    EXPECT_EQ(
        Library(Server(server), "<ops@example.jp>", "Q <q@example.jp>\talice:wrong\tLOGIN", &error),
        0);
    EXPECT_EQ(error.rfind("認証(LOGIN)に失敗しました。535", 0), 0u) << error;

    // A server that offers only PLAIN is not used with PLAIN when CRAM-MD5 was asked for; one
    // without authentication is not used at all.
    options.mechanisms = "PLAIN";
    MailServer plainOnly(folder.File("plain/"), options);
    EXPECT_EQ(Library(Server(plainOnly), "<ops@example.jp>",
                      "Q <q@example.jp>\talice:s3cret\tCRAM-MD5", &error),
              0);
    EXPECT_EQ(error, "SMTPサーバーは認証方式CRAM-MD5を受け付けていません。");
    MailServer open(folder.File("open/"));
    EXPECT_EQ(
        Library(Server(open), "<ops@example.jp>", "Q <q@example.jp>\talice:s3cret\tPLAIN", &error),
        0);
    EXPECT_NE(error.find("認証を受け付けていません"), std::string::npos) << error;
    EXPECT_FALSE(plainOnly.HasMail(1) || open.HasMail(1));
}

TEST(BsmtpPeer, TlsIsUsedAndCheckedNeverDropped) {
    ASSERT_NE(RealLibrary(), nullptr);
    TestFolder folder;
    ASSERT_TRUE(MakeCertificate(folder.Path()));
    MailServer::Options options;
    options.certFile = folder.File("cert.pem");
    options.keyFile = folder.File("key.pem");
    options.user = "alice";
    options.password = "s3cret";
    MailServer starttls(folder.File("starttls/"), options);
    ASSERT_TRUE(starttls.Started());
    std::string error;
    // Not trusted: a clear failure, nothing sent in the clear instead.
    unsetenv("SSL_CERT_FILE");
    EXPECT_EQ(Library(Server(starttls), "<ops@example.jp>", "Q <q@example.jp>\talice:s3cret\tPLAIN",
                      &error),
              0);
    EXPECT_EQ(error.rfind("TLSの接続を確立できませんでした。", 0), 0u) << error;
    EXPECT_FALSE(starttls.HasMail(1));
    // Trusted through SSL_CERT_FILE, the OpenSSL convention for a private CA.
    setenv("SSL_CERT_FILE", folder.File("cert.pem").c_str(), 1);
    EXPECT_NE(Library(Server(starttls), "<ops@example.jp>", "Q <q@example.jp>\talice:s3cret\tPLAIN",
                      &error),
              0)
        << error;
    EXPECT_FALSE(starttls.WaitForMail(1).empty());
    // The certificate is for localhost and 127.0.0.1: another name fails the host check.
    EXPECT_EQ(Library("127.0.0.2:" + std::to_string(starttls.Port()) + ":5", "<ops@example.jp>",
                      "Q <q@example.jp>", &error),
              0);
    unsetenv("SSL_CERT_FILE");
}

TEST(BsmtpPeer, ImplicitTlsOnPort465) {
    ASSERT_NE(RealLibrary(), nullptr);
    if (geteuid() != 0) GTEST_SKIP() << "port 465 can only be bound by root";
    TestFolder folder;
    ASSERT_TRUE(MakeCertificate(folder.Path()));
    MailServer::Options options;
    options.certFile = folder.File("cert.pem");
    options.keyFile = folder.File("key.pem");
    options.implicitTls = true;
    options.port = 465;
    MailServer smtps(folder.File("smtps/"), options);
    if (!smtps.Started()) GTEST_SKIP() << "port 465 is taken";
    setenv("SSL_CERT_FILE", folder.File("cert.pem").c_str(), 1);
    std::string error;
    EXPECT_NE(Library("localhost:465:5", "<ops@example.jp>", "Q <q@example.jp>", &error), 0)
        << error;
    EXPECT_FALSE(smtps.WaitForMail(1).empty());
    unsetenv("SSL_CERT_FILE");
}

TEST(BsmtpPeer, TimeOutsRefusedRecipientsAndBadArguments) {
    ASSERT_NE(RealLibrary(), nullptr);
    TestFolder folder;
    std::string error;
    {
        ScriptedSmtpServer silent("<silent>", {});
        EXPECT_EQ(Library("127.0.0.1:" + std::to_string(silent.Port()) + ":1", "<a@example.jp>",
                          "Q <q@example.jp>", &error),
                  0);
        EXPECT_NE(error.find("の応答がタイムアウトしました。"), std::string::npos) << error;
    }
    MailServer::Options options;
    options.reject = {"nobody@example.jp"};
    MailServer server(folder.File("r/"), options);
    EXPECT_NE(Library(Server(server), "<nobody@example.jp>\t<ops@example.jp>", "Q <q@example.jp>",
                      &error),
              0)
        << error;
    ASSERT_FALSE(server.WaitForMail(1).empty());
    EXPECT_EQ(ReadFileBytes(folder.File("r/mail1.rcpt")), "ops@example.jp");
    EXPECT_EQ(Library(Server(server), "<nobody@example.jp>", "Q <q@example.jp>", &error), 0);
    EXPECT_EQ(error, "RCPT TOでエラーが返されました。nobody@example.jp (550 5.1.1 No such user)");

    // Texts that would smuggle commands or URLs in are refused before any connection.
    EXPECT_EQ(Library("127.0.0.1/x:25:5", "<a@example.jp>", "Q <q@example.jp>", &error), 0);
    EXPECT_EQ(error, "サーバー名が正しくありません。");
    EXPECT_EQ(Library(Server(server), "<a@example.jp>\r\nRSET", "Q <q@example.jp>", &error), 0);
    EXPECT_EQ(Library(Server(server), "<a@example.jp>", "Q <q@example.jp>\tu:p\tNTLM", &error), 0);
    EXPECT_EQ(error, "認証方式が正しくありません。(NTLM)");
    EXPECT_EQ(RealLibrary()(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
}

namespace {

// The window of a session: the lines it shows.
class LinesView : public SessionView {
public:
    void RequestDispatch() override {}
    void AddLogLine(int level, const platform::SystemTime&, const std::string& text) override {
        lines.push_back(std::to_string(level) + " " + SjisToUtf8(text));
    }
    void SetWatchInterval(unsigned) override {}
    void SetWatchEnabled(bool) override {}
    void LockDialogs() override {}
    void UnlockDialogs() override {}
    std::vector<std::string> lines;
};

}  // namespace

TEST_F(MailPeer, FromAnEventToAMail) {
    MachineFolder machine;
    setenv("TMPDIR", folder.Path().c_str(), 1);
    MailServer server(folder.File("mail/"));
    ASSERT_TRUE(server.Started());
    settings.SMTPPort = server.Port();
    SaveSettings(settings);
    WriteFileBytes(machine.Root() + "app.log", "log line\n");
    // Registered here, so that the tick sees the source however soon it comes.
    platform::AppendMachineRegistry(
        platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\Application\\Disk") +
        platform::RegExpandStringLine("EventMessageFile",
                                      std::string(platform::kEventCreateMessageFile)));
    WatchList list;
    LoadWatchList(list);
    auto e = std::make_unique<WatchEntry>();
    e->EventNum = 12;
    e->MailSubject = sjis(u8"障害");
    e->LogName = "Application";
    e->SourceName = e->Category = AnyValueText();
    e->AddrList = {"ops@example.jp"};
    e->ToDoList = {{kActionAttachFiles, MakeAttachParam(1, machine.Root() + "app.log")}};
    list.push_back(std::move(e));
    SaveWatchList(list);
    // The program's own session: actions, then mail, on its thread.
    LinesView view;
    WatchSession session;
    session.SetView(&view);
    session.Load();
    session.Start();
    ASSERT_EQ(
        RunCommand(std::string(QUORVIK_TOOLS_DIR) + "/eventcreate --machine " + machine.Root() +
                   " --log Application --source Disk --type error --id 7 --string "
                   "'ディスクの空きがありません'"),
        0);
    ASSERT_TRUE(session.Tick());
    session.WaitUntilIdle();
    EXPECT_NE(std::find(view.lines.begin(), view.lines.end(),
                        "0 監視イベント番号: 12 - メールが送信されました。"),
              view.lines.end());
    const std::string mail = server.WaitForMail(1);
    ASSERT_FALSE(mail.empty());
    const std::string decoded = server.Decode(mail);
    EXPECT_NE(decoded.find(HexOf(Utf8(u8"ディスクの空きがありません"))), std::string::npos);
    EXPECT_NE(decoded.find(HexOf(Utf8(u8"以下のファイルが添付されました。"))), std::string::npos);
    EXPECT_NE(decoded.find("attachment app.log " + HexOf("log line\n")), std::string::npos);
    std::vector<platform::FindData> left;
    EXPECT_FALSE(platform::FindFiles(folder.Path() + "QVK*", left));  // the folder is gone
}

TEST_F(MailPeer, FiftyMatchesInAnHourGiveTheLimitAndOneSummary) {
    MailServer server(folder.File("mail/"));
    ASSERT_TRUE(server.Started());
    settings.SMTPPort = server.Port();
    const std::int64_t start = 1796000000;
    FloodControl flood(10);
    ReportMailer mailer(settings);
    // Fifty matches of one entry over five ticks of ten, and one of another entry.
    for (int tick = 0; tick < 5; ++tick) {
        batch.clear();
        for (int i = 0; i < 10; ++i) {
            ReportRecord& r = Report(12, {"ops@example.jp", "PC01"}, "match");
            r.LogName = "System";
            r.Event.EventID = 7000 + static_cast<std::uint32_t>(tick * 10 + i);
            r.Event.SourceName = "Disk";
            r.Event.Description = "event " + std::to_string(tick * 10 + i) + "\r\nmore";
        }
        Report(13, {"ops@example.jp"}, "other entry");
        flood.Mark(batch, start + tick * 600);
        EXPECT_EQ(MessageRecipients(*batch[0]).empty(), tick > 0);
        mailer.DeliverMail(batch);
        EXPECT_TRUE(flood.TakeSummaries(start + tick * 600 + 1).empty());
    }
    EXPECT_TRUE(
        Logged("2 監視イベント番号: 12 - 1時間の通知数が上限(10件)に達したため、以降の通知"
               "を控えます。"));
    batch = flood.TakeSummaries(start + 3600);
    ASSERT_EQ(batch.size(), 1u);
    mailer.DeliverMail(batch);
    EXPECT_TRUE(
        Logged("1 監視イベント番号: 12 - 通知の抑制を終了しました。控えた通知は40件です。"));
    // Ten reports of entry 12, five of entry 13, and the summary.
    const std::string summary = server.WaitForMail(16);
    ASSERT_FALSE(summary.empty());
    EXPECT_FALSE(server.HasMail(17));
    const std::string decoded = server.Decode(summary);
    EXPECT_NE(decoded.find(HexOf(
                  Utf8(u8"Quorvik Report (監視イベント番号: 12) - ディスク (控えた通知のまとめ)"))),
              std::string::npos)
        << decoded;
    for (const char8_t* part : {u8"控えた通知：40件", u8"最初の通知\r\n日付：",
                                u8"ログ：System\r\nソース：Disk\r\nイベントID：7010\r\n説明："
                                u8"event 10\r\n",
                                u8"最後の通知", u8"イベントID：7049\r\n説明：event 49\r\n"}) {
        EXPECT_NE(decoded.find(HexOf(Utf8(part))), std::string::npos) << Utf8(part);
    }
}

// The outbox: report mail kept on disk before it is first sent, sent from there over both paths,
// and what a server's replies at each step and to each recipient make of it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cstdlib>

#include "notify/mail_report.h"
#include "notify/mail_spool.h"
#include "support/loopback.h"
#include "support/mail_fixture.h"
#include "support/mail_server.h"
#include "support/smtp_server.h"

// Mail kept while it cannot be delivered, tried again at the next tick.

namespace {

SpooledMail SampleMail() {
    SpooledMail mail;
    mail.from = "quorvik@example.jp";
    mail.recipients = {"ops@example.jp", "Dev <dev@example.jp>"};
    mail.watch = 4;
    mail.spooled = 1796000000;
    mail.message = "Subject: x\r\n\r\nline\r\n.\r\n";
    return mail;
}

}  // namespace

TEST(MailSpoolFile, WholeOrNotAtAll) {
    const SpooledMail mail = SampleMail();
    const std::string bytes = FormatSpoolFile(mail);
    SpooledMail back;
    ASSERT_TRUE(ParseSpoolFile(bytes, back));
    EXPECT_EQ(back.from, mail.from);
    EXPECT_EQ(back.recipients, mail.recipients);
    EXPECT_EQ(back.watch, 4);
    EXPECT_EQ(back.spooled, 1796000000);
    EXPECT_EQ(back.message, mail.message);
    // Cut anywhere, or changed anywhere, it is refused.
    for (size_t n = 0; n < bytes.size(); ++n) {
        EXPECT_FALSE(ParseSpoolFile(bytes.substr(0, n), back)) << n;
        std::string changed = bytes;
        changed[n] ^= 0x01;
        EXPECT_FALSE(ParseSpoolFile(changed, back)) << n;
    }
    EXPECT_FALSE(ParseSpoolFile(mail.message, back));  // a mail that is not ours

    TestFolder folder;
    MailSpool spool(folder.File("SPOOL/"));
    SpooledMail injected = mail;
    injected.recipients = {"a@example.jp\r\nRCPT TO:<b@example.jp>"};
    EXPECT_EQ(spool.Keep(injected), "");
    EXPECT_FALSE(platform::DirectoryExists(spool.Folder()));
    // Kept in the same millisecond, they are still tried in the order they were kept.
    platform::SetClock(platform::LocalTimeOf(1796000000));
    std::vector<std::string> kept;
    for (int i = 1; i <= 3; ++i) {
        SpooledMail m = mail;
        m.watch = i;
        kept.push_back(spool.Keep(m));
    }
    platform::ReleaseClock();
    EXPECT_EQ(spool.Waiting(), kept);
}

class SpoolPeer : public MailTest {
protected:
    SpoolPeer() : spool(folder.File("SPOOL/")) {
        settings.TimeOut = 2;
        port = reserved.Port();
        settings.SMTPPort = port;
    }
    // What the spool folder holds, by extension.
    int Files(const char* extension) const {
        std::vector<platform::FindData> found;
        return platform::FindFiles(spool.Folder() + "*" + extension, found)
                   ? static_cast<int>(found.size())
                   : 0;
    }
    // The same two reports, one with an attachment.
    void TwoReports() {
        batch.clear();
        ReportRecord& a =
            Report(7, {"ops@example.jp"}, sjis(u8"説明：\r\nディスクの空きがありません"));
        AttachmentFolder(a, "app.log", "log line\n");
        Report(8, {"ops@example.jp", "PC01"}, "second");
    }
    // Down at the tick, up at the next: the kept mail arrives as a direct send would have it.
    void KeptAndSentLater(ReportMailer& mailer) {
        mailer.UseSpool(&spool, 24);
        ASSERT_TRUE(mailer.Spooling());
        TwoReports();
        EXPECT_TRUE(mailer.FlushOutbox());
        mailer.DeliverMail(batch);
        EXPECT_EQ(Levels(2), (std::vector<std::string>{
                                 "監視イベント番号: 7 - メールを送信できなかったため保存しました。"
                                 "次回のチェックから再送します。",
                                 "監視イベント番号: 8 - メールを送信できなかったため保存しました。"
                                 "次回のチェックから再送します。"}));
        EXPECT_EQ(Files(".eml"), 2);
        EXPECT_FALSE(platform::DirectoryExists(batch[0]->AttachFolders[0]));  // kept inside

        EXPECT_NE(
            std::find(sink.lines.begin(), sink.lines.end(),
                      "1 SMTPサーバーに送信できないため、保存されたメールは10分後に再送します。"),
            sink.lines.end());

        MailServer::Options options;
        options.port = port;
        MailServer server(folder.File("mail/"), options);
        ASSERT_TRUE(server.Started());
        // The server that was away is not tried again before its wait is over.
        platform::SetClock(platform::GetLocalTime());
        EXPECT_FALSE(mailer.FlushOutbox());
        EXPECT_EQ(Files(".eml"), 2);
        platform::AdvanceClock(10 * 60 * 1000);
        EXPECT_TRUE(mailer.FlushOutbox());
        platform::ReleaseClock();
        EXPECT_EQ(Levels(0), (std::vector<std::string>{
                                 "監視イベント番号: 7 - 保存されたメールが送信されました。",
                                 "監視イベント番号: 8 - 保存されたメールが送信されました。"}));
        EXPECT_EQ(Files(".eml"), 0);
        // The same reports sent directly.
        ReportMailer direct(settings);
        if (mailer.UsesLibrary()) direct.UseLibrary(RealLibrary());
        TwoReports();
        direct.DeliverMail(batch);
        for (int n = 1; n <= 2; ++n) {
            const std::string kept = server.WaitForMail(n), sent = server.WaitForMail(n + 2);
            ASSERT_FALSE(kept.empty());
            ASSERT_FALSE(sent.empty());
            EXPECT_EQ(server.Decode(kept), server.Decode(sent)) << n;
        }
        EXPECT_NE(
            server.Decode(server.WaitForMail(1)).find("attachment app.log " + HexOf("log line\n")),
            std::string::npos);
        EXPECT_FALSE(server.HasMail(5));
    }

    MailSpool spool;
    ReservedPort reserved;  // where the server comes up later
    std::uint16_t port = 0;
};

TEST_F(SpoolPeer, ByTheClient) {
    ReportMailer mailer(settings);
    KeptAndSentLater(mailer);
}

TEST_F(SpoolPeer, ByTheLibrary) {
    ASSERT_NE(RealRawLibrary(), nullptr);
    ReportMailer mailer(settings);
    mailer.UseLibrary(RealLibrary());
    mailer.UseRawLibrary(RealRawLibrary());
    KeptAndSentLater(mailer);
}

TEST_F(SpoolPeer, ARunThatReadsARecordAgainDoesNotMakeItsKeptMailTwice) {
    {
        // Killed after the mail was kept, before the place in the log was saved.
        ReportMailer first(settings);
        first.UseSpool(&spool, 24);
        Report(4, {"ops@example.jp"}).LogName = "Application";
        batch[0]->Event.RecordNumber = 17;
        batch[0]->Identity = RecordIdentity{true, 1796000000, 120, 0xabc};
        first.QueueMail(batch);
    }
    ASSERT_EQ(Files(".eml"), 1);
    ReportMailer next(settings);
    next.UseSpool(&spool, 24);
    next.NoteKeptReports(spool);
    auto again = std::make_unique<ReportRecord>(*batch[0]);
    auto other = std::make_unique<ReportRecord>(*batch[0]);
    other->Identity.hash = 0xabd;  // another record under the same number
    batch.clear();
    batch.push_back(std::move(again));
    batch.push_back(std::move(other));
    next.QueueMail(batch);
    EXPECT_EQ(Files(".eml"), 2);
    EXPECT_EQ(Levels(1),
              std::vector<std::string>{"監視イベント番号: 4 - このイベントのメールは前回の"
                                       "実行で保存されているため、新たには作成しません。"});
}

TEST_F(SpoolPeer, AMailThatCanBeNeitherKeptNorSentHoldsItsRecordUntilItGoes) {
    // The outbox cannot be made (a file is in its place) and the server is away.
    ASSERT_TRUE(platform::WriteWholeFile(folder.File("blocked"), "x"));
    MailSpool blocked(folder.File("blocked/"));
    ReportMailer mailer(settings);
    mailer.UseSpool(&blocked, 24);
    Report(4, {"ops@example.jp"}).LogName = "Application";
    batch[0]->Event.RecordNumber = 17;
    mailer.DeliverMail(batch);
    EXPECT_EQ(mailer.HeldRecords(), (std::map<std::string, std::uint32_t>{{"Application", 17}}));
    EXPECT_EQ(Levels(2).back(),
              "監視イベント番号: 4 - メールを保存も送信もできませんでした。次回のチェックから再送し"
              "ます。" +
                  Levels(2).back().substr(Levels(2).back().find("ます。") + 9));

    MailServer::Options options;
    options.port = port;
    MailServer server(folder.File("mail/"), options);
    ASSERT_TRUE(server.Started());
    platform::SetClock(platform::GetLocalTime());
    platform::AdvanceClock(10 * 60 * 1000);
    EXPECT_TRUE(mailer.FlushOutbox());
    platform::ReleaseClock();
    EXPECT_FALSE(server.WaitForMail(1).empty());
    EXPECT_TRUE(mailer.HeldRecords().empty());
}

TEST_F(SpoolPeer, AMailSentFromAnOutboxThatTurnedReadOnlyIsNotSentAgain) {
    MailServer::Options options;
    options.port = port;
    MailServer server(folder.File("mail/"), options);
    ASSERT_TRUE(server.Started());
    SpooledMail mail = SampleMail();
    mail.spooled = platform::NowUnixMilliseconds() / 1000;
    const std::string kept = spool.Keep(mail);
    ASSERT_FALSE(kept.empty());
    // Immutable, as a read-only mount is: not even root may rename, remove or empty the file.
    std::string folderPath = spool.Folder();
    folderPath.pop_back();
    const std::string paths = "'" + folderPath + "' '" + kept + "'";
    if (std::system(("chattr +i " + paths + " 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "chattr +i is not supported here";
    }
    struct Unfreeze {
        std::string paths;
        ~Unfreeze() { (void)std::system(("chattr -i " + paths).c_str()); }
    } unfreeze{paths};
    {
        ReportMailer mailer(settings);
        mailer.UseSpool(&spool, 24);
        EXPECT_TRUE(mailer.FlushOutbox());
    }
    ASSERT_FALSE(server.WaitForMail(1).empty());
    ReportMailer later(settings);  // the next start
    later.UseSpool(&spool, 24);
    sink.lines.clear();
    EXPECT_TRUE(later.FlushOutbox());
    EXPECT_EQ(Levels(2).size(), 1u);
    EXPECT_EQ(Levels(2)[0].rfind("送信済みのメール(" + kept + ")を保存フォルダから削除できない", 0),
              0u);
    EXPECT_FALSE(server.HasMail(2));
}

TEST_F(SpoolPeer, DamagedExpiredAndRefusedMailIsSetAsideNeverSent) {
    ReportMailer mailer(settings);
    mailer.UseSpool(&spool, 24);
    SpooledMail mail = SampleMail();
    mail.spooled = platform::NowUnixMilliseconds() / 1000;
    const std::string cut = spool.Keep(mail);
    const std::string whole = FormatSpoolFile(mail);
    WriteFileBytes(cut, whole.substr(0, whole.size() - 5));
    mail.watch = 5;
    const std::string good = spool.Keep(mail);
    ASSERT_FALSE(good.empty());

    MailServer::Options options;
    options.port = port;
    options.reject = {"nobody@example.jp"};
    MailServer server(folder.File("mail/"), options);
    ASSERT_TRUE(server.Started());
    EXPECT_TRUE(mailer.FlushOutbox());
    EXPECT_TRUE(platform::FileExists(cut.substr(0, cut.size() - 4) + ".bad"));
    EXPECT_EQ(Levels(3), std::vector<std::string>{"保存されたメール(" + cut +
                                                  ")は壊れているため送信しません。" +
                                                  cut.substr(0, cut.size() - 4) + ".bad"});
    EXPECT_EQ(Levels(0),
              std::vector<std::string>{"監視イベント番号: 5 - 保存されたメールが送信されました。"});
    ASSERT_FALSE(server.WaitForMail(1).empty());
    EXPECT_NE(ReadFileBytes(server.WaitForMail(1)).find("line\r\n"), std::string::npos);
    EXPECT_FALSE(server.HasMail(2));

    // A server that refuses every recipient for good: nothing is kept.
    sink.lines.clear();
    batch.clear();
    Report(9, {"nobody@example.jp"});
    mailer.DeliverMail(batch);
    EXPECT_EQ(Files(".eml"), 0);
    ASSERT_EQ(Levels(3).size(), 1u);
    EXPECT_EQ(Levels(3)[0].rfind("監視イベント番号: 9 - メールの送信に失敗しました。", 0), 0u);

    // Past its hours a kept mail is given up.
    sink.lines.clear();
    platform::SetClock(platform::LocalTimeOf(1796000000));
    mail.spooled = 1796000000 - 24 * 3600;
    const std::string old = spool.Keep(mail);
    EXPECT_TRUE(mailer.FlushOutbox());
    platform::ReleaseClock();
    EXPECT_TRUE(platform::FileExists(old.substr(0, old.size() - 4) + ".expired"));
    // Set aside, they stay private.
    for (const std::string& aside :
         {cut.substr(0, cut.size() - 4) + ".bad", old.substr(0, old.size() - 4) + ".expired"}) {
        struct stat st {};
        ASSERT_EQ(stat(aside.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << aside;
    }
    EXPECT_EQ(Levels(3)[0].rfind("監視イベント番号: 5 - 保存されたメールは24時間送信できなかった"
                                 "ため、再送をあきらめました。",
                                 0),
              0u);
    EXPECT_FALSE(server.HasMail(2));
}

TEST_F(MailTest, AServerThatRefusesForNowKeepsTheMail) {
    // 451 at MAIL FROM: kept, with the reason as a debug line.
    ScriptedSmtpServer server("220 ready\r\n", {"250 hello\r\n", "250 reset\r\n",
                                                "451 try again later\r\n", "221 bye\r\n"});
    settings.SMTPPort = server.Port();
    MailSpool spool(folder.File("SPOOL/"));
    ReportMailer mailer(settings);
    mailer.UseSpool(&spool, 24);
    Report(3, {"ops@example.jp"});
    mailer.DeliverMail(batch);
    EXPECT_EQ(spool.Waiting().size(), 1u);
    EXPECT_TRUE(Logged("4 451 try again later"));
}

namespace {

// A server that takes the given number of mails, one recipient each, on one connection.
std::vector<std::string> Accepting(int mails = 1) {
    std::vector<std::string> replies = {"250 hello\r\n"};
    for (int i = 0; i < mails; ++i) {
        replies.insert(replies.end(), {"250 reset\r\n", "250 sender\r\n", "250 recipient\r\n",
                                       "354 go\r\n", "250 queued\r\n"});
    }
    replies.push_back("221 bye\r\n");
    return replies;
}

}  // namespace

TEST_F(MailTest, SilenceOrADroppedConnectionAtAnyStepKeepsTheMail) {
    settings.TimeOut = 1;
    const std::vector<std::string> start = {"250 hello\r\n", "250 reset\r\n"};
    const std::vector<std::vector<std::string>> rest = {
        {"<silent>"},                                                        // MAIL FROM
        {"250 sender\r\n", "<silent>"},                                      // RCPT TO
        {"250 sender\r\n", "250 recipient\r\n", "354 go\r\n", "<silent>"},   // the message
        {"250 sender\r\n", "<close>"},                                       // dropped
        {"250 sender\r\n", "250 recipient\r\n", "451 4.3.0 try later\r\n"},  // DATA
    };
    for (size_t i = 0; i < rest.size(); ++i) {
        std::vector<std::string> script = start;
        script.insert(script.end(), rest[i].begin(), rest[i].end());
        ScriptedSmtpServer server("220 ready\r\n", script);
        settings.SMTPPort = server.Port();
        MailSpool spool(folder.File("SPOOL" + std::to_string(i) + "/"));
        ReportMailer mailer(settings);
        mailer.UseSpool(&spool, 24);
        mailer.SetFinalReplyTimeOut(1500);
        batch.clear();
        sink.lines.clear();
        Report(3, {"ops@example.jp"});
        mailer.DeliverMail(batch);
        ASSERT_EQ(spool.Waiting().size(), 1u) << i;
        // Silence after the message's end: it may have arrived, and its resend says so.
        const bool unanswered = i == 2;
        EXPECT_EQ(MailSpool::Interrupted(spool.Waiting()[0]), unanswered) << i;
        EXPECT_EQ(Levels(2),
                  std::vector<std::string>{
                      unanswered ? "監視イベント番号: 3 - メールを送信しましたが、SMTPサーバーの"
                                   "応答がなかったため保存しました。次回のチェックから再送しま"
                                   "す。すでに届いている場合があります。Socket readln aborted"
                                 : "監視イベント番号: 3 - メールを送信できなかったため保存しま"
                                   "した。次回のチェックから再送します。"})
            << i;
    }
}

TEST_F(MailTest, TheReplyToTheMessagesEndIsWaitedForPastTheTimeOut) {
    settings.TimeOut = 1;
    ScriptedSmtpServer server(
        "220 ready\r\n", {"250 hello\r\n", "250 reset\r\n", "250 sender\r\n", "250 recipient\r\n",
                          "354 go\r\n", "<late>250 queued\r\n"});
    settings.SMTPPort = server.Port();
    MailSpool spool(folder.File("SPOOL/"));
    ReportMailer mailer(settings);
    mailer.UseSpool(&spool, 24);
    Report(3, {"ops@example.jp"});
    EXPECT_TRUE(mailer.FlushOutbox());
    mailer.DeliverMail(batch);
    EXPECT_TRUE(spool.Waiting().empty());
    EXPECT_EQ(Levels(0),
              std::vector<std::string>{"監視イベント番号: 3 - メールが送信されました。"});
}

TEST_F(MailTest, EachRecipientIsJudgedByItsOwnReply) {
    const std::vector<std::string> script = {"250 hello\r\n",
                                             "250 reset\r\n",
                                             "250 sender\r\n",
                                             "250 ok\r\n",
                                             "550 5.1.1 no such user\r\n",
                                             "450 4.2.1 mailbox busy\r\n",
                                             "354 go\r\n",
                                             "250 queued\r\n",
                                             "221 bye\r\n"};
    const std::string refused =
        "b@example.jp (550 5.1.1 no such user), c@example.jp (450 4.2.1 mailbox busy)";
    // Sent directly: no success line, one warning that names both.
    {
        ScriptedSmtpServer server("220 ready\r\n", script);
        settings.SMTPPort = server.Port();
        Report(5, {"a@example.jp", "b@example.jp", "c@example.jp"});
        ReportMailer mailer(settings);
        mailer.DeliverMail(batch);
        EXPECT_TRUE(Levels(0).empty());
        EXPECT_EQ(Levels(2), std::vector<std::string>{"監視イベント番号: 5 - メールは送信されまし"
                                                      "たが、受け付けられなかった受信者がありま"
                                                      "す。" +
                                                      refused});
    }
    // From the outbox: the one refused for now keeps the mail for itself alone, and gets it at
    // the next try.
    sink.lines.clear();
    MailSpool spool(folder.File("SPOOL/"));
    ReportMailer mailer(settings);
    mailer.UseSpool(&spool, 24);
    {
        ScriptedSmtpServer server("220 ready\r\n", script);
        settings.SMTPPort = server.Port();
        mailer.DeliverMail(batch);
    }
    EXPECT_EQ(Levels(2),
              (std::vector<std::string>{
                  "監視イベント番号: 5 - メールは送信されましたが、受け付けられなかった受信者があり"
                  "ます。" +
                      refused,
                  "監視イベント番号: 5 - 一時的に受け付けられなかった受信者へのメールは保存しました"
                  "。次回のチェックから再送します。"}));
    ASSERT_EQ(spool.Waiting().size(), 1u);
    SpooledMail kept;
    ASSERT_TRUE(ParseSpoolFile(ReadFileBytes(spool.Waiting()[0]), kept));
    EXPECT_EQ(kept.recipients, std::vector<std::string>{"c@example.jp"});
    ScriptedSmtpServer later("220 ready\r\n", Accepting());
    settings.SMTPPort = later.Port();
    EXPECT_TRUE(mailer.FlushOutbox());
    EXPECT_TRUE(Logged("0 監視イベント番号: 5 - 保存されたメールが送信されました。"));
    const auto commands = later.Commands();
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                            [](const std::string& c) { return c.rfind("RCPT", 0) == 0; }),
              1);
    EXPECT_NE(std::find(commands.begin(), commands.end(), "RCPT TO:<c@example.jp>"),
              commands.end());
}

TEST_F(MailTest, KeptMailTakenButNotRemovableIsNeverSentAgain) {
    MailSpool spool(folder.File("SPOOL/"));
    ReportMailer mailer(settings);
    mailer.UseSpool(&spool, 24);
    const ReservedPort nobody;
    settings.SMTPPort = nobody.Port();
    Report(6, {"ops@example.jp"});
    Report(7, {"ops@example.jp"});
    mailer.QueueMail(batch);
    const std::vector<std::string> kept = spool.Waiting();
    ASSERT_EQ(kept.size(), 2u);
    // Read-only files refuse deletion (here even to root); the second cannot be renamed either.
    for (const std::string& path : kept) chmod(path.c_str(), 0400);
    const std::string blocker = kept[1].substr(0, kept[1].size() - 4) + ".sent/";
    ASSERT_TRUE(platform::CreateDirectory(blocker));
    WriteFileBytes(blocker + "x", "x");
    {
        ScriptedSmtpServer server("220 ready\r\n", Accepting(2));
        settings.SMTPPort = server.Port();
        EXPECT_TRUE(mailer.FlushOutbox());
    }
    EXPECT_EQ(Levels(0),
              (std::vector<std::string>{"監視イベント番号: 6 - メールが送信されました。",
                                        "監視イベント番号: 7 - メールが送信されました。"}));
    EXPECT_TRUE(platform::FileExists(kept[0].substr(0, kept[0].size() - 4) + ".sent"));
    // Neither this run nor the next sends them again.
    ReportMailer next(settings);
    next.UseSpool(&spool, 24);
    for (ReportMailer* m : {&mailer, &next}) {
        ScriptedSmtpServer server("220 ready\r\n", Accepting());
        settings.SMTPPort = server.Port();
        EXPECT_TRUE(m->FlushOutbox());
        EXPECT_TRUE(server.Commands().empty());
    }
}

namespace {

// One call of the real library's entry point for composed mail: its result, and the fate of each
// recipient.
int RawLibrary(std::uint16_t port, const std::string& to, std::string& fates, std::string& error) {
    const std::string server = "127.0.0.1:" + std::to_string(port) + ":1";
    fates.assign(static_cast<size_t>(std::count(to.begin(), to.end(), '<')), '?');
    char buffer[kBSendMailErrorSize] = {};
    const int result = RealRawLibrary()(server.c_str(), to.c_str(), "Q <q@example.jp>",
                                        "Subject: x\r\n\r\nbody\r\n", fates.data(), buffer);
    error = SjisToUtf8(buffer);
    return result;
}

}  // namespace

TEST(BsmtpPeer, FailuresByTheStepThatFailedAndRecipientsOneByOne) {
    ASSERT_NE(RealRawLibrary(), nullptr);
    std::string fates, error;
    {
        // EHLO refused, HELO taken, then the connection dropped: for now, and EHLO is not blamed.
        ScriptedSmtpServer server("220 ready\r\n", {"502 no\r\n", "250 hello\r\n", "250 sender\r\n",
                                                    "250 ok\r\n", "<354-close>"});
        EXPECT_EQ(RawLibrary(server.Port(), "<a@example.jp>", fates, error), -1) << error;
        // The message went into the socket before the close was seen: it may have arrived.
        EXPECT_EQ(fates, "U");
        EXPECT_EQ(error.find("EHLO"), std::string::npos) << error;
    }
    {
        ScriptedSmtpServer server(
            "220 ready\r\n",
            {"250 hello\r\n", "250 sender\r\n", "250 ok\r\n", "550 5.1.1 no such user\r\n",
             "450 4.2.1 busy\r\n", "354 go\r\n", "250 queued\r\n", "221 bye\r\n"});
        EXPECT_EQ(RawLibrary(server.Port(), "<a@example.jp>\t<b@example.jp>\t<c@example.jp>", fates,
                             error),
                  1);
        EXPECT_EQ(fates, "ARD");
        EXPECT_EQ(error, "b@example.jp (550 5.1.1 no such user), c@example.jp (450 4.2.1 busy)");
    }
    {
        // The reply to the message's end may come after the time-out (1 s here); the others not.
        ScriptedSmtpServer late("220 ready\r\n", {"250 hello\r\n", "250 sender\r\n", "250 ok\r\n",
                                                  "354 go\r\n", "<late>250 queued\r\n"});
        EXPECT_EQ(RawLibrary(late.Port(), "<a@example.jp>", fates, error), 1) << error;
        EXPECT_EQ(fates, "A");
        ScriptedSmtpServer silent("220 ready\r\n", {"250 hello\r\n", "250 sender\r\n", "<silent>"});
        EXPECT_EQ(RawLibrary(silent.Port(), "<a@example.jp>", fates, error), -1) << error;
        EXPECT_EQ(fates, "D");
        EXPECT_NE(error.find("タイムアウト"), std::string::npos) << error;
    }
    {
        ScriptedSmtpServer server("220 ready\r\n",
                                  {"250 hello\r\n", "550 5.7.1 sender refused\r\n", "221 bye\r\n"});
        EXPECT_EQ(RawLibrary(server.Port(), "<a@example.jp>", fates, error), 0);
        EXPECT_EQ(fates, "R");
        EXPECT_EQ(error, "MAIL FROMでエラーが返されました。550 5.7.1 sender refused");
    }
}

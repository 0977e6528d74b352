#include "notify/smtp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "notify/jconvert.h"
#include "notify/mail_message.h"
#include "platform/codepage.h"
#include "platform/pump.h"
#include "support/smtp_server.h"
#include "support/test_folder.h"

namespace {

std::unique_ptr<TNMSMTP> Client(std::uint16_t port, unsigned timeoutMs = 3000) {
    auto smtp = std::make_unique<TNMSMTP>();
    smtp->Host = "127.0.0.1";
    smtp->Port = port;
    smtp->TimeOut = timeoutMs;
    smtp->UserID = "monitor";
    return smtp;
}

std::string ErrorOf(const std::function<void()>& call, bool* socketError = nullptr) {
    try {
        call();
    } catch (const ESockError& e) {
        if (socketError) *socketError = true;
        return e.what();
    } catch (const ESmtpError& e) {
        if (socketError) *socketError = false;
        return e.what();
    }
    return "<no error>";
}

void Fill(TNMSMTP& smtp) {
    smtp.PostMessage.FromAddress = "quorvik@example.jp";
    smtp.PostMessage.FromName = "Quorvik";
    smtp.PostMessage.ToAddress = {"ops@example.jp", "Boss <boss@example.jp>"};
    smtp.PostMessage.ToBlindCarbonCopy = {"audit@example.jp"};
    smtp.PostMessage.Subject = "Disk full";
    smtp.PostMessage.Body = {"line one", ".", "..x"};
}

}  // namespace

TEST(Smtp, TheDialogueOfAGoodSend) {
    ScriptedSmtpServer server("220 mx ready\r\n",
                              {"250-mx hello\r\n250 PIPELINING\r\n", "250 reset\r\n",
                               "250 sender ok\r\n", "250 ok\r\n", "550 no such user\r\n",
                               "250 ok\r\n", "354 go ahead\r\n", "250 queued\r\n", "221 bye\r\n"});
    auto smtp = Client(server.Port());
    bool succeeded = false;
    smtp->OnSuccess = [&] { succeeded = true; };
    smtp->Connect();
    EXPECT_TRUE(smtp->Connected());
    EXPECT_EQ(smtp->ReplyNumber(), 250);  // the last line of a continued reply
    Fill(*smtp);
    // Waits process window messages; a send started from one of them returns at once.
    int pumped = 0;
    platform::SetMessagePump([&] {
        if (pumped++ == 0) smtp->SendMail();
    });
    smtp->SendMail();
    platform::SetMessagePump(nullptr);
    EXPECT_GT(pumped, 0);
    EXPECT_TRUE(succeeded);
    EXPECT_TRUE(smtp->PostMessage.ToAddress.empty());  // cleared after the send
    smtp->Disconnect();
    EXPECT_EQ(server.Commands(),
              (std::vector<std::string>{"HELO monitor", "RSET", "MAIL FROM:<quorvik@example.jp>",
                                        "RCPT TO:<ops@example.jp>", "RCPT TO:<boss@example.jp>",
                                        "RCPT TO:<audit@example.jp>", "DATA", ".", "QUIT"}));
    EXPECT_EQ(server.Data(),
              "From: Quorvik<quorvik@example.jp>\r\n"
              "To: ops@example.jp,Boss <boss@example.jp>\r\n"
              "Subject: Disk full\r\n"
              "Mime-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=us-ascii\r\n"
              "\r\n\r\n"
              "line one\r\n..\r\n...x\r\n");
}

TEST(Smtp, ServersThatSayNo) {
    {
        ScriptedSmtpServer server("554 go away\r\n", {"221 bye\r\n"});
        auto smtp = Client(server.Port());
        bool socketError = true;
        EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }, &socketError), "554 go away");
        EXPECT_FALSE(socketError);
        EXPECT_FALSE(smtp->Connected());
        EXPECT_EQ(server.Commands(), std::vector<std::string>{"QUIT"});  // disconnected politely
    }
    {
        ScriptedSmtpServer server("220 ok\r\n", {"501 who are you\r\n", "221 bye\r\n"});
        auto smtp = Client(server.Port());
        EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }), "Authentication failed");
    }
    {
        // The final "." refused: OnFailure, and the reply as the error.
        ScriptedSmtpServer server(
            "220 ok\r\n", {"250 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n",
                           "250 ok\r\n", "354 go\r\n", "552 too big\r\n"});
        auto smtp = Client(server.Port());
        bool failed = false;
        smtp->OnFailure = [&] { failed = true; };
        smtp->Connect();
        Fill(*smtp);
        EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), "552 too big");
        EXPECT_TRUE(failed);
        EXPECT_FALSE(smtp->PostMessage.ToAddress.empty());  // not cleared
    }
    {
        ScriptedSmtpServer server("220 ok\r\n", {"250 hi\r\n", "250 ok\r\n", "451 try later\r\n"});
        auto smtp = Client(server.Port());
        smtp->Connect();
        Fill(*smtp);
        EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), "451 try later");
    }
}

TEST(Smtp, SilenceClosedConnectionsAndRefusals) {
    {
        ScriptedSmtpServer server("<silent>", {});
        auto smtp = Client(server.Port(), 200);
        EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }), "Socket readln aborted");
    }
    {
        ScriptedSmtpServer server("220 ok\r\n", {"250 hi\r\n", "<close>"});
        auto smtp = Client(server.Port());
        smtp->Connect();
        Fill(*smtp);
        bool socketError = false;
        // RSET gets no reply, as the server closes: the line is empty, and the next command
        // finds the connection gone.
        EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }, &socketError),
                  "10057:Socket is not connected");
        EXPECT_TRUE(socketError);
        EXPECT_EQ(server.Commands(), (std::vector<std::string>{"HELO monitor", "RSET"}));
    }
    {
        // A port nobody listens on.
        int probe = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(probe, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
        socklen_t length = sizeof addr;
        getsockname(probe, reinterpret_cast<struct sockaddr*>(&addr), &length);
        close(probe);
        auto smtp = Client(ntohs(addr.sin_port));
        bool socketError = false;
        EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }, &socketError), "Connection Failed");
        EXPECT_TRUE(socketError);
    }
    {
        // A listener whose queue is full never completes the connection.
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
        listen(listener, 0);
        socklen_t length = sizeof addr;
        getsockname(listener, reinterpret_cast<struct sockaddr*>(&addr), &length);
        std::vector<int> fillers;
        for (int i = 0; i < 4; ++i) {
            int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(f, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
            fillers.push_back(f);
        }
        usleep(50000);
        auto smtp = Client(ntohs(addr.sin_port), 300);
        EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }), "Connection Timed out");
        for (int f : fillers) close(f);
        close(listener);
    }
    {
        auto smtp = Client(25);
        Fill(*smtp);
        EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), "Not Connected");
        smtp->Host = "no-such-host.invalid";
        EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }), "Null Remote Address");
    }
}

TEST(Smtp, SubjectsAndAttachments) {
    EXPECT_EQ(EncodeHeaderValue("Plain subject"), "Plain subject");
    std::string subject = EncodeHeaderValue(
        "Disk " + sjis(u8"障害が発生しました。サーバー監視からの通知です。ご確認ください") +
        " now");
    EXPECT_EQ(subject.substr(0, 5 + 16), "Disk =?ISO-2022-JP?B?");
    EXPECT_EQ(subject.substr(subject.size() - 6), "?= now");
    size_t start = 0;
    int lines = 0;
    for (size_t end;
         (end = subject.find("\r\n\t", start)) != std::string::npos || start < subject.size();
         ++lines) {
        if (end == std::string::npos) end = subject.size();
        std::string line = subject.substr(start, end - start);
        size_t word = line.find("=?");
        EXPECT_LE(line.size() - word, 75u) << line;
        start = end == subject.size() ? end : end + 3;
    }
    EXPECT_GE(lines, 2);  // long enough to fold

    EXPECT_EQ(TNMUUProcessor::EncodeBase64Lines(std::string(46, 'a')),
              EncodeBase64(std::string(45, 'a')) + "\r\n" + EncodeBase64("a") + "\r\n");
    EXPECT_EQ(EncodeBase64(std::string(45, 'a')).size(), 60u);

    TestFolder folder;
    WriteFileBytes(folder.File("report.bin"), std::string("\x00\x01", 2));
    TNMSMTP smtp;
    Fill(smtp);
    smtp.PostMessage.Attachments = {folder.File("report.bin")};
    std::string message = smtp.AssembleMessage();
    size_t boundaryAt = message.find("boundary=\"====================54535");
    ASSERT_NE(boundaryAt, std::string::npos);
    std::string boundary = message.substr(boundaryAt + 10, 35);
    for (size_t i = 25; i < 31; ++i)
        EXPECT_TRUE(boundary[i] >= 'a' && boundary[i] <= 'y') << boundary;
    EXPECT_EQ(boundary.substr(31), "====");
    EXPECT_NE(message.find("--" + boundary +
                           "\r\nContent-Type: application/octet-stream; name=\"report.bin\"\r\n"
                           "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; "
                           "filename=\"report.bin\"\r\n\r\nAAE=\r\n--" +
                           boundary + "--\r\n"),
              std::string::npos)
        << message;

    // A quote in a name stays inside its value; 表 ends in 0x5C and is no separator.
    WriteFileBytes(folder.File("a\"; filename=\"x.exe"), "1");
    WriteFileBytes(folder.File(platform::Utf8ToSjis("表示.log")), "2");
    smtp.PostMessage.Attachments = {folder.File("a\"; filename=\"x.exe"),
                                    folder.File(platform::Utf8ToSjis("表示.log"))};
    message = smtp.AssembleMessage();
    EXPECT_NE(message.find("filename=\"a\\\"; filename=\\\"x.exe\"\r\n"), std::string::npos)
        << message;
    EXPECT_EQ(message.find("filename=\"x.exe\""), std::string::npos);
    EXPECT_NE(message.find("filename=\"=?ISO-2022-JP?B?" +
                           EncodeBase64(ComponentJis(platform::Utf8ToSjis("表示.log"))) + "?=\""),
              std::string::npos)
        << message;
}

TEST(Smtp, ClientsCountTheSocketLibrary) {
    const int before = platform::SocketLibraryStartups();
    {
        TNMSMTP a;
        EXPECT_EQ(platform::SocketLibraryStartups(),
                  before + (TPowersock::LiveClients() == 1 ? 1 : 0));
        TNMSMTP b;
        EXPECT_EQ(TPowersock::LiveClients(), 2);
    }
    EXPECT_EQ(TPowersock::LiveClients(), 0);
    EXPECT_EQ(platform::SocketLibraryStartups(), before);
    platform::SocketLibraryStartup();  // one left over by a library
    DrainSocketLibrary();
    EXPECT_EQ(platform::SocketLibraryStartups(), 0);
    EXPECT_EQ(SocketErrorText(10061), "10061:Connection refused");
    EXPECT_EQ(SocketErrorText(12345), "Unknown Error No. 12345");
    EXPECT_EQ(SocketErrorText(0), "0:Unrecognized error code");
}

TEST(Smtp, ReplyLinesOfAnyShape) {
    ReplyReader reader;
    std::string line;
    reader.Feed(std::string(70000, 'x'));
    ASSERT_TRUE(reader.TakeLine(false, line));
    EXPECT_EQ(line.size(), 64u * 1024);  // cut at the limit rather than held for ever
    EXPECT_FALSE(reader.TakeLine(false, line));
    reader.Feed(std::string("\0\0\n250", 6));
    ASSERT_TRUE(reader.TakeLine(false, line));
    EXPECT_EQ(line, std::string(70000 - 65536, 'x') + std::string("\0\0\n", 3));
    EXPECT_FALSE(reader.TakeLine(false, line));
    ASSERT_TRUE(reader.TakeLine(true, line));  // closed: the rest
    EXPECT_EQ(line, "250");
    EXPECT_TRUE(reader.TakeLine(true, line));
    EXPECT_EQ(line, "");

    EXPECT_EQ(ReplyReader::Code("250-ok"), 250);
    EXPECT_EQ(ReplyReader::Code("x250"), 0);
    EXPECT_EQ(ReplyReader::Code("99999999999999"), 9999999999LL);  // ten digits at most
    EXPECT_TRUE(ReplyReader::Continues("250-more"));
    EXPECT_TRUE(ReplyReader::Continues(" indented"));
    EXPECT_FALSE(ReplyReader::Continues("250 last"));
    EXPECT_FALSE(ReplyReader::Continues(""));
}

TEST(Smtp, NoReplyOrAReplyWithoutItsCodeIsNoAcceptance) {
    auto sendOnce = [](std::vector<std::string> replies, bool* succeeded) {
        ScriptedSmtpServer server("220 ok\r\n", std::move(replies));
        auto smtp = Client(server.Port());
        smtp->OnSuccess = [succeeded] { *succeeded = true; };
        smtp->Connect();
        Fill(*smtp);
        return ErrorOf([&] { smtp->SendMail(); });
    };
    bool succeeded = false;
    // Gone right after 354, before the message: neither sent nor accepted.
    EXPECT_NE(sendOnce({"250 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n",
                        "250 ok\r\n", "<354-close>"},
                       &succeeded),
              "<no error>");
    EXPECT_FALSE(succeeded);
    // Gone after "." without a word.
    EXPECT_EQ(sendOnce({"250 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n",
                        "250 ok\r\n", "354 go\r\n", "<close>"},
                       &succeeded),
              "10057:Socket is not connected");
    EXPECT_FALSE(succeeded);
    // A line without a code is no acceptance of the reset.
    EXPECT_EQ(sendOnce({"250 hi\r\n", "hello there\r\n"}, &succeeded), "hello there");

    // A POP3 server on the port greets with "+OK": no connection.
    ScriptedSmtpServer pop3("+OK POP3 server ready\r\n", {"+OK\r\n"});
    auto smtp = Client(pop3.Port());
    EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }), "+OK POP3 server ready");
    EXPECT_FALSE(smtp->Connected());
}

TEST(Smtp, EveryReplyIsReadWholeAtEveryStep) {
    ScriptedSmtpServer server(
        "220-mx\r\n220 ready\r\n",
        {"250 hi\r\n", "250 reset\r\n", "250 sender\r\n",
         "550-5.1.1 No such user\r\n550-5.1.1 Please check\r\n550 5.1.1 the address\r\n",
         "250-2.1.5 ok\r\n250 2.1.5 recipient\r\n", "250 ok\r\n", "354 go\r\n", "250 queued\r\n"});
    auto smtp = Client(server.Port());
    std::vector<std::string> notFound;
    smtp->OnRecipientNotFound = [&](const std::string& a) { notFound.push_back(a); };
    bool succeeded = false;
    smtp->OnSuccess = [&] { succeeded = true; };
    smtp->Connect();
    Fill(*smtp);
    smtp->SendMail();
    EXPECT_TRUE(succeeded);
    EXPECT_EQ(notFound, std::vector<std::string>{"ops@example.jp"});
    EXPECT_EQ(server.Commands(),
              (std::vector<std::string>{"HELO monitor", "RSET", "MAIL FROM:<quorvik@example.jp>",
                                        "RCPT TO:<ops@example.jp>", "RCPT TO:<boss@example.jp>",
                                        "RCPT TO:<audit@example.jp>", "DATA", "."}));
    EXPECT_NE(server.Data().find("line one"), std::string::npos);
}

TEST(Smtp, TheTimeOutBoundsAWholeReplyAndIsNeverZero) {
    {
        // The greeting comes a byte every 100 ms: more than a second in all.
        ScriptedSmtpServer server("<trickle>220 a greeting that takes its time to arrive\r\n", {});
        auto smtp = Client(server.Port(), 1000);
        EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }), "Socket readln aborted");
    }
    {
        // Continuation lines without end, never a pause in them.
        ScriptedSmtpServer server("<flood>", {});
        auto smtp = Client(server.Port(), 1000);
        EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }), "Socket readln aborted");
    }
    {
        // A time-out of 0, as the settings allow, still leaves the server time to answer.
        ScriptedSmtpServer server("220 ok\r\n", {"250 hi\r\n", "221 bye\r\n"});
        auto smtp = Client(server.Port(), 0);
        EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }), "<no error>");
        smtp->Disconnect();
    }
}

TEST(Smtp, AnAttachmentThatCannotBeReadFailsItsMail) {
    TestFolder folder;
    ScriptedSmtpServer server("220 ok\r\n", {"250 hi\r\n"});
    auto smtp = Client(server.Port());
    smtp->Connect();
    Fill(*smtp);
    smtp->PostMessage.Attachments = {folder.File("gone.log")};
    const std::string error = ErrorOf([&] { smtp->SendMail(); });
    EXPECT_NE(error.find(folder.File("gone.log")), std::string::npos) << error;
    EXPECT_EQ(server.Commands(), std::vector<std::string>{"HELO monitor"});  // nothing sent
}

namespace {

// Checks the lines of a message: at most 998 bytes, 7-bit, each ending in ASCII mode.
void ExpectWellFormedLines(const std::string& message) {
    size_t start = 0;
    while (start < message.size()) {
        size_t end = message.find("\r\n", start);
        if (end == std::string::npos) end = message.size();
        const std::string line = message.substr(start, end - start);
        EXPECT_LE(line.size(), 998u);
        bool doubleByte = false;
        for (size_t i = 0; i < line.size(); ++i) {
            ASSERT_LT(static_cast<unsigned char>(line[i]), 0x80);
            if (line[i] == '\x1b' && i + 2 < line.size()) doubleByte = line[i + 1] == '$';
        }
        EXPECT_FALSE(doubleByte) << line.substr(0, 40);
        start = end + 2;
    }
}

}  // namespace

TEST(Smtp, LongLinesAreFoldedOrBrokenAndHeadersStayHeaders) {
    TNMSMTP smtp;
    Fill(smtp);
    smtp.PostMessage.ToAddress.clear();
    for (int i = 0; i < 300; ++i) {
        smtp.PostMessage.ToAddress.push_back("person" + std::to_string(i) + "@example.jp");
    }
    std::string kanji;
    for (int i = 0; i < 600; ++i) kanji += sjis(u8"漢");
    smtp.PostMessage.Subject = kanji + "\r\nBcc: everyone@example.jp";
    smtp.PostMessage.FromName = CreateHeaderString(kanji + "\xB6\xDE\nX-Evil: 1");
    smtp.PostMessage.Body = {sjis2jis83(kanji), std::string(1500, 'a')};
    const std::string message = smtp.AssembleMessage();
    ExpectWellFormedLines(message);
    // A line break in the subject or sender name starts no header line of its own.
    EXPECT_EQ(message.find("\r\nBcc:"), std::string::npos);
    EXPECT_EQ(message.find("\r\nX-Evil:"), std::string::npos);
    // Every encoded word is a whole ISO-2022-JP text: it ends in ASCII and splits no character.
    for (size_t at = message.find("=?ISO-2022-JP?B?"); at != std::string::npos;
         at = message.find("=?ISO-2022-JP?B?", at + 1)) {
        const size_t end = message.find("?=", at + 16);
        const std::string word = message.substr(at, end + 2 - at);
        EXPECT_LE(word.size(), 75u);
        std::string bytes;
        // Decode the Base64 by hand: the test must not trust our encoder.
        static const std::string kAlphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        unsigned bits = 0;
        int count = 0;
        for (char c : message.substr(at + 16, end - at - 16)) {
            if (c == '=') break;
            bits = (bits << 6) | static_cast<unsigned>(kAlphabet.find(c));
            if ((count += 6) >= 8) bytes += static_cast<char>((bits >> (count -= 8)) & 0xFF);
        }
        ASSERT_GE(bytes.size(), 3u);
        EXPECT_EQ(bytes.substr(bytes.size() - 3), "\x1b(B") << word;
        const size_t first = bytes.find("\x1b$B");
        if (first != std::string::npos) {
            EXPECT_EQ((bytes.size() - 6 - first) % 2, 0u) << word;
        }
    }
}

TEST(Smtp, TheDrainCountsWhatItReleased) {
    EXPECT_EQ(DrainSocketLibrary(), 0);
    platform::SocketLibraryStartup();
    platform::SocketLibraryStartup();
    EXPECT_EQ(DrainSocketLibrary(), 2);
}

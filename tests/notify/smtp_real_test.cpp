// The SMTP client against a real server (aiosmtpd), its mail read back with Python's email
// package.
#include <gtest/gtest.h>

#include <memory>

#include "notify/jconvert.h"
#include "notify/smtp.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "support/machine_folder.h"
#include "support/mail_server.h"
#include "support/test_folder.h"

namespace {

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

std::unique_ptr<TNMSMTP> ConnectedClient(const MailServer& server) {
    auto smtp = std::make_unique<TNMSMTP>();
    smtp->Host = "127.0.0.1";
    smtp->Port = server.Port();
    smtp->TimeOut = 5000;
    smtp->UserID = "quorvik";
    smtp->Charset = "ISO-2022-JP";
    smtp->Connect();
    return smtp;
}

}  // namespace

TEST(SmtpPeer, JapaneseSubjectBodyAndAttachmentsSurviveTheRoundTrip) {
    TestFolder folder;
    MailServer server(folder.Path());
    ASSERT_TRUE(server.Started());

    const std::string subject = sjis(
        u8"【監視】ディスク障害が発生しました サーバー ＰＣ０１ のシステムログを確認してください "
        u8"ｶﾀｶﾅ");
    const std::vector<std::string> body = {sjis(u8"ディスク C: の空き容量がありません。"),
                                           sjis(u8"半角カナ ｶﾞｷﾞﾊﾟﾋﾟｳﾞ ﾃｽﾄ"), ".", "plain line"};
    WriteFileBytes(folder.File("empty.txt"), "");
    std::string binary;
    for (int i = 0; i < 46; ++i) binary += static_cast<char>(i * 37 + 1);
    WriteFileBytes(folder.File("data.bin"), binary);

    auto client = ConnectedClient(server);
    TNMSMTP& smtp = *client;
    smtp.PostMessage.FromAddress = "quorvik@example.jp";
    smtp.PostMessage.FromName = CreateHeaderString(sjis(u8"監視サーバー"));
    smtp.PostMessage.ToAddress = {"ops@example.jp"};
    smtp.PostMessage.Subject = subject;
    // As the mail reports convert their text: each line ends in single-byte mode.
    for (const std::string& line : body) {
        std::string jis = sjis2jis83(line + "\r\n");
        smtp.PostMessage.Body.push_back(jis.substr(0, jis.size() - 2));
    }
    smtp.PostMessage.Attachments = {folder.File("empty.txt"), folder.File("data.bin")};
    smtp.SendMail();
    smtp.Disconnect();

    const std::string mail = server.WaitForMail(1);
    ASSERT_FALSE(mail.empty());
    const std::string decoded = server.Decode(mail);
    // ISO-2022-JP has no half-width katakana: they arrive as their full-width forms, voiced
    // marks combined. The last line break of the text belongs to the boundary.
    const std::string expectedSubject = Utf8(
        u8"【監視】ディスク障害が発生しました サーバー ＰＣ０１ のシステムログを確認してください "
        u8"カタカナ");
    const std::string expectedBody = Utf8(
        u8"ディスク C: の空き容量がありません。\r\n半角カナ ガギパピヴ テスト\r\n.\r\nplain line");
    // Python's reader puts a blank between an encoded word and the text after it.
    EXPECT_EQ(decoded, "subject " + HexOf(expectedSubject) + "\n" + "from " +
                           HexOf(Utf8(u8"監視サーバー <quorvik@example.jp>")) + "\n" + "body " +
                           HexOf(expectedBody) + "\n" + "attachment empty.txt \n" +
                           "attachment data.bin " + HexOf(binary) + "\n");
    EXPECT_EQ(ReadFileBytes(folder.File("mail1.rcpt")), "ops@example.jp");
}

TEST(SmtpPeer, LongLinesIbmKanjiAndManyRecipientsArriveWhole) {
    TestFolder folder;
    MailServer server(folder.Path());
    ASSERT_TRUE(server.Started());
    auto smtp = ConnectedClient(server);
    std::string kanji;
    for (int i = 0; i < 600; ++i) kanji += sjis(u8"障");
    // 髙 and 﨑 are IBM extensions (FBFC, FAB1); F040 is user-defined and has no JIS form.
    const std::string names = sjis(u8"髙橋 﨑 ⅰ №");
    smtp->PostMessage.FromAddress = "quorvik@example.jp";
    smtp->PostMessage.FromName = CreateHeaderString(sjis(u8"監視") + "\xB6\xDE\xC0");
    for (int i = 0; i < 300; ++i) {
        smtp->PostMessage.ToAddress.push_back("person" + std::to_string(i) + "@example.jp");
    }
    smtp->PostMessage.Subject = names + " " + kanji;
    for (const std::string& line : {names, kanji, std::string("\xF0\x40")}) {
        std::string jis = sjis2jis83(line + "\r\n");
        smtp->PostMessage.Body.push_back(jis.substr(0, jis.size() - 2));
    }
    smtp->SendMail();
    smtp->Disconnect();
    const std::string mail = server.WaitForMail(1);
    ASSERT_FALSE(mail.empty());
    const std::string decoded = server.Decode(mail);
    const std::string expectedNames = Utf8(u8"髙橋 﨑 ⅰ №");
    std::string expectedKanji;
    for (int i = 0; i < 600; ++i) expectedKanji += Utf8(u8"障");
    // The 600 kanji come back as one text: the line was broken where it passed 998 bytes.
    // The body starts with an empty line, and ends with the line break before the end of data.
    const std::string body =
        "\r\n" + expectedNames + "\r\n" + expectedKanji + "\r\n" + Utf8(u8"〓") + "\r\n";
    std::string broken = decoded.substr(decoded.find("body ") + 5);
    broken = broken.substr(0, broken.find('\n'));
    std::string bodyText;
    for (size_t i = 0; i + 1 < broken.size(); i += 2) {
        bodyText += static_cast<char>(std::stoi(broken.substr(i, 2), nullptr, 16));
    }
    std::string joined;
    for (size_t i = 0; i < bodyText.size(); ++i) {
        // Lines broken inside the kanji: join them back to compare.
        if (bodyText.compare(i, 2, "\r\n") == 0 && i >= 3 &&
            bodyText.compare(i - 3, 3, Utf8(u8"障")) == 0 &&
            bodyText.compare(i + 2, 3, Utf8(u8"障")) == 0) {
            ++i;
            continue;
        }
        joined += bodyText[i];
    }
    EXPECT_TRUE(joined == body) << joined.substr(0, 200);
    EXPECT_NE(decoded.find("subject " + HexOf(expectedNames + " " + expectedKanji) + "\n"),
              std::string::npos);
    EXPECT_NE(decoded.find("from " + HexOf(Utf8(u8"監視ガタ <quorvik@example.jp>")) + "\n"),
              std::string::npos)
        << decoded;
    std::string recipients = ReadFileBytes(folder.File("mail1.rcpt"));
    EXPECT_EQ(std::count(recipients.begin(), recipients.end(), '\n'), 299);
}

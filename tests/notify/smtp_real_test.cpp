// The SMTP client against a real server (aiosmtpd), its mail read back with Python's email
// package.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "notify/jconvert.h"
#include "notify/smtp.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "support/machine_folder.h"

namespace {

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

bool WaitForFile(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        if (platform::FileExists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

TEST(SmtpPeer, JapaneseSubjectBodyAndAttachmentsSurviveTheRoundTrip) {
    TestFolder folder;
    const std::string support = QUORVIK_TEST_SUPPORT;
    std::string port;
    ASSERT_EQ(
        RunCommand(
            "/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind((\"127.0.0.1\",0)); "
            "print(s.getsockname()[1], end=\"\")'",
            &port),
        0);
    std::string pid;
    ASSERT_EQ(RunCommand("/usr/bin/python3 '" + support + "/smtp_sink.py' '" + folder.Path() +
                             "' " + port + " >/dev/null 2>&1 & echo -n $!",
                         &pid),
              0);
    ASSERT_FALSE(pid.empty());
    struct Stop {
        pid_t pid;
        ~Stop() { kill(pid, SIGTERM); }
    } stop{static_cast<pid_t>(std::stoi(pid))};
    ASSERT_TRUE(WaitForFile(folder.File("ready")));

    const std::string subject = sjis(
        u8"【監視】ディスク障害が発生しました サーバー ＰＣ０１ のシステムログを確認してください "
        u8"ｶﾀｶﾅ");
    const std::vector<std::string> body = {sjis(u8"ディスク C: の空き容量がありません。"),
                                           sjis(u8"半角カナ ｶﾞｷﾞﾊﾟﾋﾟｳﾞ ﾃｽﾄ"), ".", "plain line"};
    WriteFileBytes(folder.File("empty.txt"), "");
    std::string binary;
    for (int i = 0; i < 46; ++i) binary += static_cast<char>(i * 37 + 1);
    WriteFileBytes(folder.File("data.bin"), binary);

    TNMSMTP smtp;
    smtp.Host = "127.0.0.1";
    smtp.Port = static_cast<std::uint16_t>(std::stoi(port));
    smtp.TimeOut = 5000;
    smtp.UserID = "quorvik";
    smtp.Charset = "ISO-2022-JP";
    smtp.Connect();
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

    ASSERT_TRUE(WaitForFile(folder.File("mail1.eml")));
    std::string decoded;
    ASSERT_EQ(RunCommand("/usr/bin/python3 '" + support + "/parse_mail.py' '" +
                             folder.File("mail1.eml") + "'",
                         &decoded),
              0);
    // ISO-2022-JP has no half-width katakana: they arrive as their full-width forms, voiced
    // marks combined. The last line break of the text belongs to the boundary.
    const std::string expectedSubject = Utf8(
        u8"【監視】ディスク障害が発生しました サーバー ＰＣ０１ のシステムログを確認してください "
        u8"カタカナ");
    const std::string expectedBody = Utf8(
        u8"ディスク C: の空き容量がありません。\r\n半角カナ ガギパピヴ テスト\r\n.\r\nplain line");
    // Python's reader puts a blank between an encoded word and the text after it.
    EXPECT_EQ(decoded, "subject " + Hex(expectedSubject) + "\n" + "from " +
                           Hex(Utf8(u8"監視サーバー <quorvik@example.jp>")) + "\n" + "body " +
                           Hex(expectedBody) + "\n" + "attachment empty.txt \n" +
                           "attachment data.bin " + Hex(binary) + "\n");
    EXPECT_EQ(ReadFileBytes(folder.File("mail1.rcpt")), "ops@example.jp");
}

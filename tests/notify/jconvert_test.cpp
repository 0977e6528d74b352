#include "notify/jconvert.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/matching.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "support/machine_folder.h"
#include "support/test_folder.h"

TEST(Jconvert, ShiftJisToJis) {
    EXPECT_EQ(sjis2jis83("plain ASCII\r\n"), "plain ASCII\r\n");
    // Two kanji and CR LF: ESC $B, four JIS bytes, ESC (J, CR, LF.
    EXPECT_EQ(sjis2jis83(sjis(u8"監視\r\n")), "\x1b$B\x34\x46\x3B\x6B\x1b(J\r\n");
    // Half-width katakana with voiced and semi-voiced marks, and a lone mark.
    EXPECT_EQ(sjis2jis83("\xB6\xDE"), "\x1b$B\x25\x2C");
    EXPECT_EQ(sjis2jis83("\xCA\xDF"), "\x1b$B\x25\x51");
    EXPECT_EQ(sjis2jis83("\xB3\xDE"), "\x1b$B\x25\x74");
    EXPECT_EQ(sjis2jis83("\xDF"), "\x1b$B\x21\x2C");
    EXPECT_EQ(sjis2jis83("\xB1\xDE"), "\x1b$B\x25\x22\x21\x2B");  // no voiced form of ｱ
    EXPECT_EQ(sjis2jis83("\xA1"), "\x1b$B\x21\x23");
    // A lead byte without its trail byte is 〓, not 8-bit bytes; no closing escape at the end.
    EXPECT_EQ(sjis2jis83("a\x88"), "a\x1b$B\x22\x2E");
    EXPECT_EQ(ToJis(0x82, 0xA0), "\x24\x22");  // あ
    EXPECT_EQ(ToJis(0xE0, 0x40), "\x5F\x21");
    // Every byte pair converts without fault.
    for (int a = 0x80; a < 0x100; ++a) {
        for (int b = 0; b < 0x100; b += 5)
            sjis2jis83(std::string{static_cast<char>(a), static_cast<char>(b)});
    }
}

TEST(Jconvert, HeaderWordsAndBase64) {
    EXPECT_EQ(CreateHeaderString("Quorvik Server"), "Quorvik Server");
    // Letters, kanji, letters: one encoded word, no blanks added; the word ends in ASCII, as a
    // whole ISO-2022-JP text.
    EXPECT_EQ(CreateHeaderString("ab" + sjis(u8"監視") + "cd"),
              "ab=?ISO-2022-JP?B?" + EncodeBase64("\x1b$B\x34\x46\x3B\x6B\x1b(B") + "?=cd");
    // Half-width katakana travel full-width, as in the body.
    EXPECT_EQ(CreateHeaderString("\xB6\xDE"),
              "=?ISO-2022-JP?B?" + EncodeBase64("\x1b$B\x25\x2C\x1b(B") + "?=");
    EXPECT_EQ(EncodeBase64(""), "");
    EXPECT_EQ(EncodeBase64("a"), "YQ==");
    EXPECT_EQ(EncodeBase64("ab"), "YWI=");
    EXPECT_EQ(EncodeBase64("abc"), "YWJj");
    EXPECT_EQ(EncodeBase64(std::string("\x00\xff\xfe\x10", 4)), "AP/+EA==");
}

TEST(JconvertPeer, EveryDoubleByteCodeTravelsAsSevenBitJisThatReadersDecode) {
    TestFolder folder;
    // One code a line, all 11,280 of them.
    std::vector<std::string> codes;
    std::string text;
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!platform::IsDBCSLeadByte(static_cast<unsigned char>(lead))) continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail == 0x7F) continue;
            codes.push_back({static_cast<char>(lead), static_cast<char>(trail)});
            text += codes.back() + "\r\n";
        }
    }
    ASSERT_EQ(codes.size(), 11280u);
    const std::string jis = sjis2jis83(text);
    for (unsigned char c : jis) ASSERT_LT(c, 0x80);
    WriteFileBytes(folder.File("mail.jis"), jis);
    ASSERT_EQ(RunCommand("node '" + std::string(QUORVIK_TEST_SUPPORT) + "/decode_iso2022jp.js' '" +
                         folder.File("mail.jis") + "' '" + folder.File("mail.txt") + "'"),
              0);
    const std::string decoded = ReadFileBytes(folder.File("mail.txt"));
    // Where JIS X 0208 and code page 932 name one glyph with two characters, readers give the
    // JIS one: the known variants.
    const std::map<std::string, std::string> variants = {
        {"～", "〜"}, {"∥", "‖"}, {"－", "−"}, {"￠", "¢"}, {"￡", "£"}, {"￢", "¬"}, {"―", "—"}};
    size_t pos = 0, assigned = 0;
    for (const std::string& code : codes) {
        const size_t end = decoded.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        const std::string got = decoded.substr(pos, end - pos);
        pos = end + 2;
        const auto lead = static_cast<unsigned char>(code[0]);
        const bool userDefined = lead >= 0xF0 && lead <= 0xF9;
        if (userDefined ||
            platform::SjisPairCharacter(lead, static_cast<unsigned char>(code[1])) == 0) {
            EXPECT_EQ(got, "〓") << platform::ToHex(code);
            continue;
        }
        ++assigned;
        const std::string expected = platform::SjisToUtf8(code);
        auto variant = variants.find(expected);
        EXPECT_TRUE(got == expected || (variant != variants.end() && got == variant->second))
            << platform::ToHex(code) << " " << expected << " came back as " << got;
    }
    EXPECT_GT(assigned, 7000u);
}

TEST(JconvertPeer, EventTextCannotChangeTheMail) {
    // A sender's escape sequence, a host name with a line of its own, a bell and a NUL, through
    // the report text, the body's encoding and a mail reader's decoder.
    EventRecord r;
    r.ComputerName = "web01\r\nBcc: victim@example.jp";
    r.SourceName = "app\x1b(B";
    r.User = "N/A";
    r.Category = "x";
    static const char kDescription[] = "forged \x1b$B%3%s%T%e!<%?\x1b(B end\x07\r\nsecond\0after";
    r.Description = std::string(kDescription, sizeof kDescription - 1);
    const std::string text = MakeReportText("Syslog", r, std::string());
    TestFolder folder;
    WriteFileBytes(folder.File("mail.jis"), sjis2jis83(text));
    ASSERT_EQ(RunCommand("node '" + std::string(QUORVIK_TEST_SUPPORT) + "/decode_iso2022jp.js' '" +
                         folder.File("mail.jis") + "' '" + folder.File("mail.txt") + "'"),
              0);
    const std::string decoded = ReadFileBytes(folder.File("mail.txt"));
    EXPECT_NE(decoded.find("コンピュータ：web01<CR><LF>Bcc: victim@example.jp\r\n"),
              std::string::npos)
        << decoded;
    EXPECT_NE(decoded.find("ソース：app<ESC>(B\r\n"), std::string::npos) << decoded;
    EXPECT_NE(decoded.find("forged <ESC>$B%3%s%T%e!<%?<ESC>(B end<07>\r\nsecond<NUL>after"),
              std::string::npos)
        << decoded;
    EXPECT_EQ(decoded.find("\xEF\xBF\xBD"), std::string::npos) << decoded;  // no U+FFFD
}

#include "notify/jconvert.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"

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
    // A lead byte at the very end takes 0 as its trail byte; no closing escape at the end.
    EXPECT_EQ(sjis2jis83("a\x88"), std::string("a\x1b$B") + ToJis(0x88, 0));
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
    // Letters, kanji, letters: one encoded word, no blanks added.
    EXPECT_EQ(CreateHeaderString("ab" + sjis(u8"監視") + "cd"),
              "ab=?ISO-2022-JP?B?" + EncodeBase64("\x1b$B\x34\x46\x3B\x6B") + "?=cd");
    EXPECT_EQ(CreateHeaderString("\xB6\xDE"), "\xB6\xDE");  // half-width katakana are single-byte
    EXPECT_EQ(EncodeBase64(""), "");
    EXPECT_EQ(EncodeBase64("a"), "YQ==");
    EXPECT_EQ(EncodeBase64("ab"), "YWI=");
    EXPECT_EQ(EncodeBase64("abc"), "YWJj");
    EXPECT_EQ(EncodeBase64(std::string("\x00\xff\xfe\x10", 4)), "AP/+EA==");
}

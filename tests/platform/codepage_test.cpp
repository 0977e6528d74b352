#include "platform/codepage.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <random>

using namespace platform;

TEST(Codepage, LeadBytesOfCp932) {
    for (int b : {0x81, 0x9F, 0xE0, 0xFC}) EXPECT_TRUE(IsDBCSLeadByte(b)) << b;
    // Half-width katakana (A1-DF), ASCII and the gaps are single bytes.
    for (int b : {0x00, 0x40, 0x7F, 0x80, 0xA0, 0xA1, 0xDF, 0xFD, 0xFF}) {
        EXPECT_FALSE(IsDBCSLeadByte(b)) << b;
    }
}

TEST(Codepage, RoundTripsJapaneseThroughUtf8AndUtf16) {
    const std::string utf8 = reinterpret_cast<const char*>(u8"監視イベント番号: ｶﾀｶﾅ ～ × ①");
    std::string s = Utf8ToSjis(utf8);
    // "監" is 8A C4 in code page 932; "～" is the full-width tilde 81 60 there.
    EXPECT_EQ(s.substr(0, 2), "\x8A\xC4");
    EXPECT_NE(s.find("\x81\x60"), std::string::npos);
    EXPECT_EQ(SjisToUtf8(s), utf8);
    EXPECT_EQ(Utf16ToSjis(SjisToUtf16(s)), s);
    EXPECT_EQ(sjis(u8"×"), "\x81\x7E");
}

TEST(Codepage, InvalidInputBecomesReplacementNeverCrashes) {
    // A lone lead byte at the end, an unassigned pair, then ASCII again.
    std::u16string u = SjisToUtf16(std::string("a\x85\x40z\x81", 5));
    EXPECT_EQ(u, std::u16string(u"a\u30FBz\u30FB"));
    // A lead byte followed by a byte that cannot be a trail byte: one replacement, then the byte.
    EXPECT_EQ(SjisToUtf16(std::string("\x81\x0A", 2)), std::u16string(u"\u30FB\n"));
    // Characters without a CP932 form, lone surrogates and broken UTF-8 become '?'.
    EXPECT_EQ(Utf16ToSjis(u"x\U0001F600y\xD800"), "x?y?");
    EXPECT_EQ(Utf8ToSjis("a\xC3"
                         "b\xE3\x81"),
              "a?b?");
    // Every byte pair converts without fault.
    for (int hi = 0; hi < 256; ++hi) {
        for (int lo = 0; lo < 256; lo += 7) {
            std::string pair{static_cast<char>(hi), static_cast<char>(lo)};
            EXPECT_FALSE(SjisToUtf8(pair).empty());
        }
    }
}

TEST(Codepage, PrefixNeverSplitsADoubleByteCharacter) {
    std::string s = "ab" + sjis(u8"監視");  // 2 + 4 bytes
    EXPECT_EQ(SjisPrefixLength(s, 3), 2u);
    EXPECT_EQ(SjisPrefixLength(s, 4), 4u);
    EXPECT_EQ(SjisPrefixLength(s, 5), 4u);
    EXPECT_EQ(SjisPrefixLength(s, 100), 6u);
}

namespace {

std::string Iconv(const char* to, const char* from, const std::string& in, bool& ok) {
    iconv_t cd = iconv_open(to, from);
    char buffer[16];
    char* src = const_cast<char*>(in.data());
    char* dst = buffer;
    size_t left = in.size(), room = sizeof buffer;
    ok = iconv(cd, &src, &left, &dst, &room) != static_cast<size_t>(-1) && left == 0;
    iconv_close(cd);
    return std::string(buffer, dst);
}

}  // namespace

TEST(Codepage, EveryCharacterConvertsAsGlibcsConverterDoes) {
    // Every byte pair decodes as the system converter decodes it (or to the replacement).
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!IsDBCSLeadByte(static_cast<unsigned char>(lead))) continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail == 0x7F) continue;
            const std::string pair{static_cast<char>(lead), static_cast<char>(trail)};
            bool ok = false;
            const std::string expected = Iconv("UTF-8", "CP932", pair, ok);
            EXPECT_EQ(SjisToUtf8(pair), ok ? expected : "\xE3\x83\xBB") << lead << " " << trail;
        }
    }
    // Every character of the BMP encodes as the converter encodes it, or to '?'.
    for (char32_t c = 0x80; c <= 0xFFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        std::string utf8;
        utf8 += static_cast<char>(0xE0 | (c >> 12));
        utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
        if (c < 0x800)
            utf8 = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
        bool ok = false;
        const std::string expected = Iconv("CP932", "UTF-8", utf8, ok);
        ASSERT_EQ(Utf8ToSjis(utf8), ok ? expected : "?") << std::hex << static_cast<unsigned>(c);
    }
}

TEST(Codepage, FileNamesSurviveTheRoundTripWhateverTheyHold) {
    // Characters code page 932 has travel as themselves; others, and bytes that are no UTF-8 at
    // all, come back as they were.
    EXPECT_EQ(NativeToPath(reinterpret_cast<const char*>(u8"ログ/日本語")), sjis(u8"ログ/日本語"));
    for (const std::string& name :
         {std::string(reinterpret_cast<const char*>(u8"café")), std::string("caf\xE9"),
          std::string(reinterpret_cast<const char*>(u8"¥100")),  // CP932 maps it one way only
          std::string("\xEE\x80\x80"),                           // U+E000, a user-defined code
          std::string(reinterpret_cast<const char*>(u8"😀 e\u0301"))}) {
        const std::string path = NativeToPath(name);
        EXPECT_EQ(path.find('?'), std::string::npos) << name;
        EXPECT_EQ(PathToNative(path), name);
    }
    std::mt19937 random(5);
    for (int round = 0; round < 5000; ++round) {
        std::string bytes(1 + random() % 12, '\0');
        for (char& c : bytes) c = static_cast<char>(1 + random() % 255);
        ASSERT_EQ(PathToNative(NativeToPath(bytes)), bytes);
    }
}

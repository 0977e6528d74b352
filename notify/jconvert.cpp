#include "notify/jconvert.h"

#include "platform/codepage.h"

namespace {

constexpr char kToDoubleByte[] = "\x1b$B";
constexpr char kToJisRoman[] = "\x1b(J";

// JIS X 0208 cells of the half-width katakana A1..DF (row 0x21 for the marks, 0x25 for kana).
struct KanaCell {
    unsigned char row, cell;
};
const KanaCell kKana[63] = {
    {0x21, 0x23}, {0x21, 0x56}, {0x21, 0x57}, {0x21, 0x22}, {0x21, 0x26},  // ｡｢｣､･
    {0x25, 0x72}, {0x25, 0x21}, {0x25, 0x23}, {0x25, 0x25}, {0x25, 0x27}, {0x25, 0x29},  // ｦｧｨｩｪｫ
    {0x25, 0x63}, {0x25, 0x65}, {0x25, 0x67}, {0x25, 0x43},                // ｬｭｮｯ
    {0x21, 0x3C},                                                          // ｰ
    {0x25, 0x22}, {0x25, 0x24}, {0x25, 0x26}, {0x25, 0x28}, {0x25, 0x2A},  // ｱｲｳｴｵ
    {0x25, 0x2B}, {0x25, 0x2D}, {0x25, 0x2F}, {0x25, 0x31}, {0x25, 0x33},  // ｶｷｸｹｺ
    {0x25, 0x35}, {0x25, 0x37}, {0x25, 0x39}, {0x25, 0x3B}, {0x25, 0x3D},  // ｻｼｽｾｿ
    {0x25, 0x3F}, {0x25, 0x41}, {0x25, 0x44}, {0x25, 0x46}, {0x25, 0x48},  // ﾀﾁﾂﾃﾄ
    {0x25, 0x4A}, {0x25, 0x4B}, {0x25, 0x4C}, {0x25, 0x4D}, {0x25, 0x4E},  // ﾅﾆﾇﾈﾉ
    {0x25, 0x4F}, {0x25, 0x52}, {0x25, 0x55}, {0x25, 0x58}, {0x25, 0x5B},  // ﾊﾋﾌﾍﾎ
    {0x25, 0x5E}, {0x25, 0x5F}, {0x25, 0x60}, {0x25, 0x61}, {0x25, 0x62},  // ﾏﾐﾑﾒﾓ
    {0x25, 0x64}, {0x25, 0x66}, {0x25, 0x68},                              // ﾔﾕﾖ
    {0x25, 0x69}, {0x25, 0x6A}, {0x25, 0x6B}, {0x25, 0x6C}, {0x25, 0x6D},  // ﾗﾘﾙﾚﾛ
    {0x25, 0x6F}, {0x25, 0x73},                                            // ﾜﾝ
    {0x21, 0x2B}, {0x21, 0x2C},                                            // ﾞﾟ
};

}  // namespace

std::string ToJis(unsigned char lead, unsigned char trail) {
    unsigned row = (lead < 0xA0 ? 2u * lead - 0xE0u : 2u * lead - 0x60u) & 0xFF;
    unsigned cell;
    if (trail <= 0x9E) {
        row = (row - 1) & 0xFF;
        cell = trail >= 0x80 ? trail - 0x20u : trail - 0x1Fu;
    } else {
        cell = trail - 0x7Eu;
    }
    return {static_cast<char>(row), static_cast<char>(cell & 0xFF)};
}

std::string HalfWidthKatakanaToJis(std::string_view text, size_t i, size_t* used) {
    const auto b = static_cast<unsigned char>(text[i]);
    KanaCell k = kKana[b - 0xA1];
    *used = 1;
    if (i + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[i + 1]);
        if (b == 0xB3 && next == 0xDE) {
            k = {0x25, 0x74};  // ヴ
            *used = 2;
        } else if (next == 0xDE && ((b >= 0xB6 && b <= 0xC4) || (b >= 0xCA && b <= 0xCE))) {
            k.cell += 1;
            *used = 2;
        } else if (next == 0xDF && b >= 0xCA && b <= 0xCE) {
            k.cell += 2;
            *used = 2;
        }
    }
    return {static_cast<char>(k.row), static_cast<char>(k.cell)};
}

std::string ShiftJisToJis(std::string_view text, std::string_view toSingleByte, bool closeAtEnd) {
    std::string out;
    out.reserve(text.size() + 16);
    bool doubleByte = false;
    size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            if (doubleByte) {
                out += toSingleByte;
                doubleByte = false;
            }
            out += static_cast<char>(b);
            ++i;
            continue;
        }
        if (!doubleByte) {
            out += kToDoubleByte;
            doubleByte = true;
        }
        if (b >= 0xA1 && b <= 0xDF) {
            size_t used = 1;
            out += HalfWidthKatakanaToJis(text, i, &used);
            i += used;
        } else {
            // The trail byte missing at the very end counts as 0.
            const auto trail = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
            out += ToJis(b, trail);
            i += 2;
        }
    }
    if (doubleByte && closeAtEnd) out += toSingleByte;
    return out;
}

std::string sjis2jis83(std::string_view text) {
    // No escape at the end: report texts end with a line break, which closes their last line.
    return ShiftJisToJis(text, kToJisRoman, false);
}

std::string CreateHeaderString(std::string_view text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t start = i;
        if (platform::IsDBCSLeadByte(static_cast<unsigned char>(text[i]))) {
            while (i < text.size() &&
                   platform::IsDBCSLeadByte(static_cast<unsigned char>(text[i]))) {
                i = std::min(i + 2, text.size());
            }
            out +=
                "=?ISO-2022-JP?B?" + EncodeBase64(sjis2jis83(text.substr(start, i - start))) + "?=";
        } else {
            while (i < text.size() &&
                   !platform::IsDBCSLeadByte(static_cast<unsigned char>(text[i])))
                ++i;
            out.append(text.substr(start, i - start));
        }
    }
    return out;
}

std::string EncodeBase64(std::string_view bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (two ? static_cast<unsigned char>(bytes[i + 1]) << 8 : 0);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += two ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

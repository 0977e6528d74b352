#include "notify/jconvert.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

#include "platform/codepage.h"

namespace {

constexpr char kToDoubleByte[] = "\x1b$B";
constexpr char kToJisRoman[] = "\x1b(J";
constexpr char kToAscii[] = "\x1b(B";

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

namespace {

constexpr char kGeta[] = "\x22\x2E";  // 〓, for a code that has no JIS form

bool IsTrail(unsigned char b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }

// For each IBM extension (FA40-FC4B) the code of the same character among the codes JIS mail
// carries: a JIS X 0208 code, else NEC row 13 (87xx), else the NEC-selected rows (ED40-EEFC).
// Windows maps them so before it converts to ISO-2022-JP.
class IbmEquivalents {
public:
    static const IbmEquivalents& Get() {
        static const IbmEquivalents map;
        return map;
    }
    // The equivalent code (lead << 8 | trail), 0 when there is none.
    std::uint16_t Of(unsigned char lead, unsigned char trail) const {
        auto it = m_map.find(static_cast<std::uint16_t>(lead << 8 | trail));
        return it == m_map.end() ? 0 : it->second;
    }

private:
    IbmEquivalents() {
        std::unordered_map<char16_t, std::uint16_t> standard, row13, necSelected;
        for (int lead = 0x81; lead <= 0xEE; ++lead) {
            if (!platform::IsDBCSLeadByte(static_cast<unsigned char>(lead))) continue;
            for (int trail = 0x40; trail <= 0xFC; ++trail) {
                const char16_t c = platform::SjisPairCharacter(static_cast<unsigned char>(lead),
                                                               static_cast<unsigned char>(trail));
                if (c == 0) continue;
                auto& group = lead == 0x87 ? row13 : lead >= 0xED ? necSelected : standard;
                group.emplace(c, static_cast<std::uint16_t>(lead << 8 | trail));
            }
        }
        for (int lead = 0xFA; lead <= 0xFC; ++lead) {
            for (int trail = 0x40; trail <= 0xFC; ++trail) {
                const char16_t c = platform::SjisPairCharacter(static_cast<unsigned char>(lead),
                                                               static_cast<unsigned char>(trail));
                if (c == 0) continue;
                for (const auto* group : {&standard, &row13, &necSelected}) {
                    auto it = group->find(c);
                    if (it == group->end()) continue;
                    m_map.emplace(static_cast<std::uint16_t>(lead << 8 | trail), it->second);
                    break;
                }
            }
        }
    }
    std::unordered_map<std::uint16_t, std::uint16_t> m_map;
};

// The JIS code of the double-byte character at text[i]; *used is how many bytes it took (one
// when the byte after it cannot be its second byte). Codes JIS mail cannot carry, the user-
// defined ones (F040-F9FC) and codes that stand for no character, give 〓.
std::string DoubleByteToJis(std::string_view text, size_t i, size_t* used) {
    const auto lead = static_cast<unsigned char>(text[i]);
    *used = 1;
    if (!platform::IsDBCSLeadByte(lead) || i + 1 >= text.size()) return kGeta;
    const auto trail = static_cast<unsigned char>(text[i + 1]);
    if (!IsTrail(trail)) return kGeta;
    *used = 2;
    if (platform::SjisPairCharacter(lead, trail) == 0 || (lead >= 0xF0 && lead <= 0xF9)) {
        return kGeta;
    }
    if (lead >= 0xFA) {
        const std::uint16_t equivalent = IbmEquivalents::Get().Of(lead, trail);
        if (equivalent == 0) return kGeta;
        return ToJis(static_cast<unsigned char>(equivalent >> 8),
                     static_cast<unsigned char>(equivalent & 0xFF));
    }
    return ToJis(lead, trail);
}

}  // namespace

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
        size_t used = 1;
        if (b >= 0xA1 && b <= 0xDF) {
            out += HalfWidthKatakanaToJis(text, i, &used);
        } else {
            out += DoubleByteToJis(text, i, &used);
        }
        i += used;
    }
    if (doubleByte && closeAtEnd) out += toSingleByte;
    return out;
}

std::string sjis2jis83(std::string_view text) {
    // No escape at the end: report texts end with a line break, which closes their last line.
    return ShiftJisToJis(text, kToJisRoman, false);
}

std::string CreateHeaderString(std::string_view text) {
    // Each run of characters beyond ASCII (double-byte ones and half-width katakana, which
    // become full-width) is one encoded word, a whole ISO-2022-JP text that ends in ASCII.
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const size_t start = i;
        if (static_cast<unsigned char>(text[i]) >= 0x80) {
            while (i < text.size() && static_cast<unsigned char>(text[i]) >= 0x80) {
                const bool lead = platform::IsDBCSLeadByte(static_cast<unsigned char>(text[i]));
                i = std::min(i + (lead ? 2 : 1), text.size());
            }
            // A long run becomes several words of at most 75 characters, a blank between
            // them, so that the header can be folded there.
            size_t piece = start;
            while (piece < i) {
                size_t end = piece;
                std::string word;
                while (end < i) {
                    const bool lead =
                        platform::IsDBCSLeadByte(static_cast<unsigned char>(text[end]));
                    const size_t next = std::min(end + (lead ? 2 : 1), i);
                    std::string candidate = "=?ISO-2022-JP?B?" +
                                            EncodeBase64(ShiftJisToJis(
                                                text.substr(piece, next - piece), kToAscii, true)) +
                                            "?=";
                    if (candidate.size() > 75 && !word.empty()) break;
                    word = std::move(candidate);
                    end = next;
                }
                if (piece > start) out += ' ';
                out += word;
                piece = end;
            }
        } else {
            while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
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

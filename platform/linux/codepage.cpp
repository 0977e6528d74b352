#include "platform/codepage.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/linux/cp932_table.h"

namespace platform {
namespace {

constexpr char16_t kSjisReplacement = 0x30FB;  // KATAKANA MIDDLE DOT

bool IsAscii(std::string_view s) {
    for (unsigned char c : s) {
        if (c >= 0x80) return false;
    }
    return true;
}

// The index of a lead byte among the 60 of code page 932.
// Calls emit(unit) for each UTF-16 unit of a CP932 text, with the system's replacements.
template <typename Emit>
void DecodeSjis(std::string_view sjis, Emit emit) {
    const Cp932& cp = Cp932::Get();
    size_t i = 0;
    while (i < sjis.size()) {
        const auto b = static_cast<unsigned char>(sjis[i]);
        if (b < 0x80) {
            emit(static_cast<char16_t>(b));
            ++i;
        } else if (IsDBCSLeadByte(b)) {
            if (i + 1 >= sjis.size()) {
                emit(kSjisReplacement);  // a lead byte without its trail byte
                ++i;
                continue;
            }
            const auto t = static_cast<unsigned char>(sjis[i + 1]);
            const char16_t c = cp.Pair(b, t);
            // An unknown pair is one character, as the system's conversion counts it; a lead
            // byte before a byte that cannot trail it is one on its own.
            emit(c != kNoCharacter ? c : kSjisReplacement);
            i += (c != kNoCharacter || IsTrailByte(t)) ? 2 : 1;
        } else {
            const char16_t c = cp.Single(b);
            emit(c != kNoCharacter ? c : kSjisReplacement);
            ++i;
        }
    }
}

// Appends the CP932 form of a UTF-16 text: characters without one (and lone surrogates) as '?',
// a surrogate pair being one character.
void EncodeUtf16(std::u16string_view utf16, std::string& out) {
    const Cp932& cp = Cp932::Get();
    for (size_t i = 0; i < utf16.size(); ++i) {
        const char16_t u = utf16[i];
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
            continue;
        }
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            ++i;
            out.push_back('?');
            continue;
        }
        const std::uint16_t code = cp.Encode(u);
        if (code == Cp932::kUnmappable) {
            out.push_back('?');
        } else if (code < 0x100) {
            out.push_back(static_cast<char>(code));
        } else {
            out.push_back(static_cast<char>(code >> 8));
            out.push_back(static_cast<char>(code & 0xFF));
        }
    }
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Calls emit(code point) for each character of a UTF-8 text; malformed sequences, overlong
// forms and encoded surrogates give U+FFFD.
template <typename Emit>
void DecodeUtf8(std::string_view s, Emit emit) {
    size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        char32_t c;
        size_t len;
        char32_t min;
        if (b < 0x80) {
            emit(static_cast<char32_t>(b));
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F, len = 2, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F, len = 3, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07, len = 4, min = 0x10000;
        } else {
            emit(char32_t{0xFFFD});
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k < len && i + k < s.size(); ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) break;
            c = (c << 6) | (t & 0x3F);
        }
        if (k < len || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            emit(char32_t{0xFFFD});
            i += k;
            continue;
        }
        i += len;
        emit(c);
    }
}

}  // namespace

// UTF-16 <-> UTF-8 by hand: both are total functions, no table involved.
std::string Utf16ToUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    DecodeUtf8(s, [&](char32_t c) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    });
    return out;
}

std::u16string Utf16FromBytes(std::string_view bytes) {
    std::u16string out(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
    return out;
}

std::string Utf16ToBytes(std::u16string_view utf16) {
    std::string bytes;
    bytes.reserve(utf16.size() * 2);
    for (char16_t c : utf16) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

namespace {

// The trail byte of a double-byte letter's upper-case form, as the system's case-insensitive
// comparison under code page 932 takes it: the full-width Latin letters (82 81-9A are the
// lower case of 82 60-79), the Greek (83 BF-D6 of 83 9F-B6) and the Cyrillic (84 70-91, less
// 84 7F, of 84 40-60).
unsigned char UpperTrail(unsigned char lead, unsigned char trail) {
    if (lead == 0x82 && trail >= 0x81 && trail <= 0x9A)
        return static_cast<unsigned char>(trail - 0x21);
    if (lead == 0x83 && trail >= 0xBF && trail <= 0xD6)
        return static_cast<unsigned char>(trail - 0x20);
    if (lead == 0x84 && trail >= 0x70 && trail <= 0x7E)
        return static_cast<unsigned char>(trail - 0x30);
    if (lead == 0x84 && trail >= 0x80 && trail <= 0x91)
        return static_cast<unsigned char>(trail - 0x31);
    return trail;
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    if (a == b) return true;  // the usual case of names that match
    for (size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]);
        auto y = static_cast<unsigned char>(b[i]);
        if (IsDBCSLeadByte(x)) {
            if (x != y) return false;
            if (i + 1 < a.size()) {
                const auto tx = static_cast<unsigned char>(a[i + 1]);
                const auto ty = static_cast<unsigned char>(b[i + 1]);
                if (UpperTrail(x, tx) != UpperTrail(y, ty)) return false;
            }
            ++i;
            continue;
        }
        if (x >= 'a' && x <= 'z') x -= 32;
        if (y >= 'a' && y <= 'z') y -= 32;
        if (x != y) return false;
    }
    return true;
}

std::string FoldCase(std::string_view text) {
    std::string out(text);
    for (size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (IsDBCSLeadByte(c)) {
            if (i + 1 < out.size()) {
                out[i + 1] =
                    static_cast<char>(UpperTrail(c, static_cast<unsigned char>(out[i + 1])));
            }
            ++i;
        } else if (c >= 'a' && c <= 'z') {
            out[i] = static_cast<char>(c - 32);
        }
    }
    return out;
}

size_t SjisPrefixLength(std::string_view sjis, size_t maxBytes) {
    if (sjis.size() <= maxBytes) return sjis.size();
    size_t i = 0;
    while (i < maxBytes) {
        const size_t step = IsDBCSLeadByte(static_cast<unsigned char>(sjis[i])) ? 2 : 1;
        if (i + step > maxBytes) break;
        i += step;
    }
    return i;
}

char16_t SjisPairCharacter(unsigned char lead, unsigned char trail) {
    if (!IsDBCSLeadByte(lead)) return 0;
    const char16_t c = Cp932::Get().Pair(lead, trail);
    return c == kNoCharacter ? 0 : c;
}

std::u16string SjisToUtf16(std::string_view sjis) {
    std::u16string out;
    out.reserve(sjis.size());
    if (IsAscii(sjis)) {
        out.assign(sjis.begin(), sjis.end());
        return out;
    }
    DecodeSjis(sjis, [&](char16_t c) { out.push_back(c); });
    return out;
}

std::string Utf16ToSjis(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size() * 2);
    EncodeUtf16(utf16, out);
    return out;
}

void AppendUtf16LeAsSjis(std::string_view utf16le, std::string& out) {
    // Most texts of a log are ASCII: their units go over one by one.
    const size_t units = utf16le.size() / 2;
    size_t i = 0;
    for (; i < units; ++i) {
        const auto lo = static_cast<unsigned char>(utf16le[2 * i]);
        if (utf16le[2 * i + 1] != 0 || lo >= 0x80) break;
        out.push_back(static_cast<char>(lo));
    }
    if (i == units) return;
    std::u16string rest(units - i, u'\0');
    for (size_t k = 0; k < rest.size(); ++k) {
        rest[k] =
            static_cast<char16_t>(static_cast<unsigned char>(utf16le[2 * (i + k)]) |
                                  (static_cast<unsigned char>(utf16le[2 * (i + k) + 1]) << 8));
    }
    EncodeUtf16(rest, out);
}

std::string SjisToUtf8(std::string_view sjis) {
    if (IsAscii(sjis)) return std::string(sjis);
    // A byte gives at most three bytes of UTF-8: written in place, then cut to size.
    std::string out(sjis.size() * 3, '\0');
    char* p = out.data();
    DecodeSjis(sjis, [&](char16_t c) {
        if (c < 0x80) {
            *p++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *p++ = static_cast<char>(0xC0 | (c >> 6));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *p++ = static_cast<char>(0xE0 | (c >> 12));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    });
    out.resize(static_cast<size_t>(p - out.data()));
    return out;
}

std::string Utf8ToSjis(std::string_view utf8) {
    if (IsAscii(utf8)) return std::string(utf8);
    std::string out;
    out.reserve(utf8.size());
    const Cp932& cp = Cp932::Get();
    DecodeUtf8(utf8, [&](char32_t c) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            return;
        }
        const std::uint16_t code =
            c > 0xFFFF ? Cp932::kUnmappable : cp.Encode(static_cast<char16_t>(c));
        if (code == Cp932::kUnmappable) {
            out.push_back('?');
        } else if (code < 0x100) {
            out.push_back(static_cast<char>(code));
        } else {
            out.push_back(static_cast<char>(code >> 8));
            out.push_back(static_cast<char>(code & 0xFF));
        }
    });
    return out;
}

namespace {

// File names may hold any bytes; those that code page 932 cannot carry travel as codes of its
// user-defined area, one code a byte: F040-F07E and F080-F0C0 stand for the bytes 80-FF.
constexpr unsigned char kRawLead = 0xF0;

bool RawByteOfTrail(unsigned char trail, unsigned char& byte) {
    int index;
    if (trail >= 0x40 && trail <= 0x7E) {
        index = trail - 0x40;
    } else if (trail >= 0x80 && trail <= 0xC0) {
        index = 63 + (trail - 0x80);
    } else {
        return false;
    }
    byte = static_cast<unsigned char>(0x80 + index);
    return true;
}

void AppendRawByte(std::string& out, unsigned char byte) {
    const int index = byte - 0x80;
    out.push_back(static_cast<char>(kRawLead));
    out.push_back(static_cast<char>(index < 63 ? 0x40 + index : 0x80 + (index - 63)));
}

}  // namespace

std::string NativeToPath(std::string_view native) {
    if (IsAscii(native)) return std::string(native);
    const Cp932& cp = Cp932::Get();
    std::string out;
    out.reserve(native.size() * 2);
    size_t i = 0;
    while (i < native.size()) {
        const auto b = static_cast<unsigned char>(native[i]);
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        // One UTF-8 character, if the bytes make one.
        size_t len = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
        char32_t c = len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        size_t k = 1;
        for (; len && k < len && i + k < native.size(); ++k) {
            const auto t = static_cast<unsigned char>(native[i + k]);
            if ((t & 0xC0) != 0x80) break;
            c = (c << 6) | (t & 0x3F);
        }
        const char32_t min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
        const bool valid =
            len && k == len && c >= min && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
        if (!valid) {
            AppendRawByte(out, b);
            ++i;
            continue;
        }
        // Carried as itself only when code page 932 gives it back unchanged, and it is not one
        // of the user-defined characters that stand for raw bytes.
        std::uint16_t code = Cp932::kUnmappable;
        if (c <= 0xFFFF && !(c >= 0xE000 && c <= 0xE07F))
            code = cp.Encode(static_cast<char16_t>(c));
        const bool roundTrips =
            code != Cp932::kUnmappable &&
            (code < 0x100 ? cp.Single(static_cast<unsigned char>(code)) == c
                          : IsDBCSLeadByte(static_cast<unsigned char>(code >> 8)) &&
                                cp.Pair(static_cast<unsigned char>(code >> 8),
                                        static_cast<unsigned char>(code & 0xFF)) == c);
        if (roundTrips) {
            if (code >= 0x100) out.push_back(static_cast<char>(code >> 8));
            out.push_back(static_cast<char>(code & 0xFF));
        } else {
            for (size_t j = 0; j < len; ++j)
                AppendRawByte(out, static_cast<unsigned char>(native[i + j]));
        }
        i += len;
    }
    return out;
}

std::string PathToNative(std::string_view path) {
    if (IsAscii(path)) return std::string(path);
    std::string out;
    out.reserve(path.size() * 3 / 2);
    size_t start = 0;  // the text not yet converted
    size_t i = 0;
    while (i < path.size()) {
        const auto b = static_cast<unsigned char>(path[i]);
        if (!IsDBCSLeadByte(b)) {
            ++i;
            continue;
        }
        unsigned char raw = 0;
        if (b == kRawLead && i + 1 < path.size() &&
            RawByteOfTrail(static_cast<unsigned char>(path[i + 1]), raw)) {
            out += SjisToUtf8(path.substr(start, i - start));
            out.push_back(static_cast<char>(raw));
            i += 2;
            start = i;
            continue;
        }
        i += 2;
    }
    if (start < path.size()) out += SjisToUtf8(path.substr(start));
    return out;
}

bool JapaneseLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) return std::strncmp(value, "ja", 2) == 0;
    }
    return false;
}

}  // namespace platform

const std::string& sjis(const char8_t* literal) {
    // Literals live for the whole run, so their address is a stable key.
    static std::mutex mutex;
    static std::unordered_map<const char8_t*, std::string> cache;
    std::lock_guard lock(mutex);
    auto it = cache.find(literal);
    if (it == cache.end()) {
        std::string_view utf8(reinterpret_cast<const char*>(literal));
        it = cache.emplace(literal, platform::Utf8ToSjis(utf8)).first;
    }
    return it->second;
}

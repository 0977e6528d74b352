#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace platform {
namespace {

constexpr char16_t kSjisReplacement = 0x30FB;  // KATAKANA MIDDLE DOT

bool IsTrailByte(unsigned char b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }

bool IsAscii(std::string_view s) {
    for (unsigned char c : s) {
        if (c >= 0x80) return false;
    }
    return true;
}

// One converter per direction and thread; iconv_open is far dearer than a conversion.
class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter() {
        if (m_cd != reinterpret_cast<iconv_t>(-1)) iconv_close(m_cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool Ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Converts the whole input, or stops at the first invalid or incomplete sequence and
    // returns false; *consumed tells how far it got either way.
    bool Convert(const char* in, size_t inLen, std::string& out, size_t* consumed) {
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in);
        size_t left = inLen;
        char buffer[1024];
        for (;;) {
            char* dst = buffer;
            size_t room = sizeof buffer;
            size_t r = iconv(m_cd, &src, &left, &dst, &room);
            out.append(buffer, static_cast<size_t>(dst - buffer));
            if (r != static_cast<size_t>(-1)) break;
            if (errno == E2BIG) continue;
            *consumed = inLen - left;
            return false;
        }
        *consumed = inLen;
        return true;
    }

private:
    iconv_t m_cd;
};

Converter& SjisToUtf16Converter() {
    thread_local Converter c("UTF-16LE", "CP932");
    return c;
}

Converter& Utf16ToSjisConverter() {
    thread_local Converter c("CP932", "UTF-16LE");
    return c;
}

void AppendUnit(std::string& bytes, char16_t unit) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
}

std::u16string FromLittleEndian(const std::string& bytes) {
    std::u16string out(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
    return out;
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
    return out;
}

// Malformed sequences, overlong forms and surrogates encoded in UTF-8 become U+FFFD, which
// has no CP932 form and so ends up as '?'.
std::u16string Utf8ToUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        char32_t c;
        size_t len;
        char32_t min;
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F, len = 2, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F, len = 3, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07, len = 4, min = 0x10000;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k < len && i + k < s.size(); ++k) {
            unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) break;
            c = (c << 6) | (t & 0x3F);
        }
        if (k < len || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out.push_back(0xFFFD);
            i += k;
            continue;
        }
        i += len;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

std::u16string Utf16FromBytes(std::string_view bytes) {
    return FromLittleEndian(std::string(bytes.substr(0, bytes.size() & ~size_t{1})));
}

std::string Utf16ToBytes(std::u16string_view utf16) {
    std::string bytes;
    bytes.reserve(utf16.size() * 2);
    for (char16_t c : utf16) AppendUnit(bytes, c);
    return bytes;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]);
        auto y = static_cast<unsigned char>(b[i]);
        if (IsDBCSLeadByte(x)) {
            if (x != y || (i + 1 < a.size() && a[i + 1] != b[i + 1])) return false;
            ++i;
            continue;
        }
        if (x >= 'a' && x <= 'z') x -= 32;
        if (y >= 'a' && y <= 'z') y -= 32;
        if (x != y) return false;
    }
    return true;
}

size_t SjisPrefixLength(std::string_view sjis, size_t maxBytes) {
    if (sjis.size() <= maxBytes) return sjis.size();
    size_t i = 0;
    while (i < maxBytes) {
        size_t step = IsDBCSLeadByte(static_cast<unsigned char>(sjis[i])) ? 2 : 1;
        if (i + step > maxBytes) break;
        i += step;
    }
    return i;
}

std::u16string SjisToUtf16(std::string_view sjis) {
    std::u16string out;
    if (IsAscii(sjis)) {
        out.assign(sjis.begin(), sjis.end());
        return out;
    }
    Converter& conv = SjisToUtf16Converter();
    std::string bytes;
    size_t pos = 0;
    while (pos < sjis.size()) {
        size_t consumed = 0;
        if (!conv.Ok()) {
            for (; pos < sjis.size(); ++pos) AppendUnit(bytes, kSjisReplacement);
            break;
        }
        if (conv.Convert(sjis.data() + pos, sjis.size() - pos, bytes, &consumed)) break;
        pos += consumed;
        // A lead byte followed by a possible trail byte is one unknown character, as the
        // system's conversion counts it.
        unsigned char b = static_cast<unsigned char>(sjis[pos]);
        bool pair = IsDBCSLeadByte(b) && pos + 1 < sjis.size() &&
                    IsTrailByte(static_cast<unsigned char>(sjis[pos + 1]));
        AppendUnit(bytes, kSjisReplacement);
        pos += pair ? 2 : 1;
    }
    return FromLittleEndian(bytes);
}

std::string Utf16ToSjis(std::u16string_view utf16) {
    std::string out;
    bool ascii = true;
    for (char16_t c : utf16) {
        if (c >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        out.reserve(utf16.size());
        for (char16_t c : utf16) out.push_back(static_cast<char>(c));
        return out;
    }
    Converter& conv = Utf16ToSjisConverter();
    std::string in;
    in.reserve(utf16.size() * 2);
    for (char16_t c : utf16) AppendUnit(in, c);
    size_t pos = 0;
    while (pos < in.size()) {
        size_t consumed = 0;
        if (!conv.Ok()) {
            out.append((in.size() - pos) / 2, '?');
            break;
        }
        if (conv.Convert(in.data() + pos, in.size() - pos, out, &consumed)) break;
        pos += consumed;
        // A surrogate pair is one character and one '?'.
        char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(in[pos]) |
                                              (static_cast<unsigned char>(in[pos + 1]) << 8));
        size_t step = 2;
        if (unit >= 0xD800 && unit <= 0xDBFF && pos + 3 < in.size()) {
            char16_t next = static_cast<char16_t>(static_cast<unsigned char>(in[pos + 2]) |
                                                  (static_cast<unsigned char>(in[pos + 3]) << 8));
            if (next >= 0xDC00 && next <= 0xDFFF) step = 4;
        }
        out.push_back('?');
        pos += step;
    }
    return out;
}

std::string SjisToUtf8(std::string_view sjis) {
    if (IsAscii(sjis)) return std::string(sjis);
    return Utf16ToUtf8(SjisToUtf16(sjis));
}

std::string Utf8ToSjis(std::string_view utf8) {
    if (IsAscii(utf8)) return std::string(utf8);
    return Utf16ToSjis(Utf8ToUtf16(utf8));
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

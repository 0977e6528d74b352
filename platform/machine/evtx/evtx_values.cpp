// The texts of binary XML values, as the usual readers show them, and the format's checksum.
#include "platform/machine/evtx/evtx_values.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/machine/accounts.h"
#include "platform/machine/evtx_format.h"

namespace platform::evtx {
namespace {

std::u16string Ascii(std::string_view text) { return std::u16string(text.begin(), text.end()); }

std::u16string Hex(std::uint64_t value, int digits) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%0*llx", digits,
                  static_cast<unsigned long long>(value));
    return Ascii(buffer);
}

std::u16string Decimal(long long value) { return Ascii(std::to_string(value)); }
std::u16string Decimal(unsigned long long value) { return Ascii(std::to_string(value)); }

std::u16string FileTimeText(std::uint64_t filetime) {
    const std::int64_t seconds = static_cast<std::int64_t>(filetime / 10000000ULL) - 11644473600LL;
    const auto fraction = static_cast<unsigned>(filetime % 10000000ULL);
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!gmtime_r(&t, &tm)) return std::u16string();
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%09uZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, fraction * 100);
    return Ascii(buffer);
}

// The size of one element of a fixed-size type, 0 for the others.
size_t FixedSize(std::uint8_t type) {
    switch (type) {
        case kInt8:
        case kUInt8: return 1;
        case kInt16:
        case kUInt16: return 2;
        case kInt32:
        case kUInt32:
        case kReal32:
        case kBool:
        case kHexInt32: return 4;
        case kInt64:
        case kUInt64:
        case kReal64:
        case kFileTime:
        case kHexInt64: return 8;
        case kGuid:
        case kSystemTime: return 16;
        default: return 0;
    }
}

}  // namespace

std::u16string Utf16At(std::string_view bytes, size_t at, size_t chars) {
    std::u16string out(chars, u'\0');
    for (size_t i = 0; i < chars; ++i) out[i] = Le16(bytes, at + 2 * i);
    return out;
}

std::vector<std::u16string> ArrayTexts(std::uint8_t type, std::string_view bytes) {
    const std::uint8_t element = type & 0x7f;
    std::vector<std::u16string> out;
    if (element == kString) {
        // Strings one after the other, each ended by its NUL.
        std::u16string all = Utf16At(bytes, 0, bytes.size() / 2);
        size_t start = 0;
        while (start < all.size()) {
            const size_t zero = std::min(all.find(u'\0', start), all.size());
            out.push_back(all.substr(start, zero - start));
            start = zero + 1;
        }
        return out;
    }
    const size_t size = FixedSize(element);
    if (size == 0) return {ValueText(kBinary, bytes)};
    for (size_t at = 0; at + size <= bytes.size(); at += size)
        out.push_back(ValueText(element, bytes.substr(at, size)));
    return out;
}

std::uint32_t Crc32(std::string_view bytes, std::uint32_t crc) {
    // Eight tables: eight bytes a step (the CRC of every chunk is taken at each read).
    static const auto tables = [] {
        std::array<std::array<std::uint32_t, 256>, 8> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (std::uint32_t i = 0; i < 256; ++i)
            for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xff];
        return t;
    }();
    crc = ~crc;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t n = bytes.size();
    for (; n >= 8; n -= 8, p += 8) {
        const std::uint32_t low = crc ^ (std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 |
                                         std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24);
        crc = tables[7][low & 0xff] ^ tables[6][(low >> 8) & 0xff] ^ tables[5][(low >> 16) & 0xff] ^
              tables[4][low >> 24] ^ tables[3][p[4]] ^ tables[2][p[5]] ^ tables[1][p[6]] ^
              tables[0][p[7]];
    }
    for (; n > 0; --n, ++p) crc = tables[0][(crc ^ *p) & 0xff] ^ (crc >> 8);
    return ~crc;
}

std::u16string ValueText(std::uint8_t type, std::string_view b) {
    if (type & kArray) {
        std::u16string out;
        for (const std::u16string& text : ArrayTexts(type, b)) {
            if (!out.empty()) out += u',';
            out += text;
        }
        return out;
    }
    const size_t need = FixedSize(type);
    if (need > 0 && b.size() < need) return std::u16string();
    switch (type) {
        case kNull: return std::u16string();
        case kString: {
            std::u16string text = Utf16At(b, 0, b.size() / 2);
            while (!text.empty() && text.back() == u'\0') text.pop_back();
            return text;
        }
        case kAnsiString:
            // In the machine's ANSI code page, as the sender's was.
            return SjisToUtf16(b.substr(0, std::min(b.find('\0'), b.size())));
        case kInt8: return Decimal(static_cast<long long>(static_cast<std::int8_t>(b[0])));
        case kUInt8:
            return Decimal(static_cast<unsigned long long>(static_cast<std::uint8_t>(b[0])));
        case kInt16: return Decimal(static_cast<long long>(static_cast<std::int16_t>(Le16(b, 0))));
        case kUInt16: return Decimal(static_cast<unsigned long long>(Le16(b, 0)));
        case kInt32: return Decimal(static_cast<long long>(static_cast<std::int32_t>(Le32(b, 0))));
        case kUInt32: return Decimal(static_cast<unsigned long long>(Le32(b, 0)));
        case kInt64: return Decimal(static_cast<long long>(Le64(b, 0)));
        case kUInt64: return Decimal(static_cast<unsigned long long>(Le64(b, 0)));
        case kReal32: {
            float f;
            const std::uint32_t bits = Le32(b, 0);
            std::memcpy(&f, &bits, sizeof f);
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%g", static_cast<double>(f));
            return Ascii(buffer);
        }
        case kReal64: {
            double d;
            const std::uint64_t bits = Le64(b, 0);
            std::memcpy(&d, &bits, sizeof d);
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%g", d);
            return Ascii(buffer);
        }
        case kBool: return Le32(b, 0) ? u"true" : u"false";
        case kBinary: {
            std::string hex = ToHex(b);
            for (char& c : hex) c = AsciiUpper(c);
            return Ascii(hex);
        }
        case kGuid: {
            char buffer[40];
            std::snprintf(buffer, sizeof buffer,
                          "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Le32(b, 0),
                          Le16(b, 4), Le16(b, 6), static_cast<unsigned char>(b[8]),
                          static_cast<unsigned char>(b[9]), static_cast<unsigned char>(b[10]),
                          static_cast<unsigned char>(b[11]), static_cast<unsigned char>(b[12]),
                          static_cast<unsigned char>(b[13]), static_cast<unsigned char>(b[14]),
                          static_cast<unsigned char>(b[15]));
            return Ascii(buffer);
        }
        case kSizeT:
            if (b.size() == 4) return Decimal(static_cast<unsigned long long>(Le32(b, 0)));
            if (b.size() == 8) return Decimal(static_cast<unsigned long long>(Le64(b, 0)));
            return ValueText(kBinary, b);
        case kFileTime: return FileTimeText(Le64(b, 0));
        case kSystemTime: {
            char buffer[48];
            std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", Le16(b, 0),
                          Le16(b, 2), Le16(b, 6), Le16(b, 8), Le16(b, 10), Le16(b, 12),
                          Le16(b, 14));
            return Ascii(buffer);
        }
        case kSid: return Ascii(SidToString(b));
        case kHexInt32: return Hex(Le32(b, 0), 8);
        case kHexInt64: return Hex(Le64(b, 0), 16);
        default: return ValueText(kBinary, b);
    }
}

}  // namespace platform::evtx

#include "platform/bytes.h"

#include <cstdio>

namespace platform {

std::uint16_t Le16(std::string_view b, std::uint64_t at) {
    if (!Fits(b, at, 2)) return 0;
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                      (static_cast<unsigned char>(b[at + 1]) << 8));
}

std::uint32_t Le32(std::string_view b, std::uint64_t at) {
    if (!Fits(b, at, 4)) return 0;
    return static_cast<std::uint32_t>(Le16(b, at)) |
           (static_cast<std::uint32_t>(Le16(b, at + 2)) << 16);
}

std::uint64_t Le64(std::string_view b, std::uint64_t at) {
    if (!Fits(b, at, 8)) return 0;
    return static_cast<std::uint64_t>(Le32(b, at)) |
           (static_cast<std::uint64_t>(Le32(b, at + 4)) << 32);
}

void AppendLe16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

void AppendLe32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void StoreLe16(std::string& out, size_t at, std::uint16_t v) {
    out[at] = static_cast<char>(v & 0xFF);
    out[at + 1] = static_cast<char>(v >> 8);
}

void StoreLe32(std::string& out, size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string ToHex(std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out(bytes.size() * 2, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        out[2 * i] = kDigits[b >> 4];
        out[2 * i + 1] = kDigits[b & 15];
    }
    return out;
}

bool ParseDecimal(std::string_view text, std::int64_t& value) {
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 18) return false;
    std::int64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    value = negative ? -n : n;
    return true;
}

bool ReadStateLines(std::string_view text, std::string_view header,
                    const std::function<void(std::optional<std::int64_t>)>& entry,
                    const std::function<void(std::string_view, std::string_view)>& value) {
    if (text.substr(0, header.size()) != header || text.substr(header.size(), 2) != "\r\n")
        return false;
    text.remove_prefix(header.size() + 2);
    while (!text.empty()) {
        const size_t end = text.find("\r\n");
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 2);
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            std::int64_t number = 0;
            entry(ParseDecimal(line.substr(1, line.size() - 2), number)
                      ? std::optional<std::int64_t>(number)
                      : std::nullopt);
            continue;
        }
        const size_t equals = line.find('=');
        if (equals != std::string_view::npos)
            value(line.substr(0, equals), line.substr(equals + 1));
    }
    return true;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool FromHex(std::string_view text, std::string& bytes) {
    if (text.size() % 2 != 0) return false;
    std::string out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = HexDigitValue(text[i]), lo = HexDigitValue(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
    }
    bytes = std::move(out);
    return true;
}

int CompareAsciiNoCase(std::string_view a, std::string_view b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(AsciiUpper(a[i]));
        const auto y = static_cast<unsigned char>(AsciiUpper(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CompareAsciiNoCase(a, b) == 0;
}

bool StartsWithAsciiNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsAsciiNoCase(text.substr(0, prefix.size()), prefix);
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string_view TrimControls(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= 0x20) s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) s.remove_suffix(1);
    return s;
}

std::string StringPrintfV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    const int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string StringPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = StringPrintfV(format, args);
    va_end(args);
    return text;
}

}  // namespace platform

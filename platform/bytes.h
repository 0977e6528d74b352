#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The byte and text helpers the file formats and protocols share: bounded little-endian reads
// and writes, hexadecimal, ASCII case and blanks. Nothing here touches the operating system.
namespace platform {

// True when size bytes from offset at lie inside the bytes.
constexpr bool Fits(std::string_view bytes, std::uint64_t at, std::uint64_t size) {
    return at <= bytes.size() && size <= bytes.size() - at;
}

// Little-endian numbers at an offset; 0 when they do not lie inside the bytes.
std::uint16_t Le16(std::string_view bytes, std::uint64_t at);
std::uint32_t Le32(std::string_view bytes, std::uint64_t at);
std::uint64_t Le64(std::string_view bytes, std::uint64_t at);

// Appends a number in little-endian order.
void AppendLe16(std::string& out, std::uint16_t value);
void AppendLe32(std::string& out, std::uint32_t value);

// Overwrites bytes at an offset that the string already holds.
void StoreLe16(std::string& out, size_t at, std::uint16_t value);
void StoreLe32(std::string& out, size_t at, std::uint32_t value);

// Lowercase hexadecimal, two digits a byte; and back (false for an odd length or a non-digit).
std::string ToHex(std::string_view bytes);
bool FromHex(std::string_view text, std::string& bytes);
// The value of one hexadecimal digit, -1 for any other character.
int HexDigitValue(char c);

// A decimal number of at most 18 digits with an optional minus sign, nothing else around it.
bool ParseDecimal(std::string_view text, std::int64_t& value);

// The lines of a state file as the program writes them: a first line that names the format, then
// "[number]" lines that open an entry and "Name=value" lines, each ended by CR LF. Calls entry at
// each bracket line (with the number, or nothing when the inside is no number) and value at each
// line with an "=". False, with nothing called, when the first line is not the header.
bool ReadStateLines(std::string_view text, std::string_view header,
                    const std::function<void(std::optional<std::int64_t>)>& entry,
                    const std::function<void(std::string_view, std::string_view)>& value);

constexpr char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
constexpr char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Byte comparisons with the ASCII letters taken without case (no double-byte awareness: for
// names that are ASCII by definition, such as keywords, headers and file extensions).
bool EqualsAsciiNoCase(std::string_view a, std::string_view b);
int CompareAsciiNoCase(std::string_view a, std::string_view b);
bool StartsWithAsciiNoCase(std::string_view text, std::string_view prefix);

// The text without blanks and tabs at both ends.
std::string_view TrimBlanks(std::string_view text);
// The text without blanks and control characters (bytes up to 0x20) at both ends.
std::string_view TrimControls(std::string_view text);

// printf into a string of whatever length the result needs.
std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string StringPrintfV(const char* format, va_list args);

}  // namespace platform

#pragma once

#include <string>
#include <string_view>

// Code page 932 (Shift-JIS), the ANSI code page of the emulated machine. Every text inside the
// program is a CP932 byte string; these conversions are used only at the edges.
namespace platform {

// True when the byte starts a double-byte character in code page 932.
constexpr bool IsDBCSLeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// The character code page 932 assigns to one double-byte code, 0 when it assigns none.
char16_t SjisPairCharacter(unsigned char lead, unsigned char trail);

// CP932 -> UTF-8. Bytes that are not valid CP932 become U+30FB, as the system's own conversion
// gives; a lead byte without its trail byte at the end counts as invalid.
std::string SjisToUtf8(std::string_view sjis);

// UTF-8 -> CP932. Characters CP932 lacks, and malformed UTF-8, become '?'.
std::string Utf8ToSjis(std::string_view utf8);

// CP932 <-> UTF-16 with the same replacements.
std::u16string SjisToUtf16(std::string_view sjis);
std::string Utf16ToSjis(std::u16string_view utf16);

// Appends the CP932 form of UTF-16LE bytes (an odd last byte is ignored), as Utf16ToSjis gives.
void AppendUtf16LeAsSjis(std::string_view utf16le, std::string& out);

// UTF-16 <-> UTF-8; lone surrogates and malformed UTF-8 become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);
std::u16string Utf8ToUtf16(std::string_view utf8);

// UTF-16LE bytes (an odd last byte is ignored) as UTF-16 units, and back.
std::u16string Utf16FromBytes(std::string_view bytes);
std::string Utf16ToBytes(std::u16string_view utf16);

// Paths between the file system (UTF-8, or any bytes) and the program's CP932 texts, without
// loss: a name's characters that code page 932 cannot carry travel as codes of its user-defined
// area (F040-F0C0, one a byte) and come back as the bytes they were. Displayed, such codes show
// as private characters, never as another name.
std::string NativeToPath(std::string_view native);
// Whether messages are to be Japanese: LC_ALL, LC_MESSAGES or LANG (the first that is set)
// starts with "ja".
bool JapaneseLocale();
std::string PathToNative(std::string_view path);

// Equal without regard to case, as the system compares texts under code page 932: ASCII
// letters and the double-byte Latin, Greek and Cyrillic letters; other double-byte characters
// exactly, their second byte never taken for a letter.
bool EqualsNoCase(std::string_view a, std::string_view b);
// The text with its letters in upper case by the same rules: equal for texts EqualsNoCase
// finds equal, and only for those.
std::string FoldCase(std::string_view text);

// Length of the longest prefix of at most maxBytes bytes that does not split a double-byte
// character.
size_t SjisPrefixLength(std::string_view sjis, size_t maxBytes);

}  // namespace platform

// A UTF-8 source literal as CP932 bytes; converted once per literal and kept for the run.
const std::string& sjis(const char8_t* literal);

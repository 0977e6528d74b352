#pragma once

#include <string>
#include <string_view>

// Japanese mail text: Shift-JIS to 7-bit JIS (ISO-2022-JP), MIME encoded words, Base64. Any
// byte string is valid input; nothing here fails.

// Shift-JIS to JIS: ESC $B before double-byte characters, ESC (J before the single-byte text
// that follows them; half-width katakana become full-width (with their voiced forms). The IBM
// extensions become their NEC or JIS X 0208 equivalents, as Windows maps them; codes JIS mail
// cannot carry (user-defined, unassigned, broken) become 〓. The output is 7-bit.
std::string sjis2jis83(std::string_view text);

// Each run of characters beyond ASCII (double-byte ones and half-width katakana) replaced by
// "=?ISO-2022-JP?B?...?=", an encoded word whose text ends in ASCII; a run too long for one
// word of 75 characters becomes several, a blank between them.
std::string CreateHeaderString(std::string_view text);

// Standard Base64 on one line, "=" padded.
std::string EncodeBase64(std::string_view bytes);

// The JIS X 0208 code of a Shift-JIS double-byte character, without validity checks.
std::string ToJis(unsigned char lead, unsigned char trail);

// Shift-JIS to 7-bit JIS: ESC $B before double-byte text, toSingleByte before the single-byte
// text after it, and toSingleByte at the end when the text ends double-byte and closeAtEnd is
// set. Half-width katakana become full-width; other codes as sjis2jis83 converts them.
std::string ShiftJisToJis(std::string_view text, std::string_view toSingleByte, bool closeAtEnd);

// The full-width JIS X 0208 code (two bytes) of half-width katakana at text[i], combined with
// a following voiced or semi-voiced mark when they form one character; *used is 1 or 2.
std::string HalfWidthKatakanaToJis(std::string_view text, size_t i, size_t* used);

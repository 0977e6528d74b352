#include "platform/linux/evt_format.h"

#include "platform/codepage.h"

namespace platform::evt {
namespace {

void PutU16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

void PutU16String(std::string& out, std::u16string_view s) {
    for (char16_t c : s) PutU16(out, c);
    PutU16(out, 0);
}

void SetU32(std::string& out, size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A zero-terminated UTF-16 string starting at pos, ending before limit; pos moves past its
// terminator. Without a terminator, the string runs to limit.
std::u16string TakeU16String(std::string_view bytes, size_t& pos, size_t limit) {
    size_t end = pos;
    while (end + 1 < limit && (bytes[end] != 0 || bytes[end + 1] != 0)) end += 2;
    std::u16string s((end - pos) / 2, u'\0');
    for (size_t i = 0; i < s.size(); ++i) s[i] = ReadU16(bytes.data() + pos + 2 * i);
    pos = end + 1 < limit ? end + 2 : limit;
    return s;
}

void SetU16(std::string& out, size_t at, std::uint16_t v) {
    out[at] = static_cast<char>(v & 0xFF);
    out[at + 1] = static_cast<char>(v >> 8);
}

// The 56 bytes before the names, the same in the file and in the ANSI layout.
void SetFixedPart(std::string& out, const Record& r, std::uint32_t length,
                  std::uint32_t stringOffset, std::uint32_t sidOffset, std::uint32_t dataOffset) {
    SetU32(out, 0, length);
    SetU32(out, 4, kSignature);
    SetU32(out, 8, r.number);
    SetU32(out, 12, r.timeGenerated);
    SetU32(out, 16, r.timeWritten);
    SetU32(out, 20, r.eventId);
    SetU16(out, 24, r.type);
    SetU16(out, 26, static_cast<std::uint16_t>(r.strings.size()));
    SetU16(out, 28, r.category);
    SetU16(out, 30, r.reservedFlags);
    SetU32(out, 32, r.closingNumber);
    SetU32(out, 36, stringOffset);
    SetU32(out, 40, static_cast<std::uint32_t>(r.sid.size()));
    SetU32(out, 44, sidOffset);
    SetU32(out, 48, static_cast<std::uint32_t>(r.data.size()));
    SetU32(out, 52, dataOffset);
}

void PadTo4(std::string& out) {
    while (out.size() % 4 != 0) out += '\0';
}

}  // namespace

std::uint32_t ReadU32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

std::uint16_t ReadU16(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

void PutU32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

bool ParseHeader(std::string_view bytes, Header& h) {
    if (bytes.size() < kHeaderSize) return false;
    const char* p = bytes.data();
    if (ReadU32(p) != kHeaderSize || ReadU32(p + 4) != kSignature ||
        ReadU32(p + 44) != kHeaderSize) {
        return false;
    }
    if (ReadU32(p + 8) != 1 || ReadU32(p + 12) != 1) return false;
    h.startOffset = ReadU32(p + 16);
    h.endOffset = ReadU32(p + 20);
    h.currentNumber = ReadU32(p + 24);
    h.oldestNumber = ReadU32(p + 28);
    h.maxSize = ReadU32(p + 32);
    h.flags = ReadU32(p + 36);
    h.retention = ReadU32(p + 40);
    return true;
}

std::string EncodeHeader(const Header& h) {
    std::string out;
    for (std::uint32_t v :
         {kHeaderSize, kSignature, 1u, 1u, h.startOffset, h.endOffset, h.currentNumber,
          h.oldestNumber, h.maxSize, h.flags, h.retention, kHeaderSize}) {
        PutU32(out, v);
    }
    return out;
}

bool LooksLikeEof(std::string_view bytes) {
    if (bytes.size() < kEofSize) return false;
    const char* p = bytes.data();
    return ReadU32(p) == kEofSize && ReadU32(p + 4) == 0x11111111 && ReadU32(p + 8) == 0x22222222 &&
           ReadU32(p + 12) == 0x33333333 && ReadU32(p + 16) == 0x44444444 &&
           ReadU32(p + 36) == kEofSize;
}

bool ParseEof(std::string_view bytes, Eof& e) {
    if (!LooksLikeEof(bytes)) return false;
    const char* p = bytes.data();
    e.startOffset = ReadU32(p + 20);
    e.endOffset = ReadU32(p + 24);
    e.currentNumber = ReadU32(p + 28);
    e.oldestNumber = ReadU32(p + 32);
    return true;
}

std::string EncodeEof(const Eof& e) {
    std::string out;
    for (std::uint32_t v :
         {kEofSize, 0x11111111u, 0x22222222u, 0x33333333u, 0x44444444u, e.startOffset, e.endOffset,
          e.currentNumber, e.oldestNumber, kEofSize}) {
        PutU32(out, v);
    }
    return out;
}

bool DecodeRecord(std::string_view bytes, Record& r) {
    if (bytes.size() < kMinRecordSize || bytes.size() % 4 != 0) return false;
    const char* p = bytes.data();
    const std::uint32_t length = ReadU32(p);
    if (length != bytes.size() || ReadU32(p + 4) != kSignature ||
        ReadU32(p + length - 4) != length) {
        return false;
    }
    r.number = ReadU32(p + 8);
    r.timeGenerated = ReadU32(p + 12);
    r.timeWritten = ReadU32(p + 16);
    r.eventId = ReadU32(p + 20);
    r.type = ReadU16(p + 24);
    const std::uint16_t numStrings = ReadU16(p + 26);
    r.category = ReadU16(p + 28);
    r.reservedFlags = ReadU16(p + 30);
    r.closingNumber = ReadU32(p + 32);
    const std::uint32_t stringOffset = ReadU32(p + 36);
    const std::uint32_t sidLength = ReadU32(p + 40);
    const std::uint32_t sidOffset = ReadU32(p + 44);
    const std::uint32_t dataLength = ReadU32(p + 48);
    const std::uint32_t dataOffset = ReadU32(p + 52);
    const size_t limit = length - 4;  // the trailing length is not content

    size_t pos = kFixedSize;
    r.source = TakeU16String(bytes, pos, limit);
    r.computer = TakeU16String(bytes, pos, limit);

    r.sid.clear();
    if (sidLength > 0 && sidOffset >= kFixedSize && sidOffset <= limit &&
        sidLength <= limit - sidOffset) {
        r.sid.assign(p + sidOffset, sidLength);
    }
    r.strings.clear();
    if (stringOffset >= kFixedSize && stringOffset <= limit) {
        size_t s = stringOffset;
        for (std::uint16_t i = 0; i < numStrings && s < limit; ++i) {
            r.strings.push_back(TakeU16String(bytes, s, limit));
        }
    }
    r.data.clear();
    if (dataLength > 0 && dataOffset >= kFixedSize && dataOffset <= limit &&
        dataLength <= limit - dataOffset) {
        r.data.assign(p + dataOffset, dataLength);
    }
    return true;
}

std::string EncodeRecord(const Record& r) {
    std::string out(kFixedSize, '\0');
    PutU16String(out, r.source);
    PutU16String(out, r.computer);
    PadTo4(out);
    const auto sidOffset = static_cast<std::uint32_t>(out.size());
    out += r.sid;
    const auto stringOffset = static_cast<std::uint32_t>(out.size());
    for (const std::u16string& s : r.strings) PutU16String(out, s);
    const auto dataOffset = static_cast<std::uint32_t>(out.size());
    out += r.data;
    // The system always pads, with four zero bytes when already aligned.
    out.append(4 - out.size() % 4, '\0');
    const auto length = static_cast<std::uint32_t>(out.size() + 4);
    PutU32(out, length);

    SetFixedPart(out, r, length, stringOffset, sidOffset, dataOffset);
    return out;
}

std::string AnsiRecord(const Record& r) {
    std::string out(kFixedSize, '\0');
    out += Utf16ToSjis(r.source);
    out += '\0';
    out += Utf16ToSjis(r.computer);
    out += '\0';
    PadTo4(out);
    const auto sidOffset = static_cast<std::uint32_t>(out.size());
    out += r.sid;
    const auto stringOffset = static_cast<std::uint32_t>(out.size());
    for (const std::u16string& s : r.strings) {
        out += Utf16ToSjis(s);
        out += '\0';
    }
    const auto dataOffset = static_cast<std::uint32_t>(out.size());
    out += r.data;
    PadTo4(out);
    const auto length = static_cast<std::uint32_t>(out.size() + 4);
    PutU32(out, length);

    SetFixedPart(out, r, length, stringOffset, sidOffset, dataOffset);
    return out;
}

}  // namespace platform::evt

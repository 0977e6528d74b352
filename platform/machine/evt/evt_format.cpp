#include "platform/machine/evt_format.h"

#include "platform/bytes.h"
#include "platform/codepage.h"

namespace platform::evt {
namespace {

void AppendU16String(std::string& out, std::u16string_view s) {
    for (char16_t c : s) AppendLe16(out, c);
    AppendLe16(out, 0);
}

// A zero-terminated UTF-16 string starting at pos, ending before limit; pos moves past its
// terminator. Without a terminator, the string runs to limit.
std::u16string TakeU16String(std::string_view bytes, size_t& pos, size_t limit) {
    size_t end = pos;
    while (end + 1 < limit && (bytes[end] != 0 || bytes[end + 1] != 0)) end += 2;
    std::u16string s((end - pos) / 2, u'\0');
    for (size_t i = 0; i < s.size(); ++i) s[i] = Le16(bytes, pos + 2 * i);
    pos = end + 1 < limit ? end + 2 : limit;
    return s;
}

// The 56 bytes before the names, the same in the file and in the ANSI layout.
void SetFixedPart(std::string& out, const Record& r, std::uint32_t length,
                  std::uint32_t stringOffset, std::uint32_t sidOffset, std::uint32_t dataOffset) {
    StoreLe32(out, 0, length);
    StoreLe32(out, 4, kSignature);
    StoreLe32(out, 8, r.number);
    StoreLe32(out, 12, r.timeGenerated);
    StoreLe32(out, 16, r.timeWritten);
    StoreLe32(out, 20, r.eventId);
    StoreLe16(out, 24, r.type);
    StoreLe16(out, 26, static_cast<std::uint16_t>(r.strings.size()));
    StoreLe16(out, 28, r.category);
    StoreLe16(out, 30, r.reservedFlags);
    StoreLe32(out, 32, r.closingNumber);
    StoreLe32(out, 36, stringOffset);
    StoreLe32(out, 40, static_cast<std::uint32_t>(r.sid.size()));
    StoreLe32(out, 44, sidOffset);
    StoreLe32(out, 48, static_cast<std::uint32_t>(r.data.size()));
    StoreLe32(out, 52, dataOffset);
}

void PadTo4(std::string& out) {
    while (out.size() % 4 != 0) out += '\0';
}

}  // namespace

bool ParseHeader(std::string_view bytes, Header& h) {
    if (bytes.size() < kHeaderSize) return false;
    if (Le32(bytes, 0) != kHeaderSize || Le32(bytes, 4) != kSignature ||
        Le32(bytes, 44) != kHeaderSize) {
        return false;
    }
    if (Le32(bytes, 8) != 1 || Le32(bytes, 12) != 1) return false;
    h.startOffset = Le32(bytes, 16);
    h.endOffset = Le32(bytes, 20);
    h.currentNumber = Le32(bytes, 24);
    h.oldestNumber = Le32(bytes, 28);
    h.maxSize = Le32(bytes, 32);
    h.flags = Le32(bytes, 36);
    h.retention = Le32(bytes, 40);
    return true;
}

std::string EncodeHeader(const Header& h) {
    std::string out;
    for (std::uint32_t v :
         {kHeaderSize, kSignature, 1u, 1u, h.startOffset, h.endOffset, h.currentNumber,
          h.oldestNumber, h.maxSize, h.flags, h.retention, kHeaderSize}) {
        AppendLe32(out, v);
    }
    return out;
}

bool LooksLikeEof(std::string_view bytes) {
    return bytes.size() >= kEofSize && Le32(bytes, 0) == kEofSize && Le32(bytes, 4) == 0x11111111 &&
           Le32(bytes, 8) == 0x22222222 && Le32(bytes, 12) == 0x33333333 &&
           Le32(bytes, 16) == 0x44444444 && Le32(bytes, 36) == kEofSize;
}

bool ParseEof(std::string_view bytes, Eof& e) {
    if (!LooksLikeEof(bytes)) return false;
    e.startOffset = Le32(bytes, 20);
    e.endOffset = Le32(bytes, 24);
    e.currentNumber = Le32(bytes, 28);
    e.oldestNumber = Le32(bytes, 32);
    return true;
}

std::string EncodeEof(const Eof& e) {
    std::string out;
    for (std::uint32_t v :
         {kEofSize, 0x11111111u, 0x22222222u, 0x33333333u, 0x44444444u, e.startOffset, e.endOffset,
          e.currentNumber, e.oldestNumber, kEofSize}) {
        AppendLe32(out, v);
    }
    return out;
}

bool DecodeRecord(std::string_view bytes, Record& r) {
    if (bytes.size() < kMinRecordSize || bytes.size() % 4 != 0) return false;
    const std::uint32_t length = Le32(bytes, 0);
    if (length != bytes.size() || Le32(bytes, 4) != kSignature ||
        Le32(bytes, length - 4) != length) {
        return false;
    }
    r.number = Le32(bytes, 8);
    r.timeGenerated = Le32(bytes, 12);
    r.timeWritten = Le32(bytes, 16);
    r.eventId = Le32(bytes, 20);
    r.type = Le16(bytes, 24);
    const std::uint16_t numStrings = Le16(bytes, 26);
    r.category = Le16(bytes, 28);
    r.reservedFlags = Le16(bytes, 30);
    r.closingNumber = Le32(bytes, 32);
    const std::uint32_t stringOffset = Le32(bytes, 36);
    const std::uint32_t sidLength = Le32(bytes, 40);
    const std::uint32_t sidOffset = Le32(bytes, 44);
    const std::uint32_t dataLength = Le32(bytes, 48);
    const std::uint32_t dataOffset = Le32(bytes, 52);
    const size_t limit = length - 4;  // the trailing length is not content
    const std::string_view content = bytes.substr(0, limit);

    size_t pos = kFixedSize;
    r.source = TakeU16String(bytes, pos, limit);
    r.computer = TakeU16String(bytes, pos, limit);

    r.sid.clear();
    if (sidLength > 0 && sidOffset >= kFixedSize && Fits(content, sidOffset, sidLength)) {
        r.sid.assign(content.substr(sidOffset, sidLength));
    }
    r.strings.clear();
    if (stringOffset >= kFixedSize && stringOffset <= limit) {
        size_t s = stringOffset;
        for (std::uint16_t i = 0; i < numStrings && s < limit; ++i) {
            r.strings.push_back(TakeU16String(bytes, s, limit));
        }
    }
    r.data.clear();
    if (dataLength > 0 && dataOffset >= kFixedSize && Fits(content, dataOffset, dataLength)) {
        r.data.assign(content.substr(dataOffset, dataLength));
    }
    return true;
}

std::string EncodeRecord(const Record& r) {
    std::string out(kFixedSize, '\0');
    AppendU16String(out, r.source);
    AppendU16String(out, r.computer);
    PadTo4(out);
    const auto sidOffset = static_cast<std::uint32_t>(out.size());
    out += r.sid;
    const auto stringOffset = static_cast<std::uint32_t>(out.size());
    for (const std::u16string& s : r.strings) AppendU16String(out, s);
    const auto dataOffset = static_cast<std::uint32_t>(out.size());
    out += r.data;
    // The system always pads, with four zero bytes when already aligned.
    out.append(4 - out.size() % 4, '\0');
    const auto length = static_cast<std::uint32_t>(out.size() + 4);
    AppendLe32(out, length);

    SetFixedPart(out, r, length, stringOffset, sidOffset, dataOffset);
    return out;
}

bool AnsiRecordOf(std::string_view bytes, std::string& out) {
    if (bytes.size() < kMinRecordSize || bytes.size() % 4 != 0) return false;
    const std::uint32_t length = Le32(bytes, 0);
    if (length != bytes.size() || Le32(bytes, 4) != kSignature ||
        Le32(bytes, length - 4) != length) {
        return false;
    }
    const std::uint16_t numStrings = Le16(bytes, 26);
    const std::uint32_t stringOffset = Le32(bytes, 36);
    const std::uint32_t sidLength = Le32(bytes, 40);
    const std::uint32_t sidOffset = Le32(bytes, 44);
    const std::uint32_t dataLength = Le32(bytes, 48);
    const std::uint32_t dataOffset = Le32(bytes, 52);
    const size_t limit = length - 4;  // the trailing length is not content
    const std::string_view content = bytes.substr(0, limit);

    // The same parts DecodeRecord finds, each converted as it is found.
    out.assign(bytes.substr(0, kFixedSize));
    auto text = [&](size_t& pos) {
        size_t end = pos;
        while (end + 1 < limit && (bytes[end] != 0 || bytes[end + 1] != 0)) end += 2;
        AppendUtf16LeAsSjis(bytes.substr(pos, end - pos), out);
        out += '\0';
        pos = end + 1 < limit ? end + 2 : limit;
    };
    size_t pos = kFixedSize;
    text(pos);  // source
    text(pos);  // computer
    PadTo4(out);
    const auto ansiSidOffset = static_cast<std::uint32_t>(out.size());
    std::uint32_t ansiSidLength = 0;
    if (sidLength > 0 && sidOffset >= kFixedSize && Fits(content, sidOffset, sidLength)) {
        out.append(content.substr(sidOffset, sidLength));
        ansiSidLength = sidLength;
    }
    const auto ansiStringOffset = static_cast<std::uint32_t>(out.size());
    std::uint16_t strings = 0;
    if (stringOffset >= kFixedSize && stringOffset <= limit) {
        size_t at = stringOffset;
        for (; strings < numStrings && at < limit; ++strings) text(at);
    }
    const auto ansiDataOffset = static_cast<std::uint32_t>(out.size());
    std::uint32_t ansiDataLength = 0;
    if (dataLength > 0 && dataOffset >= kFixedSize && Fits(content, dataOffset, dataLength)) {
        out.append(content.substr(dataOffset, dataLength));
        ansiDataLength = dataLength;
    }
    PadTo4(out);
    const auto ansiLength = static_cast<std::uint32_t>(out.size() + 4);
    AppendLe32(out, ansiLength);
    StoreLe32(out, 0, ansiLength);
    StoreLe16(out, 26, strings);
    StoreLe32(out, 36, ansiStringOffset);
    StoreLe32(out, 40, ansiSidLength);
    StoreLe32(out, 44, ansiSidOffset);
    StoreLe32(out, 48, ansiDataLength);
    StoreLe32(out, 52, ansiDataOffset);
    return true;
}

}  // namespace platform::evt

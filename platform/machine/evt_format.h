#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The classic NT event log file (.evt): a 48-byte header, records in a circular region after
// it, and a 40-byte end-of-file record after the newest record. All little-endian. The layout
// apart from any file: the event log service uses it, and so do tests and benchmarks that
// build files of their own.
namespace platform::evt {

constexpr std::uint32_t kHeaderSize = 0x30;
constexpr std::uint32_t kEofSize = 0x28;
constexpr std::uint32_t kSignature = 0x654c664c;  // "LfLe"
constexpr std::uint32_t kFixedSize = 0x38;
constexpr std::uint32_t kMinRecordSize = kFixedSize + 8;  // two empty names and the length

enum : std::uint32_t {
    kFlagDirty = 0x1,
    kFlagWrapped = 0x2,
    kFlagLogFull = 0x4,
    kFlagArchive = 0x8,
};

struct Header {
    std::uint32_t startOffset = kHeaderSize;  // oldest record
    std::uint32_t endOffset = kHeaderSize;    // the end-of-file record
    std::uint32_t currentNumber = 1;          // number of the next record
    std::uint32_t oldestNumber = 0;
    std::uint32_t maxSize = 0x80000;
    std::uint32_t flags = 0;
    std::uint32_t retention = 0;
};

struct Eof {
    std::uint32_t startOffset = 0;
    std::uint32_t endOffset = 0;
    std::uint32_t currentNumber = 0;
    std::uint32_t oldestNumber = 0;
};

struct Record {
    std::uint32_t number = 0;
    std::uint32_t timeGenerated = 0;
    std::uint32_t timeWritten = 0;
    std::uint32_t eventId = 0;
    std::uint16_t type = 0;
    std::uint16_t category = 0;
    std::uint16_t reservedFlags = 0;
    std::uint32_t closingNumber = 0;
    std::u16string source;
    std::u16string computer;
    std::string sid;
    std::vector<std::u16string> strings;
    std::string data;
};

// Size check, then signature, then fields.
bool ParseHeader(std::string_view bytes, Header& header);
std::string EncodeHeader(const Header& header);

bool ParseEof(std::string_view bytes, Eof& eof);
std::string EncodeEof(const Eof& eof);
bool LooksLikeEof(std::string_view bytes);

// A record's own bytes (its length first and last). Offsets that point outside the record are
// read as empty, as damaged files need; false when the frame itself is not a record.
bool DecodeRecord(std::string_view bytes, Record& record);
std::string EncodeRecord(const Record& record);

// A record's own bytes in the layout ReadEventLog gives to ANSI callers: the parts DecodeRecord
// finds, with the texts in CP932. False when the frame itself is not a record.
bool AnsiRecordOf(std::string_view bytes, std::string& ansi);

}  // namespace platform::evt

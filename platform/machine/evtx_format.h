#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The event log file of Windows Vista and later (.evtx): a 4 KiB file header, then chunks of
// 64 KiB, each with its own string and template tables and records whose content is binary XML
// (an element tree, usually one template with the record's values substituted into it). All
// little-endian. Read only: the machine's own logs are written as classic .evt files.
namespace platform::evtx {

constexpr std::uint32_t kFileHeaderSize = 0x1000;
constexpr std::uint32_t kChunkSize = 0x10000;
constexpr std::uint32_t kChunkHeaderSize = 0x200;

enum : std::uint32_t { kFileDirty = 0x1, kFileFull = 0x2 };

struct FileHeader {
    std::uint64_t firstChunk = 0;
    std::uint64_t lastChunk = 0;
    std::uint64_t nextRecordId = 0;
    std::uint16_t minorVersion = 0;
    std::uint16_t majorVersion = 0;
    std::uint16_t chunkCount = 0;
    std::uint32_t flags = 0;
    bool checksumMatches = false;
};

// False when the bytes do not start with an .evtx file header.
bool ParseFileHeader(std::string_view bytes, FileHeader& header);

// One value of an event's data: the name of its Data element (or, in UserData, of its own
// element) and its text as Event Viewer shows it.
struct NamedValue {
    std::u16string name;
    std::u16string text;
};

// What the System part and the data of one record say.
struct Event {
    std::uint64_t recordId = 0;  // EventRecordID, else the record header's identifier
    std::uint64_t written = 0;   // FILETIME, from the record's header
    std::uint64_t created = 0;   // FILETIME of TimeCreated; 0 when the record has none
    std::u16string provider;     // Provider's Name, else its EventSourceName
    std::uint16_t eventId = 0;
    std::uint16_t qualifiers = 0;
    std::uint8_t level = 0;
    std::uint16_t task = 0;
    std::uint64_t keywords = 0;
    std::u16string computer;
    std::string userSid;           // binary; empty when the record names no user
    std::vector<NamedValue> data;  // EventData's or UserData's values, in order
    std::string binary;            // EventData's Binary
    bool userData = false;         // the values came from UserData
    // What a forwarded record's RenderingInfo says the sender rendered (empty without one).
    std::u16string renderedMessage;
    std::u16string renderedTask;
};

// What one chunk held: its records in the order they are stored, and what was wrong with it.
struct Chunk {
    std::uint64_t firstRecordId = 0;
    std::uint64_t lastRecordId = 0;
    std::vector<Event> events;
    std::vector<std::string> warnings;
};

// Reads a chunk of kChunkSize bytes. False when it is not a chunk at all (no signature: an
// unused one, or one damaged beyond use); otherwise every record that can be read is there,
// and a bad checksum or a record that cannot be read is a warning.
bool ParseChunk(std::string_view bytes, Chunk& chunk);

// CRC-32 (the ISO polynomial) that the format's checksums use.
std::uint32_t Crc32(std::string_view bytes, std::uint32_t crc = 0);

// The text of a typed value as Event Viewer and the usual readers show it: decimal integers,
// hexadecimal ones with 0x and their full width, {GUID}, S-1-... SIDs, ISO times, binary as
// upper-case hexadecimal. Exposed for tests.
std::u16string ValueText(std::uint8_t type, std::string_view bytes);

}  // namespace platform::evtx

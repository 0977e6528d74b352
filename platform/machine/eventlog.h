#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/handle.h"

// The machine's event logs, read only: one classic .evt file per log, at the path of the log
// key's File value. Reading gives records in the ANSI record layout.
namespace platform {

struct EventLog;
using EventLogHandle = EventLog*;

// ReadEventLog flags.
enum : DWORD {
    kEventLogSequentialRead = 0x0001,
    kEventLogSeekRead = 0x0002,
    kEventLogForwardsRead = 0x0004,
    kEventLogBackwardsRead = 0x0008,
};

// Event types.
enum : std::uint16_t {
    kEventSuccess = 0x0000,
    kEventError = 0x0001,
    kEventWarning = 0x0002,
    kEventInformation = 0x0004,
    kEventAuditSuccess = 0x0008,
    kEventAuditFailure = 0x0010,
};

// The fixed part of a record in the ANSI layout, as ReadEventLog puts it in the buffer.
struct EventLogRecord {
    DWORD Length;
    DWORD Reserved;  // "LfLe"
    DWORD RecordNumber;
    DWORD TimeGenerated;  // seconds since 1970-01-01 UTC
    DWORD TimeWritten;
    DWORD EventID;
    std::uint16_t EventType;
    std::uint16_t NumStrings;
    std::uint16_t EventCategory;
    std::uint16_t ReservedFlags;
    DWORD ClosingRecordNumber;
    DWORD StringOffset;
    DWORD UserSidLength;
    DWORD UserSidOffset;
    DWORD DataLength;
    DWORD DataOffset;
    // Then: source name, computer name (zero-terminated CP932), padding, SID, strings, data,
    // padding, and the length again.
};
static_assert(sizeof(EventLogRecord) == 56);

// The parts of one ANSI record, as views into the buffer that holds it.
struct EventLogRecordParts {
    EventLogRecord fixed{};
    std::string_view source, computer, sid, data;
    std::vector<std::string_view> strings;
};

// What an event brings for a reader without its sender's message files: the category, user and
// description the sender rendered (CP932), kept in the record's binary data behind a mark of
// their own. An agent's forwarded event has them first; an .evtx record's rendering info only
// as a fallback, for what this machine's message files do not render.
struct CarriedTexts {
    std::string category, user, description;
    bool fallback = false;
};
std::string CarriedTextsData(const CarriedTexts& texts);
bool ReadCarriedTexts(std::string_view data, CarriedTexts& texts);

// Takes apart the record at the start of a buffer. Every offset is checked against the
// record's length: a part that would lie outside it is empty, a text without its terminator
// ends at the record's end. False when not even the fixed part and the length fit.
bool ParseEventLogRecord(std::string_view buffer, EventLogRecordParts& parts);

// Opens a log of the local machine by name ("" or "." for the server); a name that is not a
// log opens Application, as the event log service does. nullptr on failure.
EventLogHandle OpenEventLog(std::string_view server, std::string_view logName);

// Opens an .evt or .evtx file that is not one of the machine's logs (read only).
EventLogHandle OpenBackupEventLog(std::string_view server, const std::string& path);

// The number of records and the number of the oldest, read from the file anew.
bool GetNumberOfEventLogRecords(EventLogHandle log, DWORD& count);
bool GetOldestEventLogRecord(EventLogHandle log, DWORD& oldest);
// The number the next record written will get (one past the newest).
bool GetNextEventLogRecord(EventLogHandle log, DWORD& next);

// Reads whole records into the buffer: with kEventLogSeekRead the record of that number (87
// when it is not in the log), else as many records as fit from where the last read ended (38
// at the end), going forwards or backwards. When not even the first record fits: 122, with
// *needed set.
bool ReadEventLog(EventLogHandle log, DWORD flags, DWORD recordNumber, void* buffer,
                  DWORD bufferSize, DWORD* bytesRead, DWORD* needed);

bool CloseEventLog(EventLogHandle log);

// For a record of an .evtx log: the names of its data values, in the order of its strings (the
// names of its Data elements, or of the elements of its UserData). False for a classic log's
// record, which has none, or a record that is not there.
bool GetEventDataNames(EventLogHandle log, DWORD recordNumber, std::vector<std::string>& names);

// What was found wrong with an .evtx log's file when it was last read (a bad checksum, a chunk
// or record that could not be read); empty for a classic log.
std::vector<std::string> EventLogFileWarnings(EventLogHandle log);

using UniqueEventLog = UniqueHandle<EventLogHandle, &CloseEventLog>;

}  // namespace platform

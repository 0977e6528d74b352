#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

// The machine's event logs: one classic .evt file per log, at the path of the log key's File
// value. Reading gives records in the ANSI record layout; writing is for the tools.
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

constexpr DWORD kErrorEventLogFileCorrupt = 1500;
constexpr DWORD kErrorLogFileFull = 1502;

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

// Opens a log of the local machine by name ("" or "." for the server); a name that is not a
// log opens Application, as the event log service does. nullptr on failure.
EventLogHandle OpenEventLog(std::string_view server, std::string_view logName);

// Opens an .evt file that is not one of the machine's logs (read only).
EventLogHandle OpenBackupEventLog(std::string_view server, const std::string& path);

bool GetNumberOfEventLogRecords(EventLogHandle log, DWORD& count);
bool GetOldestEventLogRecord(EventLogHandle log, DWORD& oldest);

// Reads whole records into the buffer: with kEventLogSeekRead from the record of that number
// (87 when it is not in the log), else from where the last read ended (38 at the end), going
// forwards or backwards. When not even the first record fits: 122, with *needed set.
bool ReadEventLog(EventLogHandle log, DWORD flags, DWORD recordNumber, void* buffer,
                  DWORD bufferSize, DWORD* bytesRead, DWORD* needed);

bool CloseEventLog(EventLogHandle log);

// Empties the log; numbering starts again at 1.
bool ClearEventLog(EventLogHandle log);

// One event for ReportEvent. Texts are CP932.
struct EventToWrite {
    std::uint16_t type = kEventInformation;
    std::uint16_t category = 0;
    DWORD eventId = 0;
    std::vector<std::string> strings;
    std::string sid;                  // binary SID, empty for none
    std::string data;                 // binary data
    std::string computer;             // empty: the machine's computer name
    std::int64_t timeGenerated = -1;  // Unix seconds; -1: now
};

// Writes an event of a source to the log the source is registered in (Application when it is
// not registered anywhere), overwriting the oldest records when the log is full.
bool ReportEvent(std::string_view sourceName, const EventToWrite& event);

// The log whose key holds the source, or "Application".
std::string LogOfSource(std::string_view sourceName);

// The file of a log, from its File value (default: <Log>.evt in the system's config folder).
std::string EventLogFilePath(std::string_view logName);

// Creates the empty file of a log when it does not exist.
bool CreateEventLogFile(std::string_view logName);

// For the tools: the largest size a log's file may reach before it wraps, and the number the
// next record of an empty log gets.
bool SetEventLogMaxSize(std::string_view logName, DWORD bytes);
bool SetEventLogNextRecord(std::string_view logName, DWORD number);

}  // namespace platform

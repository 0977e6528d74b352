#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/machine/eventlog.h"

// Writing the machine's event logs: what the tools (eventcreate), the tests and the benchmarks
// use; the program itself only reads logs.
namespace platform {

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

// Empties the log; numbering starts again at 1.
bool ClearEventLog(EventLogHandle log);

// The log whose key holds the source, or "Application".
std::string LogOfSource(std::string_view sourceName);

// The file of a log, from its File value (default: <Log>.evt in the system's config folder).
std::string EventLogFilePath(std::string_view logName);

// True for the file of an .evtx log (Windows Vista and later), which is read but never written.
bool IsEvtxFile(std::string_view path);

// Creates the empty file of a log when it does not exist.
bool CreateEventLogFile(std::string_view logName);

// Registers a log (with its file, <Log>.evt) and a source of it, when the registry does not know
// them yet; the source renders its message from its first string (the eventcreate message
// file), and its categories from categoryFile when one is given. False with
// kErrorInvalidParameter when the source belongs to another log (its name in owner, when
// given), or with the error of the registry's write.
bool RegisterEventSource(std::string_view logName, std::string_view sourceName,
                         std::string* owner = nullptr, std::string_view categoryFile = {},
                         DWORD categoryCount = 0);
// The same for the logs that events from elsewhere are written into: the source is registered
// in this log whatever other log also holds one of that name (an application's messages can
// reach several logs: syslog's, and the journal's System), so that each log renders its own.
bool RegisterEventSourceAlso(std::string_view logName, std::string_view sourceName,
                             std::string_view categoryFile = {}, DWORD categoryCount = 0);

// One log kept open for writing many events, as a receiver writes them: texts in UTF-8 rather
// than CP932, so that what senders write keeps every character.
class EventLogWriter {
public:
    EventLogWriter();
    ~EventLogWriter();
    EventLogWriter(const EventLogWriter&) = delete;
    EventLogWriter& operator=(const EventLogWriter&) = delete;

    bool Open(std::string_view logName);
    // The event's strings and computer are UTF-8; the source too.
    bool Write(std::string_view sourceUtf8, const EventToWrite& event);

private:
    struct Impl;
    Impl* m;
};

// While the program watches a log it keeps beside it the newest record it has read (and whose
// reports are in safe hands): no writer, in any process, overwrites a record past that one; a
// write that would fails with 1502 (the log is full), as on a log that may not be overwritten.
// The mark holds only while the process that set it runs. Not for .evtx logs.
bool SetEventLogReadMark(std::string_view logName, DWORD newestRead);
bool ClearEventLogReadMark(std::string_view logName);

// A log of the machine that a writer killed half-way left without its end-of-file record is
// mended: the newest unbroken run of its records kept (kept says how many). False when it was
// whole (last error 0) or could not be mended.
bool RepairEventLog(std::string_view logName, DWORD& kept);

// The largest size a log's file may reach before it wraps, and the number the next record of
// an empty log gets.
bool SetEventLogMaxSize(std::string_view logName, DWORD bytes);
// Raises a log's maximum size to at least that many bytes; a log that has already wrapped keeps
// the size of its ring until it is cleared.
bool GrowEventLog(std::string_view logName, DWORD bytes);
bool SetEventLogNextRecord(std::string_view logName, DWORD number);

}  // namespace platform

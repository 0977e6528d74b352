#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/machine/eventlog.h"

// Records of the machine's event logs as the watch cycle, the dry run, the importers and the
// tools read them: the fixed fields with the texts rendered through the catalogue.

// One event-log record as read, with its rendered texts. Description, Category and User are
// never empty: they carry fallback texts when rendering fails.
struct EventRecord {
    std::uint32_t RecordNumber = 0;
    platform::SystemTime TimeGenerated;  // local time, milliseconds 0
    std::uint32_t EventID = 0;           // all 32 bits
    std::uint16_t EventType = 0;
    std::string Description;
    std::string Category;
    std::string SourceName;
    std::string ComputerName;
    std::string User;
};

// What tells a record from a later one of the same number (in a log cleared and refilled).
struct RecordIdentity {
    bool known = false;
    std::uint32_t timeWritten = 0;
    std::uint32_t length = 0;
    std::uint64_t hash = 0;  // of the record's bytes

    bool operator==(const RecordIdentity&) const = default;
};

// Opens a log of the local computer by name; nullptr when the computer name or the log cannot
// be had.
platform::EventLogHandle OpenEventLogByName(const std::string& logName);

// Reads and renders one record; on failure, error holds the system's error code of the read.
// The record's identity is given too when asked for.
bool ReadEventRecord(const std::string& logName, platform::EventLogHandle handle,
                     std::uint32_t number, EventRecord& record, platform::DWORD& error,
                     RecordIdentity* identity = nullptr);

// Reads only what tells a record from another of the same number.
bool ReadRecordIdentity(platform::EventLogHandle handle, std::uint32_t number,
                        RecordIdentity& identity);

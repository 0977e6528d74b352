#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/lists.h"
#include "platform/clock.h"

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

// One match of a record with a watch entry, handed to actions, mail and network messages.
struct ReportRecord {
    std::string LogName;
    EventRecord Event;
    std::vector<std::string> Recipients;  // the entry's AddrList as it was at the match
    std::string ReportText;
    const WatchEntry* Watch = nullptr;  // valid for the tick
    std::vector<std::string> AttachFolders;
    std::vector<std::string> AttachFiles;
    bool NotifyHeld = false;  // over the entry's hourly limit: no mail, no network message
};

using TickBatch = std::vector<std::unique_ptr<ReportRecord>>;

// The report text of a record found in a log, with the entry's note when it has one.
std::string MakeReportText(const std::string& logName, const EventRecord& record,
                           const std::string& note);

// The tests of a watch entry, in the order they run.
enum class MatchTest { Log, Source, Type, EventId, Category, Condition };

// Runs the tests of one entry; false with the test that failed first.
bool EntryMatches(const WatchEntry& entry, const std::string& logName, const EventRecord& record,
                  MatchTest* failed = nullptr);

// "log", "source", "type", "eventId", "category", "condition".
const char* MatchTestName(MatchTest test);

// Compares a record with every entry of the watch list, appending a report record to the
// batch for each entry it matches, in list order.
void MatchRecord(const WatchList& watches, const std::string& logName, const EventRecord& record,
                 TickBatch& batch);

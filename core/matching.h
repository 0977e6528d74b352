#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config/lists.h"
#include "eventlog/event_record.h"

// What a report stands for.
enum class ReportKind {
    Match,     // an entry matched a record
    Opened,    // ... and a problem of its recovery rule opens with it: reported as a match
    Expected,  // the event an absence rule waits for, not to be reported: the tick drops it
    Repeated,  // an event of an entry whose problem is open: counted, not notified
    Absence,   // a window of an absence rule passed without its event
    Recovery,  // a problem ended
};

// "match", "opened", "expected", "repeated", "absence", "recovery".
const char* ReportKindName(ReportKind kind);

// One match of a record with a watch entry, handed to actions, mail and network messages.
struct ReportRecord {
    std::string LogName;
    EventRecord Event;
    std::vector<std::string> Recipients;  // the entry's AddrList as it was at the match
    std::string ReportText;
    const WatchEntry* Watch = nullptr;  // valid for the tick
    std::vector<std::string> AttachFolders;
    std::vector<std::string> AttachFiles;
    // Over the entry's hourly limit, or its problem is open: no mail, no network message.
    bool NotifyHeld = false;
    ReportKind Kind = ReportKind::Match;
    RecordIdentity Identity;  // of its record as read from the log, when it was
};

using TickBatch = std::vector<std::unique_ptr<ReportRecord>>;

// Text from an event as a report shows it: control characters become visible marks ("<ESC>",
// "<NUL>", "<CR>", "<LF>", "<07>"), a tab stays; in a text of many lines (oneLine false) CR and
// LF stay too.
std::string VisibleText(std::string_view text, bool oneLine);

// The report text of a record found in a log, with the entry's note when it has one; the
// record's texts as VisibleText shows them.
std::string MakeReportText(const std::string& logName, const EventRecord& record,
                           const std::string& note);

// A record (and the log it was found in) as lines "<prefix><Field>=<value>" of the state files:
// numbers in decimal, texts in hexadecimal so that no byte of theirs can break a line. Reading
// takes one line's field (without the prefix); false when it is not one of these or is damaged.
void AppendEventFields(std::string& out, const char* prefix, const std::string& log,
                       const EventRecord& record);
bool ReadEventField(std::string_view field, std::string_view value, std::string& log,
                    EventRecord& record);

// The tests of a watch entry, in the order they run.
enum class MatchTest { Log, Source, Type, EventId, Category, Computer, Condition };

// Runs the tests of one entry; false with the test that failed first.
bool EntryMatches(const WatchEntry& entry, const std::string& logName, const EventRecord& record,
                  MatchTest* failed = nullptr);

// "log", "source", "type", "eventId", "category", "computer", "condition".
const char* MatchTestName(MatchTest test);

// Compares a record with every entry of the watch list, appending a report record to the
// batch for each entry it matches, in list order.
void MatchRecord(const WatchList& watches, const std::string& logName, const EventRecord& record,
                 TickBatch& batch);

// The entries of a watch list by what they fix (log, then source and event id), so that a
// record meets only those that can match it: the cost of a record stays flat as entries for
// other logs, sources or ids are added. The list must outlive the index and stay as it was.
class WatchIndex {
public:
    explicit WatchIndex(const WatchList& watches);

    // The positions in the list of the entries that may match a record of the log, ascending.
    void Candidates(const std::string& logName, const EventRecord& record,
                    std::vector<size_t>& out) const;

    const WatchList& Watches() const { return m_watches; }

private:
    struct Group {
        std::unordered_map<std::string, std::vector<size_t>> bySourceAndId;  // both fixed
        std::unordered_map<std::string, std::vector<size_t>> bySource;       // source fixed
        std::unordered_map<std::uint32_t, std::vector<size_t>> byId;         // id fixed
        std::vector<size_t> rest;                                            // neither
    };
    void Add(Group& group, const WatchEntry& entry, size_t position);
    static void Collect(const Group& group, const std::string& source, std::uint32_t id,
                        std::vector<size_t>& out);

    const WatchList& m_watches;
    std::unordered_map<std::string, Group> m_byLog;  // the log's name in upper case
    Group m_anyLog;
};

// As MatchRecord, through the index: the same reports in the same order. With debug lines on,
// every entry is tried, as the lines tell of each.
void MatchRecord(const WatchIndex& index, const std::string& logName, const EventRecord& record,
                 TickBatch& batch);

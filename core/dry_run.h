#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/lists.h"
#include "core/matching.h"
#include "core/state_rules.h"
#include "platform/errors.h"

// A dry run: the records already in a log read as the watch cycle reads them and matched with a
// watch list, so that a rule can be tried without waiting for its event. The watch test tool and
// the watch entry editor share it.

// Where a listing "from record N" starts in a log of count records from oldest: N itself when
// the log holds it, the oldest when N lies before it; false when N lies past the newest.
bool FirstRecordFrom(unsigned from, unsigned oldest, unsigned count, unsigned& first);

// Which records: from a number on, or the newest ones.
struct RecordRange {
    std::uint32_t from = 1;
    std::uint32_t newest = 0;  // when not 0: only this many of the newest records
};

// What stopped a dry run: the log could not be opened or counted (record 0), or a record could
// not be read; with the system's error code.
struct DryRunFailure {
    std::uint32_t record = 0;
    platform::DWORD error = 0;
};

// Reads the records of the range in order and hands each to the callback with the time it
// arrived and the report records the watch list makes for it; the callback returns false to
// stop. False when the log or a record could not be read.
using DryRunCallback =
    std::function<bool(const EventRecord& record, std::int64_t arrival, TickBatch& batch)>;
bool DryRunLog(const WatchList& watches, const std::string& logName, const RecordRange& range,
               const DryRunCallback& each, DryRunFailure& failure);

// A record of a log read for the play of rules.
struct PlayedRecord {
    std::int64_t arrival = 0;
    bool recovery = false;  // it only ends problems
    size_t log = 0;  // its log's place among the machine's logs (the order a check reads them)
    std::string logName;
    EventRecord record;
};

// The place of a log among the machine's logs, as the monitor reads them.
size_t LogPlace(const std::string& logName);

// The rules of a watch list played over records read in a dry run, in the order a check takes
// them (ArrivalOrder), with the code a check runs: before each record what closed before it
// arrived is judged, then the record is matched and observed. The batch gets, in this order,
// what the judging made, the record's reports with their kinds, and the recoveries it brought.
class RulePlay {
public:
    // Windows are judged from since on (the arrival of the first record read).
    RulePlay(const WatchList& watches, std::int64_t since);
    void Record(const std::string& logName, const EventRecord& record, std::int64_t arrival,
                TickBatch& batch);
    // Up to now: what closed after the last record.
    void Finish(TickBatch& batch);
    size_t OpenProblems() const { return m_rules.OpenProblems(); }

private:
    const WatchList& m_watches;
    std::int64_t m_since;
    StateRules m_rules;
};

// A record a watch entry matched in a dry run, with its report text; with a rule, also what the
// rule made of it, and the reports the rule itself would have made (absences, recoveries).
struct DryRunMatch {
    std::string logName;
    EventRecord record;
    std::string reportText;
    ReportKind kind = ReportKind::Match;
};

struct DryRunResult {
    // Log by log, oldest first in each; with a rule, all in the order a check takes them.
    std::vector<DryRunMatch> matches;
    size_t openProblems = 0;              // with a rule: problems still open at the end
    std::uint32_t checked = 0;            // records read
    std::vector<std::string> unreadLogs;  // logs that could not be read whole
    size_t logs = 0;                      // logs looked in
};

// Which of the newest records of the entry's log (of every log when it names none) the entry
// as it stands would match. With a rule, the rule is played over the same records in the order
// a check takes them (windows judged from the first record read on, up to now), with the log of
// its recovery condition read too.
DryRunResult DryRunEntry(const WatchEntry& entry, std::uint32_t newest = 1000);

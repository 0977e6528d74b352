#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "config/lists.h"
#include "core/matching.h"

// What the entries with a rule expect, from tick to tick: the windows of absence rules and the
// problems that recovery rules and missed windows open. A problem is open from the first event of
// an entry (recovery) or the first window it missed (absence) until its recovery condition, or
// the expected event, comes; then one recovery report says how long it lasted. In between, the
// entry's further events are counted and not reported, except once per re-notify interval.
//
// Times are seconds since 1970. An event counts at the time it arrived (was written into the
// machine's log, or read from a copy), whatever time its sender wrote in it: a sender's clock, a
// time zone or a copy that comes late cannot make it early or late. Its own time is what the
// reports show. A deadline is judged only once its rule's grace has passed after it, and an
// event that arrives within the grace still counts for it.
class StateRules {
public:
    // Monitoring starts at now. Resuming, the windows that closed while the program was down are
    // judged at the first tick (after it caught up with their records); otherwise watching begins
    // anew now, and only open problems and when their events last came are kept.
    void Start(const WatchList& watches, std::int64_t now, bool resuming);
    // A tick starts at now with the list as it stands: an entry whose rule or watched event
    // changed, or that is gone, starts anew.
    void BeginTick(const WatchList& watches, std::int64_t now);
    // After a record that arrived at the time was matched: the reports from first to end (the
    // batch's end when npos) are its own. Each gets its Kind; recovery reports are appended.
    // Records are observed in the order they arrived, whatever their logs.
    void Observe(const std::string& logName, const EventRecord& record, std::int64_t arrival,
                 TickBatch& batch, size_t first, size_t end = std::string::npos);
    // What a record is to the rules: one of its reports (first to end) is of an entry with a
    // rule (Event), or it only meets a recovery condition (Recovery), or neither (None).
    enum class Role { None, Event, Recovery };
    Role RoleOf(const std::string& logName, const EventRecord& record, const TickBatch& batch,
                size_t first, size_t end) const;
    bool Active() const { return !m_entries.empty(); }
    // The windows that closed by the tick's time, and reminders of problems still open.
    void EndTick(TickBatch& batch);
    // Judges what closed before the given time, as EndTick does at it (a dry run, between the
    // records it replays).
    void JudgeUntil(std::int64_t time, TickBatch& batch);

    // The state as a file's text, and back; parsing keeps the entries it could read whole.
    std::string Format() const;
    void Parse(std::string_view text);
    bool Empty() const { return m_state.empty(); }

    // How many problems are open now.
    size_t OpenProblems() const;
    // The earliest time at which judging would report something (a deadline and its grace, a
    // reminder), as the entries of the last tick stand; 0 when none will.
    std::int64_t NextDeadline() const;

private:
    struct Tracked {
        std::string rule;                  // what the state was kept for
        std::int64_t since = 0;            // watched since
        std::int64_t checked = 0;          // windows whose grace ended by then were judged
        std::int64_t lastSeen = 0;         // the arrival of the entry's last event; 0 none
        std::set<std::int64_t> satisfied;  // ends of windows not yet judged that an event fell in
        std::int64_t openSince = 0;        // the problem (its deadline, or its event's arrival)
        std::int64_t notified = 0;         // told last
        int count = 0;                     // events (windows) in the problem
        std::string firstLog;
        EventRecord first;  // what opened it
    };

    void Judge(int number, const WatchEntry& entry, Tracked& t, std::int64_t now, TickBatch& batch);
    void Close(const WatchEntry& entry, Tracked& t, const std::string& logName,
               const EventRecord& record, std::int64_t arrival, TickBatch& batch);
    std::unique_ptr<ReportRecord> Report(const WatchEntry& entry, ReportKind kind,
                                         const std::string& logName, const EventRecord& event,
                                         std::string text);

    std::map<int, Tracked> m_state;              // by watch number
    std::map<int, const WatchEntry*> m_entries;  // this tick's entries with a rule
    std::map<int, WatchEntry> m_recoveryTests;   // their recovery conditions as entries
    std::vector<std::unique_ptr<WatchEntry>> m_reportWatches;  // for this tick's recovery reports
    std::int64_t m_now = 0;
};

// A recovery condition as an entry, so that it is tested as an entry's own fields are.
WatchEntry RecoveryTest(const WatchRule& rule);

// When a record arrived: the time it was written into its log (a copy's: its machine's), never
// later than now (a clock set back); now when the record does not say.
std::int64_t ArrivalOf(const RecordIdentity& identity, std::int64_t now);

// The order a check takes the records of several logs in, and a dry run too: each log's in its
// own order, the logs' interleaved by the records' arrival. Of records that arrived in the same
// second in different logs, those that only end problems come after the others (a recovery
// follows its problem), then the logs' order decides. The records come grouped by log, each
// group in its log's order; the answer is their indices in that order.
template <typename R>
std::vector<size_t> ArrivalOrder(const std::vector<R>& records) {
    std::vector<std::pair<size_t, size_t>> runs;  // each log's [next, end)
    for (size_t i = 0; i < records.size(); ++i) {
        if (i == 0 || records[i].log != records[i - 1].log) runs.emplace_back(i, i);
        runs.back().second = i + 1;
    }
    std::vector<size_t> order;
    order.reserve(records.size());
    for (;;) {
        std::pair<size_t, size_t>* best = nullptr;
        for (auto& run : runs) {
            if (run.first == run.second) continue;
            const R& head = records[run.first];
            if (!best) {
                best = &run;
                continue;
            }
            const R& other = records[best->first];
            if (std::tie(head.arrival, head.recovery, head.log) <
                std::tie(other.arrival, other.recovery, other.log)) {
                best = &run;
            }
        }
        if (!best) return order;
        order.push_back(best->first++);
    }
}

// The window of a daily absence rule that ends on the given local day: [start, end].
struct RuleWindow {
    std::int64_t start = 0;
    std::int64_t end = 0;
};
RuleWindow DailyWindow(const WatchRule& rule, const platform::SystemTime& day);

// What an absence rule expects, in words ("60分ごとに少なくとも1回", "22:00～06:00(月火水木金)").
std::string ExpectationText(const WatchRule& rule);

// STATE.DAT beside RESUME.DAT.
std::string RuleStatePath();

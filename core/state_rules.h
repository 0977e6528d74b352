#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "config/lists.h"
#include "core/matching.h"

// What the entries with a rule expect, from tick to tick: the windows of absence rules and the
// problems that recovery rules and missed windows open. A problem is open from the first event of
// an entry (recovery) or the first window it missed (absence) until its recovery condition, or
// the expected event, comes; then one recovery report says how long it lasted. In between, the
// entry's further events are counted and not reported, except once per re-notify interval.
//
// Times are seconds since 1970; events count at the time they were generated (never later than
// the tick that reads them), so that records a restart catches up fall into their windows.
class StateRules {
public:
    // Monitoring starts at now. Resuming, the windows that closed while the program was down are
    // judged at the first tick (after it caught up with their records); otherwise watching begins
    // anew now, and only open problems and when their events last came are kept.
    void Start(const WatchList& watches, std::int64_t now, bool resuming);
    // A tick starts at now with the list as it stands: an entry whose rule or watched event
    // changed, or that is gone, starts anew.
    void BeginTick(const WatchList& watches, std::int64_t now);
    // After a record was matched: the reports from first on are its own. Each gets its Kind;
    // recovery reports are appended.
    void Observe(const std::string& logName, const EventRecord& record, TickBatch& batch,
                 size_t first);
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

private:
    struct Tracked {
        std::string rule;                  // what the state was kept for
        std::int64_t since = 0;            // watched since
        std::int64_t checked = 0;          // windows that ended by then were judged
        std::int64_t lastSeen = 0;         // the entry's last event; 0 none
        std::set<std::int64_t> satisfied;  // ends of windows not yet judged that an event fell in
        std::int64_t openSince = 0;        // the problem; 0 none
        std::int64_t notified = 0;         // told last
        int count = 0;                     // events (windows) in the problem
        std::string firstLog;
        EventRecord first;  // what opened it
    };

    void Judge(int number, const WatchEntry& entry, Tracked& t, std::int64_t now, TickBatch& batch);
    void Close(const WatchEntry& entry, Tracked& t, const std::string& logName,
               const EventRecord& record, TickBatch& batch);
    std::unique_ptr<ReportRecord> Report(const WatchEntry& entry, ReportKind kind,
                                         const std::string& logName, const EventRecord& event,
                                         std::string text);

    std::map<int, Tracked> m_state;              // by watch number
    std::map<int, const WatchEntry*> m_entries;  // this tick's entries with a rule
    std::map<int, WatchEntry> m_recoveryTests;   // their recovery conditions as entries
    std::vector<std::unique_ptr<WatchEntry>> m_reportWatches;  // for this tick's recovery reports
    std::int64_t m_now = 0;
};

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

#include "core/dry_run.h"

#include <algorithm>

#include "core/monitor.h"
#include "core/state_rules.h"
#include "eventlog/catalog.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/machine/eventlog.h"

using platform::DWORD;

bool FirstRecordFrom(unsigned from, unsigned oldest, unsigned count, unsigned& first) {
    if (count == 0) return false;
    if (from - oldest < count) {
        first = from;
        return true;
    }
    // Numbers wrap: "before" is less than half the number space behind the oldest.
    if (oldest - from <= 0x7FFFFFFFu) {
        first = oldest;
        return true;
    }
    return false;
}

bool DryRunLog(const WatchList& watches, const std::string& logName, const RecordRange& range,
               const DryRunCallback& each, DryRunFailure& failure) {
    failure = DryRunFailure();
    platform::UniqueEventLog handle(OpenEventLogByName(logName));
    DWORD count = 0, oldest = 0;
    if (!handle || !platform::GetNumberOfEventLogRecords(handle.Get(), count) ||
        !platform::GetOldestEventLogRecord(handle.Get(), oldest)) {
        failure.error = platform::GetLastError();
        return false;
    }
    unsigned first = 0;
    if (range.newest != 0) {
        first = oldest + count - std::min<DWORD>(count, range.newest);
    } else if (!FirstRecordFrom(range.from, oldest, count, first)) {
        return true;  // nothing from there on
    }
    const std::int64_t now = platform::NowUnixMilliseconds() / 1000;
    for (DWORD n = first; count > 0 && n - oldest < count; ++n) {
        EventRecord record;
        DWORD error = 0;
        RecordIdentity identity;
        if (!ReadEventRecord(logName, handle.Get(), n, record, error, &identity)) {
            if (error == platform::kErrorNotFound) continue;  // a gap of a damaged .evtx file
            failure.record = n;
            failure.error = error;
            return false;
        }
        TickBatch batch;
        MatchRecord(watches, logName, record, batch);
        if (!each(record, ArrivalOf(identity, now), batch)) break;
    }
    return true;
}

size_t LogPlace(const std::string& logName) {
    std::vector<std::string> logs;
    ListLogs(logs);
    for (size_t i = 0; i < logs.size(); ++i) {
        if (platform::EqualsNoCase(logs[i], logName)) return i;
    }
    return logs.size();
}

RulePlay::RulePlay(const WatchList& watches, std::int64_t since)
    : m_watches(watches), m_since(since) {
    m_rules.Start(watches, since, false);
}

void RulePlay::Record(const std::string& logName, const EventRecord& record, std::int64_t arrival,
                      TickBatch& batch) {
    m_rules.BeginTick(m_watches, std::max(arrival, m_since));
    m_rules.JudgeUntil(arrival - 1, batch);
    const size_t first = batch.size();
    MatchRecord(m_watches, logName, record, batch);
    m_rules.Observe(logName, record, arrival, batch, first);
}

void RulePlay::Finish(TickBatch& batch) {
    m_rules.BeginTick(m_watches, std::max(platform::NowUnixMilliseconds() / 1000, m_since));
    m_rules.EndTick(batch);
}

namespace {

// The entry's rule played over the records, as a check takes them, then up to now.
void PlayRule(const WatchList& watches, const std::vector<PlayedRecord>& records,
              std::int64_t since, DryRunResult& result) {
    RulePlay play(watches, since);
    TickBatch batch;
    auto keep = [&] {
        for (const auto& r : batch) {
            result.matches.push_back({r->LogName, r->Event, r->ReportText, r->Kind});
        }
        batch.clear();
    };
    for (const size_t i : ArrivalOrder(records)) {
        const PlayedRecord& p = records[i];
        play.Record(p.logName, p.record, p.arrival, batch);
        keep();
    }
    play.Finish(batch);
    keep();
    result.openProblems = play.OpenProblems();
}

}  // namespace

DryRunResult DryRunEntry(const WatchEntry& entry, std::uint32_t newest) {
    DryRunResult result;
    WatchList watches;
    watches.push_back(std::make_unique<WatchEntry>(entry));
    std::vector<std::string> all;
    ListLogs(all);
    // Only logs the machine has: opening another name would read the Application log.
    std::vector<std::string> logs;
    auto take = [&](const std::string& name) {
        if (name == AnyValueText() || name.empty()) {
            logs = all;
            return;
        }
        const auto known = std::find_if(all.begin(), all.end(), [&](const std::string& log) {
            return platform::EqualsNoCase(log, name);
        });
        if (known == all.end()) {
            result.unreadLogs.push_back(name);
        } else if (std::find(logs.begin(), logs.end(), *known) == logs.end()) {
            logs.push_back(*known);
        }
    };
    take(entry.LogName);
    const bool recovery = entry.Rule.Kind == WatchRule::kRecovery;
    if (recovery && logs.size() < all.size()) take(entry.Rule.LogName);
    if (logs.empty()) return result;
    const bool rule = entry.Rule.Kind != WatchRule::kNone;
    const WatchEntry ending = RecoveryTest(entry.Rule);
    std::vector<PlayedRecord> played;
    std::int64_t since = 0;  // windows are judged only where every log read was read
    RecordRange range;
    range.newest = newest;
    result.logs = logs.size();
    // In the order the monitor reads them.
    std::sort(logs.begin(), logs.end(), [&](const std::string& a, const std::string& b) {
        return std::find(all.begin(), all.end(), a) < std::find(all.begin(), all.end(), b);
    });
    for (const std::string& log : logs) {
        DryRunFailure failure;
        bool first = true;
        const size_t place =
            static_cast<size_t>(std::find(all.begin(), all.end(), log) - all.begin());
        const bool whole = DryRunLog(
            watches, log, range,
            [&](const EventRecord& record, std::int64_t arrival, TickBatch& batch) {
                ++result.checked;
                if (first) since = std::max(since, arrival);
                first = false;
                if (!rule) {
                    for (const auto& report : batch) {
                        result.matches.push_back({log, record, report->ReportText});
                    }
                } else if (!batch.empty() || (recovery && EntryMatches(ending, log, record))) {
                    played.push_back({arrival, batch.empty(), place, log, record});
                }
                return true;
            },
            failure);
        if (!whole) result.unreadLogs.push_back(log);
    }
    // Nothing read: nothing can be judged before now.
    if (rule)
        PlayRule(watches, played, since != 0 ? since : platform::NowUnixMilliseconds() / 1000,
                 result);
    return result;
}

#include "core/dry_run.h"

#include <algorithm>

#include "core/monitor.h"
#include "eventlog/catalog.h"
#include "platform/codepage.h"
#include "platform/eventlog.h"

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
    for (DWORD n = first; count > 0 && n - oldest < count; ++n) {
        EventRecord record;
        DWORD error = 0;
        if (!ReadEventRecord(logName, handle.Get(), n, record, error)) {
            if (error == platform::kErrorNotFound) continue;  // a gap of a damaged .evtx file
            failure.record = n;
            failure.error = error;
            return false;
        }
        TickBatch batch;
        MatchRecord(watches, logName, record, batch);
        if (!each(record, batch)) break;
    }
    return true;
}

DryRunResult DryRunEntry(const WatchEntry& entry, std::uint32_t newest) {
    DryRunResult result;
    WatchList watches;
    watches.push_back(std::make_unique<WatchEntry>(entry));
    std::vector<std::string> logs;
    ListLogs(logs);
    if (entry.LogName != AnyValueText()) {
        // Only a log the machine has: opening another name would read the Application log.
        const auto known = std::find_if(logs.begin(), logs.end(), [&](const std::string& log) {
            return platform::EqualsNoCase(log, entry.LogName);
        });
        if (known == logs.end()) {
            result.unreadLogs.push_back(entry.LogName);
            return result;
        }
        logs = {*known};
    }
    RecordRange range;
    range.newest = newest;
    result.logs = logs.size();
    for (const std::string& log : logs) {
        DryRunFailure failure;
        const bool whole = DryRunLog(
            watches, log, range,
            [&](const EventRecord& record, TickBatch& batch) {
                ++result.checked;
                for (const auto& report : batch) {
                    result.matches.push_back({log, record, report->ReportText});
                }
                return true;
            },
            failure);
        if (!whole) result.unreadLogs.push_back(log);
    }
    return result;
}

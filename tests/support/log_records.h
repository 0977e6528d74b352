#pragma once

#include <vector>

#include "core/monitor.h"
#include "platform/clock.h"

// The records of one of the machine's logs, oldest first, read and rendered as the watch cycle
// reads them; empty when the log cannot be read.
inline std::vector<EventRecord> ReadLogRecords(const std::string& logName) {
    std::vector<EventRecord> records;
    platform::UniqueEventLog handle(OpenEventLogByName(logName));
    platform::DWORD count = 0, oldest = 0;
    if (!handle || !platform::GetNumberOfEventLogRecords(handle.Get(), count) ||
        !platform::GetOldestEventLogRecord(handle.Get(), oldest)) {
        return records;
    }
    for (platform::DWORD n = oldest; n < oldest + count; ++n) {
        EventRecord r;
        platform::DWORD error = 0;
        if (ReadEventRecord(logName, handle.Get(), n, r, error)) records.push_back(r);
    }
    return records;
}

// The test's clock fixed at a local time for as long as it lives.
class FixedClock {
public:
    FixedClock(int year, int month, int day, int hour) {
        platform::SystemTime t;
        t.year = year;
        t.month = month;
        t.day = day;
        t.hour = hour;
        platform::SetClock(t);
    }
    ~FixedClock() { platform::ReleaseClock(); }
    FixedClock(const FixedClock&) = delete;
    FixedClock& operator=(const FixedClock&) = delete;
};

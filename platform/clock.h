#pragma once

#include <cstdint>
#include <functional>

// Local time, as the program's log, reports and mail headers show it. Tests set the clock.
namespace platform {

struct SystemTime {
    int year = 0;
    int month = 0;  // 1-12
    int day = 0;    // 1-31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int milliseconds = 0;
    int dayOfWeek = 0;  // 0 = Sunday

    bool SameDate(const SystemTime& other) const {
        return year == other.year && month == other.month && day == other.day;
    }
};

// Milliseconds since 1970-01-01 UTC: the real time, or the time a test set.
std::int64_t NowUnixMilliseconds();

// The local date and time now.
SystemTime GetLocalTime();

// Local date and time of an instant given in seconds since 1970-01-01 UTC.
SystemTime LocalTimeOf(std::int64_t unixSeconds);

// The time-zone bias at an instant: minutes to add to local time to get UTC (Japan: -540).
int TimeZoneBias(std::int64_t unixSeconds);

// The instant of a local date and time (the fields' dayOfWeek and milliseconds are ignored).
std::int64_t UnixSecondsOfLocal(const SystemTime& local);

// The date that lies the given number of days after (or before, when negative) a date; the
// time fields are kept, dayOfWeek is set.
SystemTime AddDays(const SystemTime& date, int days);

// Fixes the clock at a local time (tests); it stays there until moved or released.
void SetClock(const SystemTime& local);
// Moves a fixed clock forward.
void AdvanceClock(std::int64_t milliseconds);
// Back to the real clock.
void ReleaseClock();
// Called (on the thread that changed it) after SetClock, AdvanceClock or ReleaseClock, so that
// what waits for a time of the program's clock looks again; the number removes it.
int AddClockListener(std::function<void()> changed);
void RemoveClockListener(int id);

// Suspends the thread for the given milliseconds of real time (never the test clock).
void Sleep(unsigned milliseconds);

}  // namespace platform

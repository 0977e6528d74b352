#include "platform/clock.h"

#include <sys/time.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <map>
#include <mutex>

namespace platform {
namespace {

// The time a test holds the clock at; the watch tick reads it on a thread of its own.
constexpr std::int64_t kRealClock = INT64_MIN;
std::atomic<std::int64_t> g_fixedMilliseconds{kRealClock};

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's algorithms).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

}  // namespace

std::int64_t NowUnixMilliseconds() {
    if (const std::int64_t fixed = g_fixedMilliseconds.load(); fixed != kRealClock) return fixed;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

SystemTime LocalTimeOf(std::int64_t unixSeconds) {
    time_t t = static_cast<time_t>(unixSeconds);
    struct tm tm {};
    localtime_r(&t, &tm);
    SystemTime st;
    st.year = tm.tm_year + 1900;
    st.month = tm.tm_mon + 1;
    st.day = tm.tm_mday;
    st.hour = tm.tm_hour;
    st.minute = tm.tm_min;
    st.second = tm.tm_sec;
    st.dayOfWeek = tm.tm_wday;
    return st;
}

SystemTime GetLocalTime() {
    std::int64_t ms = NowUnixMilliseconds();
    std::int64_t seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    SystemTime st = LocalTimeOf(seconds);
    st.milliseconds = static_cast<int>(ms - seconds * 1000);
    return st;
}

int TimeZoneBias(std::int64_t unixSeconds) {
    time_t t = static_cast<time_t>(unixSeconds);
    struct tm tm {};
    localtime_r(&t, &tm);
    return static_cast<int>(-tm.tm_gmtoff / 60);
}

std::int64_t UnixSecondsOfLocal(const SystemTime& local) {
    struct tm tm {};
    tm.tm_year = local.year - 1900;
    tm.tm_mon = local.month - 1;
    tm.tm_mday = local.day;
    tm.tm_hour = local.hour;
    tm.tm_min = local.minute;
    tm.tm_sec = local.second;
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(mktime(&tm));
}

SystemTime AddDays(const SystemTime& date, int days) {
    SystemTime out = date;
    std::int64_t z = DaysFromCivil(date.year, date.month, date.day) + days;
    CivilFromDays(z, out.year, out.month, out.day);
    out.dayOfWeek = static_cast<int>(((z % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    return out;
}

namespace {

std::mutex g_listenersMutex;
std::map<int, std::function<void()>> g_listeners;
int g_nextListener = 1;

void ClockChanged() {
    std::lock_guard lock(g_listenersMutex);
    for (const auto& [id, changed] : g_listeners) changed();
}

}  // namespace

void SetClock(const SystemTime& local) {
    g_fixedMilliseconds = UnixSecondsOfLocal(local) * 1000 + local.milliseconds;
    ClockChanged();
}

void AdvanceClock(std::int64_t milliseconds) {
    std::int64_t fixed = g_fixedMilliseconds.load();
    while (fixed != kRealClock &&
           !g_fixedMilliseconds.compare_exchange_weak(fixed, fixed + milliseconds)) {
    }
    ClockChanged();
}

void ReleaseClock() {
    g_fixedMilliseconds = kRealClock;
    ClockChanged();
}

int AddClockListener(std::function<void()> changed) {
    std::lock_guard lock(g_listenersMutex);
    g_listeners[g_nextListener] = std::move(changed);
    return g_nextListener++;
}

void RemoveClockListener(int id) {
    std::lock_guard lock(g_listenersMutex);
    g_listeners.erase(id);
}

void Sleep(unsigned milliseconds) {
    struct timespec left = {static_cast<time_t>(milliseconds / 1000),
                            static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace platform

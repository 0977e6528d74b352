#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// Asks for a check when a rule's deadline comes, whatever the watch interval: a thread that
// sleeps until the time set last, by the program's clock, and then calls.
class DeadlineTimer {
public:
    // due: called on the timer's thread, once per deadline.
    explicit DeadlineTimer(std::function<void()> due) : m_due(std::move(due)) {}
    ~DeadlineTimer() { Stop(); }
    DeadlineTimer(const DeadlineTimer&) = delete;
    DeadlineTimer& operator=(const DeadlineTimer&) = delete;

    // The next deadline, in seconds since 1970; 0: none. A moment after it passed the call
    // comes, so that the check finds it past; one already due comes at once.
    void Set(std::int64_t when);
    std::int64_t When() const;
    void Stop();

    // How long after a deadline the call comes, and the least time before the same deadline
    // is called again (a check that did not move it must not make the timer spin).
    static constexpr std::int64_t kAfterMs = 200;
    static constexpr std::int64_t kAgainMs = 5000;

private:
    void Run();

    std::function<void()> m_due;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::int64_t m_when = 0;
    std::int64_t m_called = 0;      // the deadline called last ...
    std::int64_t m_calledAtMs = 0;  // ... and when, by the program's clock
    bool m_quit = false;
    std::thread m_thread;
    int m_listener = 0;  // of the program's clock, while the thread runs
};

#include "session/deadline_timer.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"

void DeadlineTimer::Set(std::int64_t when) {
    bool started = false;
    {
        std::lock_guard lock(m_mutex);
        m_when = when;
        if (!m_thread.joinable() && when != 0) {
            m_quit = false;
            m_thread = std::thread([this] { Run(); });
            started = true;
        }
    }
    m_changed.notify_all();
    if (started) {
        m_listener = platform::AddClockListener([this] {
            std::lock_guard lock(m_mutex);
            m_changed.notify_all();
        });
    }
}

std::int64_t DeadlineTimer::When() const {
    std::lock_guard lock(m_mutex);
    return m_when;
}

void DeadlineTimer::Stop() {
    // Not under the lock: a change of the clock may be calling in, waiting for it.
    if (m_listener != 0) platform::RemoveClockListener(m_listener);
    m_listener = 0;
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void DeadlineTimer::Run() {
    std::unique_lock lock(m_mutex);
    while (!m_quit) {
        if (m_when == 0) {
            m_changed.wait(lock);
            continue;
        }
        const std::int64_t now = platform::NowUnixMilliseconds();
        std::int64_t at = m_when * 1000 + kAfterMs;
        if (m_when == m_called) at = std::max(at, m_calledAtMs + kAgainMs);
        if (now < at) {
            // Looked at again when the program's clock is set, and at least each half minute:
            // a clock the system set forward (or a machine that slept) brings it nearer.
            m_changed.wait_for(lock,
                               std::chrono::milliseconds(std::min<std::int64_t>(at - now, 30000)));
            continue;
        }
        m_called = m_when;
        m_calledAtMs = now;
        lock.unlock();
        m_due();
        lock.lock();
    }
}

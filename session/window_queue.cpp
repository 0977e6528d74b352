#include "session/window_queue.h"

#include <chrono>

void WindowQueue::SetView(SessionView* view) {
    std::lock_guard lock(m_mutex);
    m_view = view;
    // What was said before a window came (the loading's lines) goes to it as soon as it does.
    if (m_view && !m_calls.empty()) {
        m_dispatchRequested = true;
        m_view->RequestDispatch();
    }
}

void WindowQueue::Post(std::function<void()> call) {
    {
        // Asked under the lock: a window that SetView is taking away is not asked any more.
        std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
        if (!m_dispatchRequested) {
            m_dispatchRequested = true;
            if (m_view) m_view->RequestDispatch();
        }
    }
    m_queued.notify_all();
}

void WindowQueue::Dispatch() {
    // A queued call that runs a modal loop may bring another dispatch: the outer one goes on.
    if (m_dispatching) return;
    m_dispatching = true;
    for (;;) {
        std::deque<std::function<void()>> calls;
        {
            std::lock_guard lock(m_mutex);
            m_dispatchRequested = false;
            calls.swap(m_calls);
        }
        if (calls.empty()) break;
        for (auto& call : calls) call();
    }
    m_dispatching = false;
}

void WindowQueue::WaitForCalls(unsigned milliseconds) {
    std::unique_lock lock(m_mutex);
    m_queued.wait_for(lock, std::chrono::milliseconds(milliseconds),
                      [this] { return !m_calls.empty(); });
}

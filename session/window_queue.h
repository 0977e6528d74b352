#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "platform/clock.h"

// What the session tells the window it is shown in. Every call but RequestDispatch is made on
// the window's thread, from WindowQueue::Dispatch, in the order the session made it.
class SessionView {
public:
    virtual ~SessionView() = default;
    // Asks for WatchSession::Dispatch to run soon on the window's thread; any thread calls it,
    // and it must not call back into the session.
    virtual void RequestDispatch() = 0;
    // A line of the program log, for the list.
    virtual void AddLogLine(int level, const platform::SystemTime& time,
                            const std::string& text) = 0;
    // The watch timer.
    virtual void SetWatchInterval(unsigned milliseconds) = 0;
    virtual void SetWatchEnabled(bool enabled) = 0;
    // The commit buttons of the configuration dialogs: LockWatchList, LockAddressList and
    // LockEntry in this order, and their unlock counterparts.
    virtual void LockDialogs() = 0;
    virtual void UnlockDialogs() = 0;
    // The work of a tick (or a send of the outbox) is over.
    virtual void SessionIdle() {}
    // An end that was asked for may come now: the work that ran is over, or (abandoned) it was
    // given up because it did not end in time and still holds its thread.
    virtual void SessionMayEnd(bool /*abandoned*/) {}
};

// The calls that other threads queue for the window, run on the window's thread in the order
// they were made. A call queued before there is a window waits for one.
class WindowQueue {
public:
    // The window that runs the calls; nullptr drops them from now on.
    void SetView(SessionView* view);
    SessionView* View() const { return m_view; }

    // Any thread: queues the call and asks the window for a dispatch (once until it comes).
    void Post(std::function<void()> call);
    // The window's thread: runs what is queued, and what those calls queue in turn.
    void Dispatch();
    // The window's thread: waits at most the time for a call to be queued.
    void WaitForCalls(unsigned milliseconds);

private:
    SessionView* m_view = nullptr;
    bool m_dispatching = false;
    std::mutex m_mutex;
    std::condition_variable m_queued;
    std::deque<std::function<void()>> m_calls;
    bool m_dispatchRequested = false;
};

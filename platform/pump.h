#pragma once

#include <functional>

// "Process the pending window messages": every wait that must keep the program responsive
// calls ProcessMessages between its polls. Only the thread that installed the pump (the
// window's) processes messages; on any other thread (the watch tick's) it does nothing, since
// nothing there waits on windows.
namespace platform {

// Runs the installed hook once on the window's thread; does nothing elsewhere or without one.
void ProcessMessages();

// Installs the hook for the calling thread (the application passes its event processing);
// empty removes it.
void SetMessagePump(std::function<void()> pump);

// True on the thread whose messages the pump processes.
bool OnPumpThread();

// Ends early every wait of the process that can end early (network look-ups, connections and
// replies, services settling, programs waited for): set when the program must end and cannot
// wait for a peer. Each such wait then fails as aborted (995).
void AbandonWaits(bool abandon);
bool WaitsAbandoned();

// Runs a call that blocks (an outside library's) and returns its result or exception in the
// caller's thread. On the window's thread the call runs on a thread of its own while messages
// are processed, so the windows stay responsive; a handler that runs meanwhile may make such a
// call of its own, which ends on its own terms (calls never wait for each other here). On any
// other thread the call simply runs.
void RunWhilePumping(const std::function<void()>& work);

}  // namespace platform

#pragma once

#include <functional>

// "Process the pending window messages": every wait that must keep the program responsive
// calls ProcessMessages between its polls.
namespace platform {

// Runs the installed hook once; does nothing when none is installed.
void ProcessMessages();

// Installs the hook (the application passes its event processing); empty removes it.
void SetMessagePump(std::function<void()> pump);

// Runs a call that blocks (an outside library's) on a thread of its own and processes messages
// until it has returned, so the windows stay responsive. Calls made this way run one at a time:
// a second one waits, still processing messages, until the first has returned. An exception
// the call throws comes out here, in the caller's thread.
void RunWhilePumping(const std::function<void()>& work);

}  // namespace platform

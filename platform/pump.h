#pragma once

#include <functional>

// "Process the pending window messages": every wait that must keep the program responsive
// calls ProcessMessages between its polls.
namespace platform {

// Runs the installed hook once; does nothing when none is installed.
void ProcessMessages();

// Installs the hook (the application passes its event processing); empty removes it.
void SetMessagePump(std::function<void()> pump);

}  // namespace platform

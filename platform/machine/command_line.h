#pragma once

#include <string_view>

#include "platform/process.h"

// Programs of the machine, started from a command line as CreateProcess starts them.
namespace platform {

// The command line is a Windows one: the program is its first word (in double quotes when it
// holds blanks), a path of the machine ("C:\\..." maps into the machine folder) or of Linux,
// or a bare name looked up in PATH; the other words are its arguments. Otherwise as
// CreateProcessArgv.
bool CreateProcess(std::string_view commandLine, HPROCESS* process);

}  // namespace platform

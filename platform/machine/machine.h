#pragma once

#include <string>
#include <string_view>

#include "platform/errors.h"

// The emulated machine: a folder laid out like the system parts of an NT machine (registry
// files, event log files, drive C:). Paths here are CP932, like every path of the program.
namespace platform {

// The machine's folder with its trailing separator: the one set for tests or tools, else
// NT_MACHINE_ROOT, else "machine/" in the program's data folder (UserFolders).
const std::string& MachineRoot();

// Points the platform at another machine folder (tests, --machine); empty restores the default.
void SetMachineRoot(const std::string& folder);

// Creates the default machine when its folder is missing; true when the machine is usable.
bool EnsureMachine();

// Expands %NAME% references: SystemRoot and windir (the machine's Windows folder), SystemDrive,
// the machine's environment values, then the process environment; unknown names stay.
std::string ExpandMachineEnvironment(std::string_view text);

// ExpandEnvironmentStrings into a buffer of bufferSize bytes: the size the expansion needs,
// terminator included; out holds the expansion only when that fits.
DWORD ExpandEnvironmentStrings(std::string_view text, std::string& out, DWORD bufferSize);

// A Windows path of the machine ("C:\\WINDOWS\\x.dll", an expanded %SystemRoot% path) as a path
// in the machine folder: "C:" becomes drive_c, backslashes become slashes, and each component
// is matched without regard to case when the exact name does not exist. Absolute Linux paths
// stay as they are.
std::string MapMachinePath(std::string_view windowsPath);

// The message file of the sources that eventcreate registers: messages 1 to 1000 are "%1".
constexpr std::string_view kEventCreateMessageFile = "%SystemRoot%\\system32\\quorvikmsg.dll";

// The registry path of the event log service's key.
constexpr std::string_view kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog";

}  // namespace platform

#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/handle.h"

// Processes, as CreateProcess and its companions give them (the machine's CreateProcess, which
// takes a command line of the machine, starts them through CreateProcessArgv). The program runs
// directly, never through a shell. Failures set the last error: 2 when the program is missing, 3
// when its folder is, 5 when it may not run or is a folder, 193 when it is not an executable.
namespace platform {

struct ProcessObject;
using HPROCESS = ProcessObject*;

// What backslashes are in a command line: escapes before quotes, as programs of that system
// read them, or always just themselves, as in lines that only carry paths.
enum class Backslashes { EscapeQuotes, Plain };

// Splits a Windows command line into its words: blanks separate, double quotes group (a doubled
// one inside quotes stands for one); with escapes, 2n backslashes before a quote give n and open
// or close a quote, 2n+1 give n and a quote.
std::vector<std::string> SplitCommandLine(std::string_view commandLine,
                                          Backslashes backslashes = Backslashes::EscapeQuotes);

// Splits a line into words as a shell does (quotes, escapes and variables), running no command:
// false with 193 for a line that cannot be read so.
bool ShellWords(std::string_view line, std::vector<std::string>& words);

// Starts a program whose path and arguments are given already (argv[0] is a path, or a bare
// name looked up in PATH), with this process's environment and current folder and no open
// files but the standard three. With process, the caller waits for it and must close the
// handle; without, the program runs on by itself and nobody needs to wait for it.
bool CreateProcessArgv(const std::vector<std::string>& argv, HPROCESS* process);

enum : DWORD { kWaitObject0 = 0, kWaitTimeout = 258, kWaitFailed = 0xFFFFFFFF };
constexpr DWORD kInfinite = 0xFFFFFFFF;

// Waits until the process ends or the time is up: kWaitObject0 or kWaitTimeout.
DWORD WaitForSingleObject(HPROCESS process, DWORD milliseconds);

// The exit code once the process has ended, kStillActive before. A process ended by a signal
// gets the code Windows gives the like ending (0xC0000005 for a memory fault, 3 for an abort).
bool GetExitCodeProcess(HPROCESS process, DWORD& exitCode);

// The process's id on this machine; 0 for none.
DWORD GetProcessId(HPROCESS process);

// Closes the handle. A process still running goes on and is collected when it ends.
bool CloseHandle(HPROCESS process);

using UniqueProcess = UniqueHandle<HPROCESS, &CloseHandle>;

// The exit code that stands for a wait status of Linux.
DWORD ExitCodeFromWaitStatus(int status);

}  // namespace platform

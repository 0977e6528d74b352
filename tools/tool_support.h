#pragma once

#include <string>
#include <string_view>

// What the command-line tools of the machine share: arguments, the machine folder, messages.

// With -h or --help among the arguments: prints what the tool does and its usage to standard
// output and exits 0.
// Under a Japanese locale (LC_ALL, LC_MESSAGES or LANG starting with "ja") it says so in Japanese.
void AnswerHelp(int argc, char** argv, const char* about, const char8_t* aboutJapanese,
                const char* usage);

// Prints "<tool>: <message>" and the usage line, and exits 2.
[[noreturn]] void UsageError(const char* tool, const std::string& message, const char* usage);

// Prints "<tool>: 0x%08x: <text>" for the last error (or the given code) and exits 1.
[[noreturn]] void Fail(const char* tool, const std::string& what, unsigned long code);
[[noreturn]] void FailWithLastError(const char* tool, const std::string& what);

// The value after the option at argv[i], moving i past it; a usage error when there is none.
std::string OptionValue(int argc, char** argv, int& i, const char* tool, const char* usage);

// Points the platform at --machine DIR (or the default) and creates the machine if missing.
void UseMachine(const char* tool, const std::string& folderUtf8);

// The machine's own spelling of a log it has (names compare without regard to case). For any
// other name prints that the log does not exist and exits 1: the system would quietly open the
// Application log instead.
std::string RequireLog(const char* tool, const std::string& logUtf8);

// A number given in decimal or with 0x in hexadecimal; false if it is not one or too large.
bool ParseNumber(std::string_view text, unsigned long long max, unsigned long long& value);

// JSON string literal of a UTF-8 text.
std::string JsonString(std::string_view utf8);

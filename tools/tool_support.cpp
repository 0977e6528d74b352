#include "tools/tool_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "eventlog/catalog.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/json.h"
#include "platform/machine/machine.h"

void AnswerHelp(int argc, char** argv, const char* about, const char8_t* aboutJapanese,
                const char* usage) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            // The usage under the name the tool was called by: eventcreate in the build folder,
            // quorvik-eventcreate installed.
            const std::string_view line(usage);
            const size_t space = std::min(line.find(' '), line.size());
            const std::string tool(line.substr(0, space));
            const char* slash = std::strrchr(argv[0], '/');
            const char* name = slash ? slash + 1 : argv[0];
            if (!*name) name = tool.c_str();
            if (platform::JapaneseLocale()) {
                std::printf(
                    "%s\n使い方: %s%s\n\n詳しくはマニュアル ページ quorvik-%s(1) を参照して"
                    "ください。\n",
                    reinterpret_cast<const char*>(aboutJapanese), name,
                    std::string(line.substr(space)).c_str(), tool.c_str());
            } else {
                std::printf("%s\nusage: %s%s\n\nMore in the manual page quorvik-%s(1).\n", about,
                            name, std::string(line.substr(space)).c_str(), tool.c_str());
            }
            std::exit(0);
        }
    }
}

void UsageError(const char* tool, const std::string& message, const char* usage) {
    std::fprintf(stderr, "%s: %s\nusage: %s\n", tool, message.c_str(), usage);
    std::exit(2);
}

void Fail(const char* tool, const std::string& what, unsigned long code) {
    const std::string text = platform::SystemErrorTextOrCode(static_cast<platform::DWORD>(code));
    std::fprintf(stderr, "%s: %s: %s\n", tool, what.c_str(), platform::SjisToUtf8(text).c_str());
    std::exit(1);
}

void FailWithLastError(const char* tool, const std::string& what) {
    Fail(tool, what, platform::GetLastError());
}

std::string OptionValue(int argc, char** argv, int& i, const char* tool, const char* usage) {
    if (i + 1 >= argc) UsageError(tool, std::string(argv[i]) + " needs a value", usage);
    return argv[++i];
}

void UseMachine(const char* tool, const std::string& folderUtf8) {
    if (!folderUtf8.empty()) platform::SetMachineRoot(platform::NativeToPath(folderUtf8));
    if (!platform::EnsureMachine()) {
        FailWithLastError(tool, "cannot create the machine at " +
                                    platform::PathToNative(platform::MachineRoot()));
    }
}

std::string RequireLog(const char* tool, const std::string& logUtf8) {
    const std::string name = platform::Utf8ToSjis(logUtf8);
    std::vector<std::string> logs;
    ListLogs(logs);
    for (const std::string& log : logs) {
        if (platform::EqualsNoCase(log, name)) return log;
    }
    std::fprintf(stderr, "%s: log %s: the specified log does not exist on this machine\n", tool,
                 logUtf8.c_str());
    std::exit(1);
}

bool ParseNumber(std::string_view text, unsigned long long max, unsigned long long& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 20) return false;
    value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        if (value > (max - static_cast<unsigned>(digit)) / static_cast<unsigned>(base))
            return false;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    }
    return true;
}

std::string JsonString(std::string_view utf8) { return platform::json::Quote(utf8); }

// Writes events to the machine's logs, registers logs and sources, clears logs, and sets a log's
// maximum size or next record number.

#include <cstdio>
#include <string>
#include <vector>

#include "eventlog/rendering.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/machine/accounts.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/machine.h"
#include "platform/machine/msgfile.h"
#include "platform/machine/registry.h"
#include "platform/machine/registry_files.h"
#include "tools/tool_support.h"

namespace {

constexpr char kTool[] = "eventcreate";
constexpr char kUsage[] =
    "eventcreate [--machine DIR] --log LOG (--source SRC --type TYPE --id N [--category N] "
    "[--string TEXT]... [--user SID] [--computer NAME] [--data HEX] | --clear | "
    "--max-size BYTES | --next-record N)";

bool ParseType(const std::string& text, std::uint16_t& type) {
    const std::pair<const char*, std::uint16_t> names[] = {
        {"error", platform::kEventError},
        {"warning", platform::kEventWarning},
        {"information", platform::kEventInformation},
        {"success", platform::kEventSuccess},
        {"audit-success", platform::kEventAuditSuccess},
        {"audit-failure", platform::kEventAuditFailure},
    };
    for (const auto& [name, value] : names) {
        if (text == name) {
            type = value;
            return true;
        }
    }
    unsigned long long number = 0;
    if (!ParseNumber(text, 0xFFFF, number)) return false;
    type = static_cast<std::uint16_t>(number);
    return true;
}

// Registers the log and the source when the registry does not know them yet.
void Register(const std::string& log, const std::string& source) {
    using namespace platform;
    std::string owner;
    if (RegisterEventSource(log, source, &owner)) return;
    if (!owner.empty()) {
        std::fprintf(stderr, "%s: source %s is registered in log %s\n", kTool,
                     SjisToUtf8(source).c_str(), SjisToUtf8(owner).c_str());
        Fail(kTool, "cannot register the source", kErrorInvalidParameter);
    }
    FailWithLastError(kTool, "cannot write the registry");
}

// Whether a message file of the source holds the identifier.
bool SourceHasMessage(const std::string& log, const std::string& source, platform::DWORD id) {
    using namespace platform;
    for (const std::string& file : MessageFiles(log, source, "EventMessageFile")) {
        HMODULE module = LoadLibraryAsDatafile(file);
        if (!module) continue;
        std::string text;
        const bool found = FindMessage(module, id, 0, text);
        FreeLibrary(module);
        if (found) return true;
    }
    return false;
}

// The severity bits a message compiler gives a message of this type (0xC0000000 for an error).
platform::DWORD SeverityOfType(std::uint16_t type) {
    switch (type) {
        case 1: return 0xC0000000;  // error
        case 2: return 0x80000000;  // warning
        case 0: return 0;           // success
        default: return 0x40000000;
    }
}

}  // namespace

int main(int argc, char** argv) {
    AnswerHelp(
        argc, argv,
        "Writes an event to a log of the machine, registering the log and the source when new; clears a log, or sets its maximum size or next record number.",
        u8"マシンのログにイベントを書きます。新しいログとソースは登録します。ログを消去し、最大サイズや次のレコード番号を設定することもできます。",
        kUsage);
    using namespace platform;
    std::string machine, log, source, typeText, idText, categoryText, user, computer, dataText;
    std::string maxSizeText, nextRecordText;
    std::vector<std::string> strings;
    bool clear = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) { out = OptionValue(argc, argv, i, kTool, kUsage); };
        if (arg == "--machine")
            value(machine);
        else if (arg == "--log")
            value(log);
        else if (arg == "--source")
            value(source);
        else if (arg == "--type")
            value(typeText);
        else if (arg == "--id")
            value(idText);
        else if (arg == "--category")
            value(categoryText);
        else if (arg == "--string")
            strings.emplace_back(), value(strings.back());
        else if (arg == "--user")
            value(user);
        else if (arg == "--computer")
            value(computer);
        else if (arg == "--data")
            value(dataText);
        else if (arg == "--clear")
            clear = true;
        else if (arg == "--max-size")
            value(maxSizeText);
        else if (arg == "--next-record")
            value(nextRecordText);
        else
            UsageError(kTool, "unknown argument " + arg, kUsage);
    }
    if (log.empty()) UsageError(kTool, "--log is required", kUsage);
    int modes = clear + !maxSizeText.empty() + !nextRecordText.empty() + !source.empty();
    if (modes != 1)
        UsageError(kTool, "give exactly one of --source, --clear, --max-size, --next-record",
                   kUsage);

    UseMachine(kTool, machine);
    const std::string logName = Utf8ToSjis(log);

    // The machine reads .evtx logs (copies of today's Windows logs) but writes only classic ones.
    const std::string file = EventLogFilePath(logName);
    if (IsEvtxFile(file)) {
        std::fprintf(stderr,
                     "%s: log %s is the .evtx file %s, which the machine reads but does not "
                     "write\n",
                     kTool, log.c_str(), SjisToUtf8(file).c_str());
        return 1;
    }
    if (clear || !maxSizeText.empty() || !nextRecordText.empty()) {
        unsigned long long number = 0;
        if (!maxSizeText.empty() &&
            (!ParseNumber(maxSizeText, 0xFFFFFFFF, number) || number < 1024)) {
            UsageError(kTool, "--max-size needs a number of bytes, 1024 or more", kUsage);
        }
        if (!nextRecordText.empty() && !ParseNumber(nextRecordText, 0xFFFFFFFF, number)) {
            UsageError(kTool, "--next-record needs a record number", kUsage);
        }
        Register(logName, "");
        bool ok;
        if (clear) {
            UniqueEventLog handle(OpenEventLog("", logName));
            ok = handle && ClearEventLog(handle.Get());
        } else if (!maxSizeText.empty()) {
            ok = SetEventLogMaxSize(logName, static_cast<DWORD>(number));
        } else {
            ok = SetEventLogNextRecord(logName, static_cast<DWORD>(number));
        }
        if (!ok) FailWithLastError(kTool, "log " + log);
        return 0;
    }

    EventToWrite event;
    unsigned long long number = 0;
    if (typeText.empty() || !ParseType(typeText, event.type)) {
        UsageError(kTool,
                   "--type needs error, warning, information, success, audit-success, "
                   "audit-failure or a number",
                   kUsage);
    }
    if (idText.empty() || !ParseNumber(idText, 0xFFFFFFFF, number)) {
        UsageError(kTool, "--id needs an event identifier", kUsage);
    }
    event.eventId = static_cast<DWORD>(number);
    if (!categoryText.empty()) {
        if (!ParseNumber(categoryText, 0xFFFF, number))
            UsageError(kTool, "--category needs a number", kUsage);
        event.category = static_cast<std::uint16_t>(number);
    }
    for (const std::string& s : strings) event.strings.push_back(Utf8ToSjis(s));
    if (!user.empty() && !StringToSid(user, event.sid))
        UsageError(kTool, "--user needs a SID such as S-1-5-18", kUsage);
    if (!dataText.empty() && !FromHex(dataText, event.data))
        UsageError(kTool, "--data needs hexadecimal bytes", kUsage);
    event.computer = Utf8ToSjis(computer);

    const std::string sourceName = Utf8ToSjis(source);
    Register(logName, sourceName);
    // Programs report identifiers with their severity bits; a bare one the source's messages
    // know only with the bits of its type is written with them, so that it renders.
    if (!SourceHasMessage(logName, sourceName, event.eventId)) {
        const DWORD withSeverity = event.eventId | SeverityOfType(event.type);
        if (event.eventId <= 0xFFFF && SourceHasMessage(logName, sourceName, withSeverity)) {
            event.eventId = withSeverity;
        } else {
            std::fprintf(stderr,
                         "%s: note: no message of source %s has the identifier %s; the "
                         "event will have no description\n",
                         kTool, source.c_str(), idText.c_str());
        }
    }
    if (!ReportEvent(sourceName, event)) FailWithLastError(kTool, "log " + log);
    return 0;
}

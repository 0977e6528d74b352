// Lists the records of a log of the machine, or of an .evt file, in record-number order.

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/dry_run.h"
#include "eventlog/catalog.h"
#include "eventlog/rendering.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/machine/accounts.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/machine.h"
#include "tools/tool_support.h"

namespace {

constexpr char kTool[] = "eventquery";
constexpr char kUsage[] =
    "eventquery [--machine DIR] (--log LOG | --file PATH) [--from N] [--json] | --list-logs | "
    "--list-sources LOG | --list-categories LOG SOURCE | --list-event-ids LOG SOURCE --mask M";

std::string TimeText(std::uint32_t seconds) {
    time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    localtime_r(&t, &tm);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%Y/%m/%d %H:%M:%S", &tm);
    return buffer;
}

const char* TypeName(std::uint16_t type) {
    switch (type) {
        case platform::kEventError: return "error";
        case platform::kEventWarning: return "warning";
        case platform::kEventInformation: return "information";
        case platform::kEventAuditSuccess: return "audit-success";
        case platform::kEventAuditFailure: return "audit-failure";
        case platform::kEventSuccess: return "success";
        default: return "other";
    }
}

// The texts the program shows for a record: rendered, trimmed, with its fallbacks.
std::string Description(platform::EventLogHandle handle, const std::string& log,
                        const platform::EventLogRecordParts& r) {
    const std::vector<std::string> strings(r.strings.begin(), r.strings.end());
    std::string text =
        TrimControls(EventDescription(log, std::string(r.source), r.fixed.EventID, strings,
                                      static_cast<std::uint16_t>(strings.size())));
    std::vector<std::string> names;
    if (text.empty() && platform::GetEventDataNames(handle, r.fixed.RecordNumber, names))
        text = DataDescription(names, strings);
    return text.empty() ? sjis(u8"Quorvik: なし、または取得に失敗しました。") : text;
}

std::string Category(const std::string& log, const platform::EventLogRecordParts& r) {
    std::string text =
        TrimControls(CategoryText(log, std::string(r.source), r.fixed.EventCategory));
    return text.empty() ? sjis(u8"なし") : text;
}

void Print(platform::EventLogHandle handle, const std::string& log,
           const platform::EventLogRecordParts& r, bool json) {
    using platform::SjisToUtf8;
    const std::string description = SjisToUtf8(Description(handle, log, r));
    const std::string category = SjisToUtf8(Category(log, r));
    std::string sidText = platform::SidToString(r.sid);
    std::string user, domain;
    bool hasUser = !r.sid.empty() && platform::LookupAccountSid(r.computer, r.sid, user, domain);
    if (json) {
        std::string line = "{\"record\":" + std::to_string(r.fixed.RecordNumber) +
                           ",\"generated\":" + std::to_string(r.fixed.TimeGenerated) +
                           ",\"written\":" + std::to_string(r.fixed.TimeWritten) +
                           ",\"eventId\":" + std::to_string(r.fixed.EventID) +
                           ",\"type\":" + std::to_string(r.fixed.EventType) +
                           ",\"category\":" + std::to_string(r.fixed.EventCategory) +
                           ",\"source\":" + JsonString(SjisToUtf8(r.source)) +
                           ",\"computer\":" + JsonString(SjisToUtf8(r.computer)) +
                           ",\"sid\":" + (sidText.empty() ? "null" : JsonString(sidText)) +
                           ",\"user\":" + (hasUser ? JsonString(SjisToUtf8(user)) : "null") +
                           ",\"strings\":[";
        for (size_t i = 0; i < r.strings.size(); ++i) {
            if (i > 0) line += ',';
            line += JsonString(SjisToUtf8(r.strings[i]));
        }
        line += "],\"data\":" + JsonString(platform::ToHex(r.data)) +
                ",\"description\":" + JsonString(description) +
                ",\"categoryText\":" + JsonString(category) + "}";
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stdout);
        return;
    }
    std::printf("Record:    %u\n", r.fixed.RecordNumber);
    std::printf("Generated: %s\n", TimeText(r.fixed.TimeGenerated).c_str());
    std::printf("Written:   %s\n", TimeText(r.fixed.TimeWritten).c_str());
    std::printf("Event ID:  %u (0x%08x)\n", r.fixed.EventID, r.fixed.EventID);
    std::printf("Type:      %s (%u)\n", TypeName(r.fixed.EventType), r.fixed.EventType);
    std::printf("Category:  %u (%s)\n", r.fixed.EventCategory, category.c_str());
    std::printf("Source:    %s\n", SjisToUtf8(r.source).c_str());
    std::printf("Computer:  %s\n", SjisToUtf8(r.computer).c_str());
    if (!sidText.empty()) {
        std::printf("User:      %s (%s)\n", hasUser ? SjisToUtf8(user).c_str() : "?",
                    sidText.c_str());
    }
    for (size_t i = 0; i < r.strings.size(); ++i) {
        std::printf("String %zu:  %s\n", i + 1, SjisToUtf8(r.strings[i]).c_str());
    }
    if (!r.data.empty()) std::printf("Data:      %s\n", platform::ToHex(r.data).c_str());
    std::printf("Description:\n%s\n\n", description.c_str());
}

void PrintLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) std::printf("%s\n", platform::SjisToUtf8(line).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    AnswerHelp(
        argc, argv,
        "Lists the records of a log of the machine, or of an .evt file, with their descriptions as the program renders them; lists logs, sources, categories and event ids.",
        u8"マシンのログ、または .evt ファイルのレコードを、プログラムが表示する説明とともに一覧します。ログ、ソース、分類、イベント ID も一覧できます。",
        kUsage);
    using namespace platform;
    std::string machine, log, file, fromText, maskText;
    std::vector<std::string> listArgs;
    std::string listing;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) { out = OptionValue(argc, argv, i, kTool, kUsage); };
        if (arg == "--machine")
            value(machine);
        else if (arg == "--log")
            value(log);
        else if (arg == "--file")
            value(file);
        else if (arg == "--from")
            value(fromText);
        else if (arg == "--json")
            json = true;
        else if (arg == "--mask")
            value(maskText);
        else if (arg == "--list-logs" || arg == "--list-sources" || arg == "--list-categories" ||
                 arg == "--list-event-ids") {
            if (!listing.empty()) UsageError(kTool, "give one listing", kUsage);
            listing = arg;
            int wanted = arg == "--list-logs" ? 0 : arg == "--list-sources" ? 1 : 2;
            for (int k = 0; k < wanted; ++k) {
                if (i + 1 >= argc) UsageError(kTool, arg + " needs more names", kUsage);
                listArgs.push_back(Utf8ToSjis(argv[++i]));
            }
        } else
            UsageError(kTool, "unknown argument " + arg, kUsage);
    }
    if (!listing.empty()) {
        if (!log.empty() || !file.empty())
            UsageError(kTool, "a listing takes no --log or --file", kUsage);
        unsigned long long mask = 0;
        if (listing == "--list-event-ids" &&
            (maskText.empty() || !ParseNumber(maskText, 255, mask))) {
            UsageError(kTool, "--list-event-ids needs --mask M (0-255)", kUsage);
        }
        UseMachine(kTool, machine);
        std::vector<std::string> lines;
        if (listing == "--list-logs")
            ListLogs(lines);
        else if (listing == "--list-sources")
            ListSources(listArgs[0], lines);
        else if (listing == "--list-categories")
            ListCategories(listArgs[0], listArgs[1], lines);
        else
            ListEventIDs(listArgs[0], listArgs[1], static_cast<std::uint8_t>(mask), lines);
        PrintLines(lines);
        return 0;
    }
    if (log.empty() == file.empty()) UsageError(kTool, "give one of --log and --file", kUsage);
    unsigned long long from = 0;
    if (!fromText.empty() && !ParseNumber(fromText, 0xFFFFFFFF, from)) {
        UsageError(kTool, "--from needs a record number", kUsage);
    }

    UniqueEventLog handle;
    std::string logName = Utf8ToSjis(log);
    if (!file.empty()) {
        // The file is no log of the machine, but its registry gives the descriptions.
        if (!machine.empty()) SetMachineRoot(NativeToPath(machine));
        handle.Reset(OpenBackupEventLog("", NativeToPath(file)));
    } else {
        UseMachine(kTool, machine);
        logName = RequireLog(kTool, log);
        handle.Reset(OpenEventLog("", logName));
    }
    if (!handle) FailWithLastError(kTool, file.empty() ? "log " + log : file);

    DWORD count = 0, oldest = 0;
    const bool counted = GetNumberOfEventLogRecords(handle.Get(), count);
    // Damage found in an .evtx file: the records that could be read are listed all the same.
    for (const std::string& warning : EventLogFileWarnings(handle.Get()))
        std::fprintf(stderr, "%s: warning: %s\n", kTool, warning.c_str());
    if (!counted || !GetOldestEventLogRecord(handle.Get(), oldest)) {
        FailWithLastError(kTool, "cannot read the log's state");
    }
    unsigned first = oldest;
    if (!fromText.empty() && !FirstRecordFrom(static_cast<unsigned>(from), oldest, count, first))
        count = 0;
    // The first record by a seek read, the rest by sequential reads that fill the buffer; only
    // the records the log held at the start.
    std::vector<char> buffer(0x10000);
    DWORD left = count > 0 ? count - (first - oldest) : 0;
    DWORD flags = kEventLogSeekRead | kEventLogForwardsRead;
    while (left > 0) {
        DWORD read = 0, needed = 0;
        if (!ReadEventLog(handle.Get(), flags, first, buffer.data(),
                          static_cast<DWORD>(buffer.size()), &read, &needed)) {
            if (GetLastError() == kErrorInsufficientBuffer) {
                buffer.resize(needed);
                continue;
            }
            // An .evtx log's numbers can have gaps where a chunk was damaged.
            if (GetLastError() == kErrorHandleEof) break;
            FailWithLastError(kTool, "record " + std::to_string(first));
        }
        flags = kEventLogSequentialRead | kEventLogForwardsRead;
        for (DWORD at = 0; at < read && left > 0; --left) {
            EventLogRecordParts parts;
            if (!ParseEventLogRecord(std::string_view(buffer.data() + at, read - at), parts)) {
                Fail(kTool, "record " + std::to_string(first), kErrorInvalidData);
            }
            // A file of no log of this machine is rendered as the log that has the source.
            Print(handle.Get(), file.empty() ? logName : LogOfSource(std::string(parts.source)),
                  parts, json);
            first = parts.fixed.RecordNumber + 1;
            at += parts.fixed.Length;
        }
    }
    return 0;
}

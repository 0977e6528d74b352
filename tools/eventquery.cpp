// Lists the records of a log of the machine, or of an .evt file, in record-number order.

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/codepage.h"
#include "platform/eventlog.h"
#include "platform/linux/evt_format.h"
#include "tools/tool_support.h"

namespace {

constexpr char kTool[] = "eventquery";
constexpr char kUsage[] = "eventquery [--machine DIR] (--log LOG | --file PATH) [--from N] [--json]";

struct Read {
    platform::EventLogRecord fixed;
    std::string source, computer, sid;
    std::vector<std::string> strings;
    std::string data;
};

// Takes the record that ReadEventLog put at the start of the buffer apart.
Read Parse(const std::vector<char>& buffer) {
    Read r;
    std::memcpy(&r.fixed, buffer.data(), sizeof r.fixed);
    const char* base = buffer.data();
    const size_t end = r.fixed.Length - 4;
    size_t pos = sizeof r.fixed;
    auto take = [&](size_t& at) {
        std::string s;
        while (at < end && base[at] != '\0') s += base[at++];
        ++at;
        return s;
    };
    r.source = take(pos);
    r.computer = take(pos);
    r.sid.assign(base + r.fixed.UserSidOffset, r.fixed.UserSidLength);
    size_t at = r.fixed.StringOffset;
    for (unsigned i = 0; i < r.fixed.NumStrings; ++i) r.strings.push_back(take(at));
    r.data.assign(base + r.fixed.DataOffset, r.fixed.DataLength);
    return r;
}

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

void Print(const Read& r, bool json) {
    using platform::SjisToUtf8;
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
        line += "],\"data\":" + JsonString(ToHexText(r.data)) + "}";
        std::printf("%s\n", line.c_str());
        return;
    }
    std::printf("Record:    %u\n", r.fixed.RecordNumber);
    std::printf("Generated: %s\n", TimeText(r.fixed.TimeGenerated).c_str());
    std::printf("Written:   %s\n", TimeText(r.fixed.TimeWritten).c_str());
    std::printf("Event ID:  %u (0x%08x)\n", r.fixed.EventID, r.fixed.EventID);
    std::printf("Type:      %s (%u)\n", TypeName(r.fixed.EventType), r.fixed.EventType);
    std::printf("Category:  %u\n", r.fixed.EventCategory);
    std::printf("Source:    %s\n", SjisToUtf8(r.source).c_str());
    std::printf("Computer:  %s\n", SjisToUtf8(r.computer).c_str());
    if (!sidText.empty()) {
        std::printf("User:      %s (%s)\n", hasUser ? SjisToUtf8(user).c_str() : "?", sidText.c_str());
    }
    for (size_t i = 0; i < r.strings.size(); ++i) {
        std::printf("String %zu:  %s\n", i + 1, SjisToUtf8(r.strings[i]).c_str());
    }
    if (!r.data.empty()) std::printf("Data:      %s\n", ToHexText(r.data).c_str());
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    using namespace platform;
    std::string machine, log, file, fromText;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) UsageError(kTool, arg + " needs a value", kUsage);
            out = argv[++i];
        };
        if (arg == "--machine") value(machine);
        else if (arg == "--log") value(log);
        else if (arg == "--file") value(file);
        else if (arg == "--from") value(fromText);
        else if (arg == "--json") json = true;
        else UsageError(kTool, "unknown argument " + arg, kUsage);
    }
    if (log.empty() == file.empty()) UsageError(kTool, "give one of --log and --file", kUsage);
    unsigned long long from = 0;
    if (!fromText.empty() && !ParseNumber(fromText, 0xFFFFFFFF, from)) {
        UsageError(kTool, "--from needs a record number", kUsage);
    }

    EventLogHandle handle;
    if (!file.empty()) {
        handle = OpenBackupEventLog("", Utf8ToSjis(file));
    } else {
        UseMachine(kTool, machine);
        handle = OpenEventLog("", Utf8ToSjis(log));
    }
    if (!handle) FailWithLastError(kTool, file.empty() ? "log " + log : file);

    DWORD count = 0, oldest = 0;
    if (!GetNumberOfEventLogRecords(handle, count) || !GetOldestEventLogRecord(handle, oldest)) {
        FailWithLastError(kTool, "cannot read the log's state");
    }
    DWORD first = oldest;
    if (!fromText.empty()) {
        DWORD wanted = static_cast<DWORD>(from);
        if (wanted - oldest >= count) {
            // Before the oldest record: start there; after the newest: nothing to list.
            if (oldest - wanted <= 0x7FFFFFFF) first = oldest; else count = 0;
        } else {
            first = wanted;
        }
    }
    std::vector<char> buffer(0x10000);
    for (DWORD n = first; count > 0 && n - oldest < count; ++n) {
        DWORD read = 0, needed = 0;
        while (!ReadEventLog(handle, kEventLogSeekRead | kEventLogForwardsRead, n, buffer.data(),
                             static_cast<DWORD>(buffer.size()), &read, &needed)) {
            if (GetLastError() != kErrorInsufficientBuffer) {
                FailWithLastError(kTool, "record " + std::to_string(n));
            }
            buffer.resize(needed);
        }
        Print(Parse(buffer), json);
    }
    CloseEventLog(handle);
    return 0;
}

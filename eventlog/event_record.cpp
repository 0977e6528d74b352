#include "eventlog/event_record.h"

#include <memory>
#include <string_view>
#include <vector>

#include "eventlog/rendering.h"
#include "platform/codepage.h"
#include "platform/machine/accounts.h"

using platform::DWORD;

namespace {

constexpr size_t kReadBufferStep = 40960;

RecordIdentity IdentityOf(const platform::EventLogRecord& fixed, std::string_view bytes) {
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    return RecordIdentity{true, fixed.TimeWritten, fixed.Length, hash};
}

}  // namespace

platform::EventLogHandle OpenEventLogByName(const std::string& logName) {
    std::string computer;
    if (!platform::GetComputerName(computer, 16)) return nullptr;
    return platform::OpenEventLog(computer, logName);
}

bool ReadRecordIdentity(platform::EventLogHandle handle, std::uint32_t number,
                        RecordIdentity& identity) {
    std::vector<char> buffer(1024);
    DWORD read = 0, needed = 0;
    while (!platform::ReadEventLog(
        handle, platform::kEventLogSeekRead | platform::kEventLogForwardsRead, number,
        buffer.data(), static_cast<DWORD>(buffer.size()), &read, &needed)) {
        if (platform::GetLastError() != platform::kErrorInsufficientBuffer ||
            needed <= buffer.size()) {
            return false;
        }
        buffer.resize(needed);
    }
    platform::EventLogRecordParts parts;
    if (!platform::ParseEventLogRecord(std::string_view(buffer.data(), read), parts)) return false;
    identity = IdentityOf(parts.fixed, std::string_view(buffer.data(), parts.fixed.Length));
    return true;
}

bool ReadEventRecord(const std::string& logName, platform::EventLogHandle handle,
                     std::uint32_t number, EventRecord& record, DWORD& error,
                     RecordIdentity* identity) {
    // A new buffer for each record, not cleared: the read fills what it reports.
    std::unique_ptr<char[]> buffer;
    size_t size = 0;
    DWORD read = 0, needed = 0;
    for (size_t attempt = 1;; ++attempt) {
        size = attempt * kReadBufferStep;
        buffer.reset(new char[size]);
        if (platform::ReadEventLog(
                handle, platform::kEventLogSeekRead | platform::kEventLogBackwardsRead, number,
                buffer.get(), static_cast<DWORD>(size), &read, &needed)) {
            break;
        }
        error = platform::GetLastError();
        // The buffer grows by a step per attempt; a read that asks for no more than it had is
        // not going to be satisfied by growing further.
        if (error != platform::kErrorInsufficientBuffer || (needed != 0 && needed <= size)) {
            return false;
        }
    }
    platform::EventLogRecordParts parts;
    if (!platform::ParseEventLogRecord(std::string_view(buffer.get(), read), parts)) {
        error = platform::kErrorInvalidData;
        return false;
    }
    const platform::EventLogRecord& fixed = parts.fixed;
    if (identity) *identity = IdentityOf(fixed, std::string_view(buffer.get(), fixed.Length));
    const std::string source(parts.source), computer(parts.computer);
    const std::vector<std::string> strings(parts.strings.begin(), parts.strings.end());
    record.RecordNumber = fixed.RecordNumber;
    record.TimeGenerated = platform::LocalTimeOf(fixed.TimeGenerated);
    record.TimeGenerated.milliseconds = 0;
    record.EventID = fixed.EventID;
    record.EventType = fixed.EventType;
    record.SourceName = source;
    record.ComputerName = computer;
    std::string user;
    if (!parts.sid.empty()) {
        std::string name, domain;
        if (platform::LookupAccountSid(computer, parts.sid, name, domain)) user = name;
    }
    // What the sender rendered: before this machine's rendering (an event forwarded by an agent),
    // or only where this machine renders nothing (the rendering info of an .evtx record).
    platform::CarriedTexts carried;
    const bool hasCarried = platform::ReadCarriedTexts(parts.data, carried);
    const bool first = hasCarried && !carried.fallback;
    if (user.empty()) user = carried.user;
    record.User = TrimControls(user);
    if (record.User.empty()) record.User = "N/A";
    record.Category = TrimControls(first && !carried.category.empty()
                                       ? carried.category
                                       : CategoryText(logName, source, fixed.EventCategory));
    if (record.Category.empty()) record.Category = TrimControls(carried.category);
    if (record.Category.empty()) record.Category = sjis(u8"なし");
    record.Description =
        TrimControls(first && !carried.description.empty()
                         ? carried.description
                         : EventDescription(logName, source, fixed.EventID, strings,
                                            static_cast<std::uint16_t>(strings.size())));
    if (record.Description.empty()) record.Description = TrimControls(carried.description);
    std::vector<std::string> names;
    if (record.Description.empty() && platform::GetEventDataNames(handle, number, names)) {
        record.Description =
            strings.empty() ? sjis(u8"メッセージファイルがなく、イベントにデータもありません。")
                            : DataDescription(names, strings);
    }
    if (record.Description.empty())
        record.Description = sjis(u8"Quorvik: なし、または取得に失敗しました。");
    return true;
}

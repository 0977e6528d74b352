// Feeds any bytes to the .evt reader as a file, and reads every record it admits to; and feeds
// them to the record codec as one record, where the ANSI layout must hold what the decoder finds.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_folder.h"
#include "platform/codepage.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/evt_format.h"

namespace {

void ReadAsFile(const uint8_t* data, size_t size) {
    const std::string path = FuzzFolder() + "fuzz.evt";
    WriteInput(path, data, size);
    platform::UniqueEventLog log(platform::OpenBackupEventLog("", path));
    if (!log) return;
    platform::DWORD count = 0, oldest = 0;
    if (!platform::GetNumberOfEventLogRecords(log.Get(), count) ||
        !platform::GetOldestEventLogRecord(log.Get(), oldest)) {
        return;
    }
    std::vector<char> buffer(0x10000);
    for (platform::DWORD i = 0; i < count && i < 64; ++i) {
        platform::DWORD read = 0, needed = 0;
        if (!platform::ReadEventLog(log.Get(),
                                    platform::kEventLogSeekRead | platform::kEventLogForwardsRead,
                                    oldest + i, buffer.data(),
                                    static_cast<platform::DWORD>(buffer.size()), &read, &needed)) {
            continue;
        }
        platform::EventLogRecordParts parts;
        if (read > buffer.size() ||
            !platform::ParseEventLogRecord(std::string_view(buffer.data(), read), parts)) {
            __builtin_trap();
        }
    }
    // Sequential reads to the end must end.
    platform::DWORD read = 0, needed = 0;
    for (int i = 0; i < 1000 && platform::ReadEventLog(log.Get(),
                                                       platform::kEventLogSequentialRead |
                                                           platform::kEventLogBackwardsRead,
                                                       0, buffer.data(), 4096, &read, &needed);
         ++i) {
    }
}

void ConvertAsRecord(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    platform::evt::Record record;
    std::string ansi;
    const bool decoded = platform::evt::DecodeRecord(bytes, record);
    if (decoded != platform::evt::AnsiRecordOf(bytes, ansi)) __builtin_trap();
    if (!decoded) return;
    platform::EventLogRecordParts parts;
    if (!platform::ParseEventLogRecord(ansi, parts) ||
        parts.strings.size() != record.strings.size() ||
        parts.source != platform::Utf16ToSjis(record.source) || parts.sid != record.sid ||
        parts.data != record.data) {
        __builtin_trap();
    }
    for (size_t i = 0; i < parts.strings.size(); ++i) {
        if (parts.strings[i] != platform::Utf16ToSjis(record.strings[i])) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadAsFile(data, size);
    ConvertAsRecord(data, size);
    return 0;
}

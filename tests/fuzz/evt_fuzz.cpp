// Feeds any bytes to the .evt reader as a file, and reads every record it admits to.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_folder.h"
#include "platform/eventlog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = FuzzFolder() + "fuzz.evt";
    WriteInput(path, data, size);
    platform::EventLogHandle log = platform::OpenBackupEventLog("", path);
    if (!log) return 0;
    platform::DWORD count = 0, oldest = 0;
    if (platform::GetNumberOfEventLogRecords(log, count) &&
        platform::GetOldestEventLogRecord(log, oldest)) {
        std::vector<char> buffer(0x10000);
        for (platform::DWORD i = 0; i < count && i < 64; ++i) {
            platform::DWORD read = 0, needed = 0;
            platform::ReadEventLog(
                log, platform::kEventLogSeekRead | platform::kEventLogForwardsRead, oldest + i,
                buffer.data(), static_cast<platform::DWORD>(buffer.size()), &read, &needed);
            if (read > buffer.size()) __builtin_trap();
        }
        // Sequential reads to the end must end.
        platform::DWORD read = 0, needed = 0;
        for (int i = 0; i < 1000 && platform::ReadEventLog(log,
                                                           platform::kEventLogSequentialRead |
                                                               platform::kEventLogBackwardsRead,
                                                           0, buffer.data(), 4096, &read, &needed);
             ++i) {
        }
    }
    platform::CloseEventLog(log);
    return 0;
}

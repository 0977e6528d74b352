// Feeds any bytes to the .evtx reader: as one chunk (cut or padded to its size), and, when they
// start like an .evtx file, as a file read through the event log calls to its end.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_folder.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/evtx_format.h"

namespace {

void ReadAsFile(const uint8_t* data, size_t size) {
    const std::string path = FuzzFolder() + "fuzz.evtx";
    WriteInput(path, data, size);
    platform::UniqueEventLog log(platform::OpenBackupEventLog("", path));
    if (!log) return;
    std::vector<char> buffer(0x10000);
    for (int i = 0; i < 100000; ++i) {
        platform::DWORD read = 0, needed = 0;
        if (!platform::ReadEventLog(
                log.Get(), platform::kEventLogSequentialRead | platform::kEventLogForwardsRead, 0,
                buffer.data(), static_cast<platform::DWORD>(buffer.size()), &read, &needed)) {
            return;
        }
        platform::EventLogRecordParts parts;
        if (read > buffer.size() ||
            !platform::ParseEventLogRecord(std::string_view(buffer.data(), read), parts)) {
            __builtin_trap();
        }
    }
    __builtin_trap();  // a sequential read that never ends
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string chunk(reinterpret_cast<const char*>(data), size);
    if (chunk.size() > platform::evtx::kFileHeaderSize &&
        chunk.compare(0, 8, std::string("ElfFile\0", 8)) == 0) {
        ReadAsFile(data, size);
        chunk.erase(0, platform::evtx::kFileHeaderSize);
    }
    chunk.resize(platform::evtx::kChunkSize, '\0');
    platform::evtx::Chunk parsed;
    platform::evtx::ParseChunk(chunk, parsed);
    return 0;
}

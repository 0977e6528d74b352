// An .evtx log of 1 GiB watched as the monitor watches one: the memory its reading takes beyond
// what the process held before, the time of the first look, and the cost of a check after one
// new chunk (written at the log's end and its header updated, in place, as a log still written
// grows); then libevtx's evtxexport over the same file. Usage: evtx_watch_bench [chunks] (16384 by
// default: 1 GiB).
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/evtx_file.h"
#include "bench/run_command.h"
#include "platform/codepage.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/evtx_format.h"

namespace {

using Clock = std::chrono::steady_clock;

long StatusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::string(field).size());
    }
    return 0;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Reads forwards from the record after last to the end; the records read.
int ReadOnward(platform::EventLogHandle log, platform::DWORD after) {
    std::vector<char> buffer(0x80000);
    int records = 0;
    platform::DWORD read = 0, needed = 0;
    if (!platform::ReadEventLog(log, platform::kEventLogSeekRead | platform::kEventLogForwardsRead,
                                after + 1, buffer.data(),
                                static_cast<platform::DWORD>(buffer.size()), &read, &needed)) {
        return 0;
    }
    do {
        for (platform::DWORD at = 0; at < read;) {
            platform::EventLogRecordParts parts;
            if (!platform::ParseEventLogRecord(std::string_view(buffer.data() + at, read - at),
                                               parts)) {
                break;
            }
            ++records;
            at += parts.fixed.Length;
        }
    } while (platform::ReadEventLog(
        log, platform::kEventLogSequentialRead | platform::kEventLogForwardsRead, 0, buffer.data(),
        static_cast<platform::DWORD>(buffer.size()), &read, &needed));
    return records;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t chunks = argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 16384;
    char folder[] = "/tmp/quorvik-evtx-watch-XXXXXX";
    if (!mkdtemp(folder)) return 1;
    const std::string log = std::string(folder) + "/log.evtx",
                      next = std::string(folder) + "/next.evtx";
    // Made by a child, so that the making counts in no memory here: the log, and the copy with
    // one chunk more that replaces it.
    const pid_t maker = fork();
    if (maker == 0) {
        size_t records = 0;
        const std::string whole = MakeEvtxFile(chunks + 1, &records);
        std::ofstream(next, std::ios::binary).write(whole.data(), std::streamsize(whole.size()));
        std::ofstream(log, std::ios::binary)
            .write(whole.data(), std::streamsize(platform::evtx::kFileHeaderSize +
                                                 chunks * platform::evtx::kChunkSize));
        _exit(0);
    }
    int status = 0;
    waitpid(maker, &status, 0);
    const long before = StatusKb("VmRSS:");
    const Clock::time_point start = Clock::now();
    platform::UniqueEventLog handle(platform::OpenBackupEventLog("", platform::NativeToPath(log)));
    platform::DWORD count = 0, oldest = 0;
    platform::GetNumberOfEventLogRecords(handle.Get(), count);
    platform::GetOldestEventLogRecord(handle.Get(), oldest);
    const double firstLook = Ms(Clock::now() - start);
    const platform::DWORD newest = oldest + count - 1;
    // The record a watch reads last, as after a check.
    const int last = ReadOnward(handle.Get(), newest - 1);
    {
        // The new chunk and the header that counts it, in place.
        std::ifstream in(next, std::ios::binary);
        std::string header(platform::evtx::kFileHeaderSize, '\0'),
            chunk(platform::evtx::kChunkSize, '\0');
        in.read(header.data(), std::streamsize(header.size()));
        in.seekg(std::streamoff(platform::evtx::kFileHeaderSize +
                                chunks * std::size_t{platform::evtx::kChunkSize}));
        in.read(chunk.data(), std::streamsize(chunk.size()));
        std::fstream out(log, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(0, std::ios::end);
        out.write(chunk.data(), std::streamsize(chunk.size()));
        out.seekp(0);
        out.write(header.data(), std::streamsize(header.size()));
    }
    const Clock::time_point check = Clock::now();
    const int added = ReadOnward(handle.Get(), newest);
    const double checkMs = Ms(Clock::now() - check);
    std::printf(
        "%zu chunks (%.0f MB), %u records: first look %.0f ms; memory above the %ld KB before: "
        "%ld KB at most (%ld KB now); a check after one new chunk: %.1f ms, %d new records "
        "(%d read before)\n",
        chunks, static_cast<double>(chunks) * 64 / 1024, static_cast<unsigned>(count), firstLook,
        before, StatusKb("VmHWM:") - before, StatusKb("VmRSS:") - before, checkMs, added, last);
    std::fflush(stdout);
    const std::string err = std::string(folder) + "/evtxexport.err";
    if (std::system(("/usr/bin/time -f 'evtxexport over the same file: %e s, %M KB at most' "
                     "evtxexport -f text '" +
                     log + "' > /dev/null 2> '" + err + "'; tail -n 1 '" + err + "'")
                        .c_str()) != 0) {
        std::printf("evtxexport did not run\n");
    }
    RunTimed(std::string("rm -rf '") + folder + "'");
    return 0;
}

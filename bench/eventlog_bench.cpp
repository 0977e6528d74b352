// Reading every record of a 16 MB log through the event log API, against evtexport over the same
// file; and reading the newest 10 records once the index is built, in a small and a large log.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "log_file.h"
#include "platform/codepage.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/evt_format.h"
#include "ratio_reporter.h"

namespace {

namespace evt = platform::evt;

// A log of `records` records with two insertion strings each; returns its path.
std::string MakeLog(const std::string& name, int records) {
    static const std::string folder = BenchFolder("bench");
    const std::string path = folder + name;
    WriteLogFile(path, records, [](int i, evt::Record& r) {
        r.source = u"Service Control Manager";
        r.type = 4;
        r.eventId = 7036;
        r.strings = {
            platform::Utf8ToUtf16("サービス " + std::to_string(i) +
                                  " は実行中 状態に移行しました。 " + std::string(60, 'x')),
            u"Print Spooler"};
    });
    return path;
}

const std::string& LargeLog() {
    static const std::string path = MakeLog("large.evt", 60000);
    return path;
}

bool ReadRecord(platform::EventLogHandle log, platform::DWORD n, std::vector<char>& buffer) {
    platform::DWORD read = 0, needed = 0;
    return platform::ReadEventLog(
        log, platform::kEventLogSeekRead | platform::kEventLogForwardsRead, n, buffer.data(),
        static_cast<platform::DWORD>(buffer.size()), &read, &needed);
}

// Sequential forward reads into a 64 KB buffer, each call taking as many records as fit.
void BM_ReadAllRecords(benchmark::State& state) {
    std::vector<char> buffer(65536);
    for (auto _ : state) {
        platform::EventLogHandle log = platform::OpenBackupEventLog("", LargeLog());
        platform::DWORD read = 0, needed = 0, records = 0;
        while (platform::ReadEventLog(
            log, platform::kEventLogSequentialRead | platform::kEventLogForwardsRead, 0,
            buffer.data(), static_cast<platform::DWORD>(buffer.size()), &read, &needed)) {
            for (platform::DWORD at = 0; at < read; ++records) {
                platform::DWORD length;
                std::memcpy(&length, buffer.data() + at, 4);
                at += length;
            }
        }
        platform::CloseEventLog(log);
        if (records != 60000) state.SkipWithError("records missing");
        state.counters["records"] = records;
    }
}
BENCHMARK(BM_ReadAllRecords)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_EvtexportAllRecords(benchmark::State& state) {
    const std::string command = "evtexport '" + LargeLog() + "' >/dev/null 2>&1";
    for (auto _ : state) {
        if (system(command.c_str()) != 0) state.SkipWithError("evtexport failed");
    }
}
BENCHMARK(BM_EvtexportAllRecords)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The newest 10 records, the index already built: the same cost whatever the file's size.
void BM_ReadNewest10(benchmark::State& state) {
    const std::string path = state.range(0) == 60000
                                 ? LargeLog()
                                 : MakeLog("small.evt", static_cast<int>(state.range(0)));
    platform::EventLogHandle log = platform::OpenBackupEventLog("", path);
    std::vector<char> buffer(1024);  // one record per call: the cost of finding it
    platform::DWORD count = 0, oldest = 0;
    platform::GetNumberOfEventLogRecords(log, count);
    platform::GetOldestEventLogRecord(log, oldest);
    ReadRecord(log, oldest, buffer);  // builds the index
    for (auto _ : state) {
        for (platform::DWORD i = count - 10; i < count; ++i) ReadRecord(log, oldest + i, buffer);
    }
    platform::CloseEventLog(log);
}
BENCHMARK(BM_ReadNewest10)->Arg(1000)->Arg(60000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter({{"BM_ReadAllRecords", "BM_EvtexportAllRecords"},
                            {"BM_ReadNewest10/60000", "BM_ReadNewest10/1000"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

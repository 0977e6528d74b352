// Rendering the descriptions and categories of a 60,000-record log, against reading the same
// records raw. Every render asks the registry and loads the message file as the program does,
// so each one still sees a registry or message file that changed since the call before.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <fstream>
#include <string>
#include <vector>

#include "eventlog/rendering.h"
#include "log_file.h"
#include "platform/codepage.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/evt_format.h"
#include "platform/machine/machine.h"
#include "ratio_reporter.h"

namespace {

namespace evt = platform::evt;
constexpr int kRecords = 60000;

// A default machine with a log of records from the sample source.
const std::string& LogPath() {
    static const std::string path = [] {
        const std::string folder = BenchFolder("render");
        platform::SetMachineRoot(folder + "machine");
        platform::EnsureMachine();
        WriteLogFile(folder + "bench.evt", kRecords, [](int i, evt::Record& r) {
            r.source = u"QuorvikSample";
            r.type = 2;
            r.category = 1;
            r.eventId = 0x800000C8;
            r.strings = {u"D:", platform::Utf8ToUtf16(std::to_string(i % 500))};
        });
        return folder + "bench.evt";
    }();
    return path;
}

struct Record {
    std::string source;
    std::uint32_t id;
    std::uint16_t category;
    std::vector<std::string> strings;
};

// Reads every record with one seek read each, as the watch cycle does, and takes it apart.
template <typename Each>
void ReadAll(Each each) {
    platform::UniqueEventLog log(platform::OpenBackupEventLog("", LogPath()));
    std::vector<char> buffer(4096);
    for (std::uint32_t n = 1; n <= kRecords; ++n) {
        platform::DWORD read = 0, needed = 0;
        platform::ReadEventLog(
            log.Get(), platform::kEventLogSeekRead | platform::kEventLogForwardsRead, n,
            buffer.data(), static_cast<platform::DWORD>(buffer.size()), &read, &needed);
        platform::EventLogRecordParts parts;
        platform::ParseEventLogRecord(std::string_view(buffer.data(), read), parts);
        Record r;
        r.source = parts.source;
        r.id = parts.fixed.EventID;
        r.category = parts.fixed.EventCategory;
        r.strings.assign(parts.strings.begin(), parts.strings.end());
        each(r);
    }
}

void BM_ReadRaw(benchmark::State& state) {
    LogPath();
    for (auto _ : state) {
        size_t total = 0;
        ReadAll([&](const Record& r) { total += r.strings.size(); });
        benchmark::DoNotOptimize(total);
    }
    state.counters["records/s"] =
        benchmark::Counter(kRecords, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReadRaw)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_ReadAndRender(benchmark::State& state) {
    LogPath();
    for (auto _ : state) {
        size_t total = 0;
        ReadAll([&](const Record& r) {
            total += TrimControls(EventDescription("Application", r.source, r.id, r.strings,
                                                   static_cast<std::uint16_t>(r.strings.size())))
                         .size();
            total += TrimControls(CategoryText("Application", r.source, r.category)).size();
        });
        benchmark::DoNotOptimize(total);
    }
    state.counters["records/s"] =
        benchmark::Counter(kRecords, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReadAndRender)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter({{"BM_ReadAndRender", "BM_ReadRaw"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

// One watch tick over 60,000 new records in one log with 100 watch entries, against reading
// and rendering the same records without matching. Also the peak memory the tick adds.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <string>

#include "bench/bench_machine.h"
#include "bench/ratio_reporter.h"
#include "config/settings.h"
#include "core/monitor.h"
#include "platform/machine/eventlog.h"

namespace {

// Counts the reports and what the batch holds: nothing but the matches.
struct Counting : BatchConsumers {
    void ProcessActions(TickBatch& batch) override {
        reports += batch.size();
        for (const auto& r : batch) {
            bytes += sizeof(ReportRecord) + r->LogName.capacity() + r->ReportText.capacity() +
                     r->Event.Description.capacity() + r->Event.Category.capacity() +
                     r->Event.SourceName.capacity() + r->Event.ComputerName.capacity() +
                     r->Event.User.capacity();
            for (const std::string& s : r->Recipients) bytes += sizeof s + s.capacity();
        }
    }
    void DeliverMail(TickBatch&) override {}
    void SendNetworkMessages(TickBatch&) override {}
    size_t reports = 0;
    size_t bytes = 0;
};

long PeakRssKb() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// state.range(0): entries beyond the hundred, each naming a source no record has; with the
// index they cost nothing.
void BM_TickWithMatching(benchmark::State& state) {
    PrepareBenchMachine();
    Settings settings;
    settings.Interval = 10;
    WatchList watches = MakeBenchWatches();
    for (int i = 0; i < state.range(0); ++i) {
        auto e = std::make_unique<WatchEntry>(*watches[static_cast<size_t>(i) % 80]);
        e->EventNum = 101 + i;
        e->SourceName = "Other" + std::to_string(i);
        watches.push_back(std::move(e));
    }
    NoTimer timer;
    NoLocks locks;
    Counting consumers;
    for (auto _ : state) {
        state.PauseTiming();
        EmptyBenchLog();
        Monitor monitor(settings, watches, timer, locks, consumers);
        monitor.StartMonitoring();
        FillBenchLog();
        consumers.reports = 0;
        consumers.bytes = 0;
        const long before = PeakRssKb();
        state.ResumeTiming();
        monitor.WatchTick();
        state.PauseTiming();
        state.counters["reports"] = static_cast<double>(consumers.reports);
        state.counters["peak_rss_added_kb"] = static_cast<double>(PeakRssKb() - before);
        state.counters["batch_kb"] = static_cast<double>(consumers.bytes) / 1024;
        state.counters["bytes/report"] =
            consumers.reports ? static_cast<double>(consumers.bytes) / consumers.reports : 0;
        monitor.StopMonitoring();
        state.ResumeTiming();
    }
    state.counters["records/s"] =
        benchmark::Counter(kBenchRecords, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_TickWithMatching)->Arg(0)->Arg(900)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_RenderWithoutMatching(benchmark::State& state) {
    PrepareBenchMachine();
    for (auto _ : state) {
        state.PauseTiming();
        EmptyBenchLog();
        FillBenchLog();
        platform::UniqueEventLog log(OpenEventLogByName("Application"));
        state.ResumeTiming();
        for (std::uint32_t n = 1; n <= kBenchRecords; ++n) {
            EventRecord record;
            platform::DWORD error = 0;
            ReadEventRecord("Application", log.Get(), n, record, error);
            benchmark::DoNotOptimize(record);
        }
        state.PauseTiming();
        log.Reset();
        state.ResumeTiming();
    }
    state.counters["records/s"] =
        benchmark::Counter(kBenchRecords, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_RenderWithoutMatching)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter({{"BM_TickWithMatching/0", "BM_RenderWithoutMatching"},
                            {"BM_TickWithMatching/900", "BM_RenderWithoutMatching"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

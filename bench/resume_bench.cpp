// The first tick after a restart that catches up 100,000 records written while the program was
// down, against a tick over the same records while it ran: the catch-up cost per record.
#include <benchmark/benchmark.h>

#include <memory>

#include "bench/bench_machine.h"
#include "bench/ratio_reporter.h"
#include "config/settings.h"
#include "core/monitor.h"
#include "core/resume_state.h"
#include "platform/files.h"
#include "platform/machine/machine.h"

namespace {

constexpr int kRecords = 100000;

struct Counting : BatchConsumers {
    void ProcessActions(TickBatch& batch) override { reports += batch.size(); }
    void DeliverMail(TickBatch&) override {}
    void SendNetworkMessages(TickBatch&) override {}
    size_t reports = 0;
};

struct Fixture {
    Fixture() {
        // RESUME.DAT goes beside the bench's own ETC.DAT, in its folder.
        platform::SetExecutableDirectory(PrepareBenchMachine());
        settings.Interval = 10;
        extensions.Resume = true;
        extensions.ResumeLimit = kRecords;
    }
    std::unique_ptr<Monitor> Make() {
        auto monitor = std::make_unique<Monitor>(settings, watches, timer, locks, consumers);
        monitor->SetExtensions(&extensions);
        return monitor;
    }
    Settings settings;
    ExtensionSettings extensions;
    WatchList watches = MakeBenchWatches();
    NoTimer timer;
    NoLocks locks;
    Counting consumers;
};

void Report(benchmark::State& state, const Counting& consumers) {
    state.counters["reports"] = static_cast<double>(consumers.reports);
    state.counters["records/s"] =
        benchmark::Counter(kRecords, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["s/record"] = benchmark::Counter(
        kRecords, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_CatchUpAfterRestart(benchmark::State& state) {
    Fixture f;
    for (auto _ : state) {
        state.PauseTiming();
        EmptyBenchLog();
        platform::DeleteFile(ResumeStatePath());
        {
            auto before = f.Make();
            before->StartMonitoring();
            before->WatchTick();
            before->StopMonitoring();  // keeps the position: an empty log
        }
        FillBenchLog(kRecords);  // written while the program was down
        f.consumers.reports = 0;
        auto after = f.Make();
        state.ResumeTiming();
        after->StartMonitoring();
        after->WatchTick();
        state.PauseTiming();
        after->StopMonitoring();
        state.ResumeTiming();
    }
    Report(state, f.consumers);
}
BENCHMARK(BM_CatchUpAfterRestart)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_TickWhileRunning(benchmark::State& state) {
    Fixture f;
    f.extensions.Resume = false;
    for (auto _ : state) {
        state.PauseTiming();
        EmptyBenchLog();
        auto monitor = f.Make();
        monitor->StartMonitoring();
        FillBenchLog(kRecords);
        f.consumers.reports = 0;
        state.ResumeTiming();
        monitor->WatchTick();
        state.PauseTiming();
        monitor->StopMonitoring();
        state.ResumeTiming();
    }
    Report(state, f.consumers);
}
BENCHMARK(BM_TickWhileRunning)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter({{"BM_CatchUpAfterRestart", "BM_TickWhileRunning"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

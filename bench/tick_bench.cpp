// One watch tick over 60,000 new records in one log with 100 watch entries, against reading
// and rendering the same records without matching. Also the peak memory the tick adds.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <fstream>
#include <string>
#include <vector>

#include "config/settings.h"
#include "core/monitor.h"
#include "log_file.h"
#include "platform/codepage.h"
#include "platform/eventlog.h"
#include "platform/linux/evt_format.h"
#include "platform/machine.h"
#include "platform/registry.h"
#include "ratio_reporter.h"

namespace {

namespace evt = platform::evt;
constexpr int kRecords = 60000;
constexpr int kSources = 10;

struct NoTimer : WatchTimer {
    void SetInterval(unsigned) override {}
    void SetEnabled(bool) override {}
};
struct NoLocks : DialogLocks {
    void Lock() override {}
    void Unlock() override {}
};
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

// A default machine with sources Src1..Src10 that render their first string.
void PrepareMachine() {
    static bool done = false;
    if (done) return;
    done = true;
    platform::SetMachineRoot(BenchFolder("tick") + "machine");
    platform::EnsureMachine();
    std::string lines;
    for (int i = 1; i <= kSources; ++i) {
        lines += platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\Application\\Src" +
                                      std::to_string(i));
        lines += platform::RegExpandStringLine("EventMessageFile",
                                               std::string(platform::kEventCreateMessageFile));
    }
    platform::AppendMachineRegistry(lines);
}

// Fills the Application log in place (its readers keep their handle) with the records.
void FillLog() {
    WriteLogFile(platform::SjisToUtf8(platform::EventLogFilePath("Application")), kRecords,
                 [](int i, evt::Record& r) {
                     if (i % 4 == 0) {
                         r.source = u"QuorvikSample";
                         r.type = (i % 8 == 0) ? 1 : 2;
                         r.eventId = (i % 8 == 0) ? 0xC000012C : 0x800000C8;
                         r.category = 1;
                         r.strings = {u"D:", platform::Utf8ToUtf16(std::to_string(i % 900)), u"17"};
                     } else {
                         r.source = platform::Utf8ToUtf16("Src" + std::to_string(1 + i % kSources));
                         r.type = 4;
                         r.eventId = static_cast<std::uint32_t>(1 + i % 50);
                         r.category = 0;
                         r.strings = {platform::Utf8ToUtf16("ジョブ " + std::to_string(i) +
                                                            " が完了しました。処理件数 " +
                                                            std::to_string(i % 1000) + " 件")};
                     }
                 });
}

void EmptyLog() {
    platform::EventLogHandle h = platform::OpenEventLog("", "Application");
    platform::ClearEventLog(h);
    platform::CloseEventLog(h);
}

// 100 entries: 80 restricted by log, source and mostly event identifier (many for sources or
// logs that do not occur), 20 with search expressions.
WatchList MakeWatches() {
    WatchList list;
    const std::string& any = AnyValueText();
    for (int i = 1; i <= 100; ++i) {
        auto e = std::make_unique<WatchEntry>();
        e->EventNum = i;
        e->Category = any;
        e->AddrList = {"ops@example.jp"};
        if (i <= 80) {
            e->LogName = (i % 3 == 0) ? "System" : "Application";
            e->SourceName = "Src" + std::to_string(1 + i % 40);  // only 1..10 exist
            e->Type = (i % 2) ? 4 : 0;
            e->EventID = (i % 5 == 0) ? 0 : 1 + (i * 7) % 50;
        } else {
            e->LogName = "Application";
            e->SourceName = (i % 2) ? "QuorvikSample" : any;
            e->Condition = (i % 4 == 0) ? sjis(u8"ディスク AND (エラー OR 容量) NOT \"残り 0 MB\"")
                                        : platform::Utf8ToSjis("(完了 OR 開始) AND \"処理件数 " +
                                                               std::to_string(100 + i) + " 件\"");
        }
        list.push_back(std::move(e));
    }
    return list;
}

long PeakRssKb() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BM_TickWithMatching(benchmark::State& state) {
    PrepareMachine();
    Settings settings;
    settings.Interval = 10;
    WatchList watches = MakeWatches();
    NoTimer timer;
    NoLocks locks;
    Counting consumers;
    for (auto _ : state) {
        state.PauseTiming();
        EmptyLog();
        Monitor monitor(settings, watches, timer, locks, consumers);
        monitor.StartMonitoring();
        FillLog();
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
        benchmark::Counter(kRecords, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_TickWithMatching)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_RenderWithoutMatching(benchmark::State& state) {
    PrepareMachine();
    for (auto _ : state) {
        state.PauseTiming();
        EmptyLog();
        FillLog();
        platform::EventLogHandle log = OpenEventLogByName("Application");
        state.ResumeTiming();
        for (std::uint32_t n = 1; n <= kRecords; ++n) {
            EventRecord record;
            platform::DWORD error = 0;
            ReadEventRecord("Application", log, n, record, error);
            benchmark::DoNotOptimize(record);
        }
        state.PauseTiming();
        platform::CloseEventLog(log);
        state.ResumeTiming();
    }
    state.counters["records/s"] =
        benchmark::Counter(kRecords, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_RenderWithoutMatching)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(
        {{"BM_TickWithMatching/iterations:2", "BM_RenderWithoutMatching/iterations:2"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

// Reading a 20 MB .evtx file with every record's description rendered, eventquery against
// libevtx's evtxexport over the same file, in one run: 20 MB of distinct, valid records made of
// the test samples' chunks.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "bench/evtx_file.h"
#include "bench/run_command.h"
#include "platform/machine/evtx_format.h"

namespace {

namespace evtx = platform::evtx;
constexpr size_t kTargetBytes = 20u << 20;

struct BigFile {
    std::string folder, path;
    size_t records = 0;
};

const BigFile& Prepare() {
    static const BigFile file = [] {
        BigFile f;
        char folder[] = "/tmp/quorvik-evtx-bench-XXXXXX";
        if (!mkdtemp(folder)) std::abort();
        f.folder = std::string(folder) + "/";
        f.path = f.folder + "big.evtx";
        const std::string out = MakeEvtxFile(kTargetBytes / evtx::kChunkSize, &f.records);
        std::ofstream(f.path, std::ios::binary).write(out.data(), std::streamsize(out.size()));
        mkdir((f.folder + "machine").c_str(), 0700);
        return f;
    }();
    return file;
}

void BM_ReadTwentyMegabytes(benchmark::State& state) {
    const BigFile& f = Prepare();
    const std::string ours = "NT_MACHINE_ROOT='" + f.folder + "machine' " + QUORVIK_TOOLS_DIR +
                             "/eventquery --file '" + f.path + "'";
    const std::string theirs = "evtxexport '" + f.path + "'";
    for (auto _ : state) {
        std::vector<double> wall[2];
        for (int round = 0; round < 5; ++round) {
            for (int k = 0; k < 2; ++k) {
                const CommandTimes t = RunTimed(k == 0 ? ours : theirs);
                if (t.wallMs < 0) {
                    state.SkipWithError(k == 0 ? "eventquery failed" : "evtxexport failed");
                    return;
                }
                wall[k].push_back(t.wallMs);
            }
        }
        state.counters["records"] = static_cast<double>(f.records);
        state.counters["eventquery_ms"] = Median(wall[0]);
        state.counters["evtxexport_ms"] = Median(wall[1]);
        state.counters["eventquery/evtxexport"] = Median(wall[0]) / Median(wall[1]);
    }
}
BENCHMARK(BM_ReadTwentyMegabytes)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    system(("rm -rf '" + Prepare().folder + "'").c_str());
    return 0;
}

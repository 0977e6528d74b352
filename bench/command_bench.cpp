// The tools as a user runs them over a 60,000-record log, against evtexport (libevt) over the
// same file: eventquery listing every record with its rendered texts, and watchtest making one
// watch pass of 100 entries. Also the system calls each makes per record.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "bench/bench_machine.h"
#include "bench/run_command.h"
#include "config/lists.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/eventlog_writer.h"

namespace {

struct Setup {
    std::string folder;   // holds WATCH.DAT and machine/
    std::string logFile;  // the Application log's file
};

const Setup& Prepare() {
    static const Setup setup = [] {
        Setup s;
        s.folder = PrepareBenchMachine();
        FillBenchLog();
        s.logFile = platform::SjisToUtf8(platform::EventLogFilePath("Application"));
        platform::SetExecutableDirectory(s.folder);
        WatchList empty;
        LoadWatchList(empty);  // creates the file, which a save needs
        SaveWatchList(MakeBenchWatches());
        platform::SetExecutableDirectory("");
        return s;
    }();
    return setup;
}

std::string Tool(const char* name) { return std::string(QUORVIK_TOOLS_DIR) + "/" + name; }

std::string EvtexportCommand() { return "evtexport '" + Prepare().logFile + "'"; }

std::string EventqueryCommand() {
    return Tool("eventquery") + " --machine '" + Prepare().folder +
           "machine' --log Application --json";
}

// A file that is no log of any machine, on a machine that has no registry folder: eventquery
// renders with an empty registry.
std::string EventqueryFileCommand() {
    const std::string empty = Prepare().folder + "empty-machine";
    mkdir(empty.c_str(), 0755);
    return "NT_MACHINE_ROOT='" + empty + "' " + Tool("eventquery") + " --file '" +
           Prepare().logFile + "' --json";
}

std::string WatchtestCommand() {
    return Tool("watchtest") + " --machine '" + Prepare().folder + "machine' --folder '" +
           Prepare().folder + "' --log Application --from 1 --json";
}

// The three commands in turn, seven rounds, so that a busy moment of the machine touches all
// three alike; the medians and their ratios.
void BM_ToolsAgainstEvtexport(benchmark::State& state) {
    const std::string commands[4] = {EvtexportCommand(), EventqueryCommand(), WatchtestCommand(),
                                     EventqueryFileCommand()};
    const char* names[4] = {"evtexport", "eventquery", "watchtest", "eventquery_file"};
    for (auto _ : state) {
        std::vector<double> wall[4], cpu[4];
        for (int round = 0; round < 7; ++round) {
            for (int k = 0; k < 4; ++k) {
                const CommandTimes t = RunTimed(commands[k]);
                if (t.wallMs < 0) {
                    state.SkipWithError((std::string(names[k]) + " failed").c_str());
                    return;
                }
                wall[k].push_back(t.wallMs);
                cpu[k].push_back(t.cpuMs);
            }
        }
        for (int k = 0; k < 4; ++k) {
            state.counters[std::string(names[k]) + "_ms"] = Median(wall[k]);
            state.counters[std::string(names[k]) + "_cpu_ms"] = Median(cpu[k]);
        }
        state.counters["eventquery/evtexport"] = Median(wall[1]) / Median(wall[0]);
        state.counters["watchtest/evtexport"] = Median(wall[2]) / Median(wall[0]);
        state.counters["eventquery_file/evtexport"] = Median(wall[3]) / Median(wall[0]);
    }
}
BENCHMARK(BM_ToolsAgainstEvtexport)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// The system calls of one run, counted by strace, per record.
double SyscallsPerRecord(const std::string& command) {
    const std::string out = Prepare().folder + "strace.txt";
    const std::string traced = "strace -f -c -o '" + out + "' " + command + " >/dev/null 2>&1";
    if (system(traced.c_str()) != 0) return -1;
    std::ifstream in(out);
    std::string line, last;
    while (std::getline(in, line)) {
        if (line.find("total") != std::string::npos) last = line;
    }
    // "100.00    0.123456     1   12345   67 total": the calls are the fourth field.
    std::istringstream fields(last);
    std::string percent, seconds, usecs, calls;
    fields >> percent >> seconds >> usecs >> calls;
    if (calls.empty()) return -1;
    return std::stod(calls) / kBenchRecords;
}

void BM_SystemCalls(benchmark::State& state) {
    if (system("command -v strace >/dev/null 2>&1") != 0) {
        state.SkipWithError("strace is not installed");
        return;
    }
    for (auto _ : state) {
        state.counters["eventquery_per_record"] = SyscallsPerRecord(EventqueryCommand());
        state.counters["watchtest_per_record"] = SyscallsPerRecord(WatchtestCommand());
        state.counters["eventquery_file_per_record"] = SyscallsPerRecord(EventqueryFileCommand());
        state.counters["evtexport_per_record"] = SyscallsPerRecord(EvtexportCommand());
    }
}
BENCHMARK(BM_SystemCalls)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

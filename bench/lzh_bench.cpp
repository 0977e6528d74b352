// The archiver library, as the program calls it, against jlha (Debian's jlha-utils, a real LHA
// compressor): 10 MB of log-like text and 10 MB of mixed files, both with -lh5-. Sizes, times and
// their ratios. jlha runs on the Java VM; its start on a one-byte file is given for reference.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "actions/unlha_abi.h"
#include "bench/run_command.h"
#include "platform/files.h"

namespace {

constexpr size_t kMegabyte = 1 << 20;

std::string LogText(size_t size, unsigned seed) {
    static const char* services[] = {"Spooler", "W32Time", "Dhcp", "EventLog", "LanmanServer"};
    static const char* levels[] = {"INFO", "WARN", "ERROR"};
    std::mt19937 random(seed);
    auto next = [&](unsigned bound) { return static_cast<unsigned>(random() % bound); };
    std::string text;
    char line[256];
    while (text.size() < size) {
        const int n = std::snprintf(
            line, sizeof line,
            "2026/12/%02u %02u:%02u:%02u [%s] %s: request %u from 192.168.%u.%u took %u ms "
            "user=user%u\n",
            1 + next(28), next(24), next(60), next(60), levels[next(3)], services[next(5)],
            next(1000000), next(256), next(256), next(5000), next(300));
        text.append(line, static_cast<size_t>(n));
    }
    text.resize(size);
    return text;
}

std::string Random(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(random());
    return data;
}

// Fixed-size binary records with slowly changing fields, like an event log file.
std::string Records(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    auto next = [&](unsigned bound) { return static_cast<std::uint32_t>(random() % bound); };
    std::string data;
    std::uint32_t number = 1, time = 1700000000;
    while (data.size() < size) {
        time += next(30);
        std::uint32_t fields[16] = {0x4C664C65, number++, time, time, 1000 + next(8), 4, 0, 0};
        for (int i = 8; i < 16; ++i) fields[i] = next(4) ? 0 : static_cast<std::uint32_t>(random());
        data.append(reinterpret_cast<const char*>(fields), sizeof fields);
        const char* text = "S\0e\0r\0v\0i\0c\0e\0 \0s\0t\0a\0r\0t\0e\0d\0\0\0";
        data.append(text, 32);
    }
    data.resize(size);
    return data;
}

struct Sets {
    std::string root;
    std::string logFolder;    // one 10 MB log
    std::string mixedFolder;  // 10 MB of several kinds
    std::string tinyFolder;   // one byte, for jlha's start
};

const Sets& Prepare() {
    static const Sets sets = [] {
        Sets s;
        char templ[] = "/tmp/quorvik-lzh-bench-XXXXXX";
        if (!mkdtemp(templ)) abort();
        s.root = std::string(templ) + "/";
        s.logFolder = s.root + "log/";
        s.mixedFolder = s.root + "mixed/";
        s.tinyFolder = s.root + "tiny/";
        for (const std::string& f : {s.logFolder, s.mixedFolder, s.tinyFolder}) {
            platform::ForceDirectories(f);
        }
        platform::WriteWholeFile(s.logFolder + "service.log", LogText(10 * kMegabyte, 1));
        platform::WriteWholeFile(s.mixedFolder + "app.log", LogText(3 * kMegabyte, 2));
        platform::WriteWholeFile(s.mixedFolder + "dump.bin", Random(2 * kMegabyte, 3));
        platform::WriteWholeFile(s.mixedFolder + "AppEvent.Evt", Records(3 * kMegabyte, 4));
        std::mt19937 random(5);
        for (int i = 0; i < 64; ++i) {
            platform::WriteWholeFile(s.mixedFolder + "small" + std::to_string(i) + ".txt",
                                     LogText(4096 + random() % 28000, 10 + i));
        }
        std::uint64_t total = 0;
        std::vector<platform::FindData> found;
        platform::FindFiles(s.mixedFolder + "*", found);
        for (const auto& f : found) total += f.size;
        if (total < 10 * kMegabyte) {
            platform::WriteWholeFile(s.mixedFolder + "rest.txt",
                                     LogText(10 * kMegabyte - total, 99));
        }
        platform::WriteWholeFile(s.tinyFolder + "one.txt", "1");
        return s;
    }();
    return sets;
}

double CpuMs() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

std::uint64_t SizeOf(const std::string& path) {
    std::vector<platform::FindData> found;
    return platform::FindFiles(path, found) ? found[0].size : 0;
}

// One set compressed by both, five rounds in turn.
void Compare(benchmark::State& state, const std::string& folder, const std::string& name) {
    void* library = dlopen(QUORVIK_UNLHA32_PATH, RTLD_NOW | RTLD_LOCAL);
    auto unlha = library ? reinterpret_cast<UnlhaFunction>(dlsym(library, "Unlha")) : nullptr;
    if (!unlha || system("command -v jlha >/dev/null 2>&1") != 0) {
        state.SkipWithError("the library or jlha (jlha-utils) is missing");
        return;
    }
    const std::string ours = Prepare().root + name + "-ours.lzh";
    const std::string theirs = Prepare().root + name + "-jlha.lzh";
    const std::string jlha = "cd '" + folder + "' && jlha aq '" + theirs + "' *";
    for (auto _ : state) {
        std::vector<double> ourWall, ourCpu, theirWall, theirCpu;
        for (int round = 0; round < 5; ++round) {
            unlink(ours.c_str());
            unlink(theirs.c_str());
            char output[1024];
            const double cpu = CpuMs();
            const auto start = std::chrono::steady_clock::now();
            const int result = unlha(nullptr, ("a \"" + ours + "\" \"" + folder + "*\"").c_str(),
                                     output, sizeof output);
            ourWall.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
            ourCpu.push_back(CpuMs() - cpu);
            const CommandTimes t = RunTimed(jlha);
            if (result != 0 || t.wallMs < 0) {
                state.SkipWithError("a compression failed");
                return;
            }
            theirWall.push_back(t.wallMs);
            theirCpu.push_back(t.cpuMs);
        }
        const double ourSize = static_cast<double>(SizeOf(ours));
        const double theirSize = static_cast<double>(SizeOf(theirs));
        state.counters["ours_bytes"] = ourSize;
        state.counters["jlha_bytes"] = theirSize;
        state.counters["size_ours/jlha"] = ourSize / theirSize;
        state.counters["ours_ms"] = Median(ourWall);
        state.counters["ours_cpu_ms"] = Median(ourCpu);
        state.counters["jlha_ms"] = Median(theirWall);
        state.counters["jlha_cpu_ms"] = Median(theirCpu);
        state.counters["time_ours/jlha"] = Median(ourWall) / Median(theirWall);
    }
    dlclose(library);
}

void BM_LogText10MB(benchmark::State& state) { Compare(state, Prepare().logFolder, "log"); }
BENCHMARK(BM_LogText10MB)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_MixedFiles10MB(benchmark::State& state) { Compare(state, Prepare().mixedFolder, "mixed"); }
BENCHMARK(BM_MixedFiles10MB)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// What jlha costs before it compresses anything: the Java VM's start.
void BM_JlhaStart(benchmark::State& state) {
    const std::string archive = Prepare().root + "tiny.lzh";
    for (auto _ : state) {
        std::vector<double> wall;
        for (int round = 0; round < 5; ++round) {
            unlink(archive.c_str());
            wall.push_back(
                RunTimed("cd '" + Prepare().tinyFolder + "' && jlha aq '" + archive + "' one.txt")
                    .wallMs);
        }
        state.counters["jlha_start_ms"] = Median(wall);
    }
}
BENCHMARK(BM_JlhaStart)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    system(("rm -rf '" + Prepare().root + "'").c_str());
    return 0;
}

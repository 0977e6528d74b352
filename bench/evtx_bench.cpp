// Reading a 20 MB .evtx file with every record's description rendered, eventquery against
// libevtx's evtxexport over the same file, in one run. The file is made of the chunks of the
// test samples, copied with their records renumbered (the record headers and EventRecordID)
// and their checksums made anew, so that both readers see 20 MB of distinct, valid records.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/run_command.h"
#include "platform/bytes.h"
#include "platform/machine/evtx_format.h"

namespace {

namespace evtx = platform::evtx;
constexpr size_t kTargetBytes = 20u << 20;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Put64(std::string& bytes, size_t at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// The chunk with every record's identifier moved by offset: in the record's header and where its
// binary XML holds its EventRecordID (identifiers above 4095, which no other value
// of these samples repeats).
std::string Renumbered(std::string chunk, std::uint64_t offset) {
    evtx::Chunk parsed;
    evtx::ParseChunk(chunk, parsed);
    std::uint32_t at = evtx::kChunkHeaderSize;
    const std::uint32_t freeSpace = platform::Le32(chunk, 48);
    for (size_t i = 0; at + 28 <= freeSpace && platform::Le32(chunk, at) == 0x2a2a; ++i) {
        const std::uint32_t size = platform::Le32(chunk, at + 4);
        if (size < 28 || at + size > freeSpace || i >= parsed.events.size()) break;
        Put64(chunk, at + 8, platform::Le64(chunk, at + 8) + offset);
        const std::uint64_t id = parsed.events[i].recordId;
        std::string old(8, '\0'), now(8, '\0');
        Put64(old, 0, id);
        Put64(now, 0, id + offset);
        for (size_t p = chunk.find(old, at + 24);
             id >= 0x1000 && p != std::string::npos && p + 8 <= at + size - 4;
             p = chunk.find(old, p + 8)) {
            chunk.replace(p, 8, now);
        }
        at += size;
    }
    for (size_t field : {8, 16, 24, 32}) Put64(chunk, field, platform::Le64(chunk, field) + offset);
    const std::string records =
        chunk.substr(evtx::kChunkHeaderSize, freeSpace - evtx::kChunkHeaderSize);
    const std::uint32_t dataCrc = evtx::Crc32(records);
    std::memcpy(&chunk[52], &dataCrc, 4);
    const std::uint32_t headerCrc =
        evtx::Crc32(std::string_view(chunk).substr(128, evtx::kChunkHeaderSize - 128),
                    evtx::Crc32(std::string_view(chunk).substr(0, 120)));
    std::memcpy(&chunk[124], &headerCrc, 4);
    return chunk;
}

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
        std::vector<std::string> chunks;
        for (const char* name :
             {"Security_short_selected.evtx", "sample_with_a_bad_chunk_magic.evtx"}) {
            const std::string bytes = ReadAll(std::string(QUORVIK_TEST_DATA) + "/evtx/" + name);
            for (size_t at = evtx::kFileHeaderSize; at + evtx::kChunkSize <= bytes.size();
                 at += evtx::kChunkSize) {
                std::string chunk = bytes.substr(at, evtx::kChunkSize);
                evtx::Chunk parsed;
                // Whole chunks only: the damaged ones would differ between the readers.
                if (evtx::ParseChunk(chunk, parsed) && !parsed.events.empty() &&
                    parsed.warnings.empty()) {
                    chunks.push_back(std::move(chunk));
                }
            }
        }
        std::string out(evtx::kFileHeaderSize, '\0');
        std::uint64_t copy = 0;
        while (out.size() + evtx::kChunkSize <= kTargetBytes + evtx::kFileHeaderSize) {
            const std::string& chunk = chunks[copy % chunks.size()];
            out += Renumbered(chunk, (copy + 1) * 1000000000ull);
            evtx::Chunk parsed;
            evtx::ParseChunk(out.substr(out.size() - evtx::kChunkSize), parsed);
            f.records += parsed.events.size();
            ++copy;
        }
        std::memcpy(&out[0], "ElfFile", 8);
        Put64(out, 8, 0);
        Put64(out, 16, copy - 1);
        Put64(out, 24, (copy + 1) * 1000000000ull);
        const std::uint32_t header[] = {128, (3u << 16) | 1u};
        std::memcpy(&out[32], header, 8);
        const std::uint16_t block = 4096, count = static_cast<std::uint16_t>(copy);
        std::memcpy(&out[40], &block, 2);
        std::memcpy(&out[42], &count, 2);
        const std::uint32_t crc = evtx::Crc32(std::string_view(out).substr(0, 120));
        std::memcpy(&out[124], &crc, 4);
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

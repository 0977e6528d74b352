#include "bench/evtx_file.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/bytes.h"
#include "platform/machine/evtx_format.h"

namespace {

namespace evtx = platform::evtx;

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

}  // namespace

std::string MakeEvtxFile(size_t count, size_t* records) {
    // The numbers run on from chunk to chunk, as a log's do.
    std::uint64_t next = 100000;
    static const std::vector<std::string> chunks = [] {
        std::vector<std::string> whole;
        // The sample's whole chunks (a few hundred events of a real machine, numbers above
        // 4095, which no other value of theirs repeats, so that they can be found and moved).
        {
            const std::string bytes = ReadAll(std::string(QUORVIK_TEST_DATA) +
                                              "/evtx/sample_with_a_bad_chunk_magic.evtx");
            for (size_t at = evtx::kFileHeaderSize; at + evtx::kChunkSize <= bytes.size();
                 at += evtx::kChunkSize) {
                std::string chunk = bytes.substr(at, evtx::kChunkSize);
                evtx::Chunk parsed;
                // Whole chunks only: the damaged ones would differ between readers.
                if (evtx::ParseChunk(chunk, parsed) && !parsed.events.empty() &&
                    parsed.warnings.empty() && parsed.events.front().recordId >= 0x1000) {
                    whole.push_back(std::move(chunk));
                }
            }
        }
        return whole;
    }();
    std::string out(evtx::kFileHeaderSize, '\0');
    if (records) *records = 0;
    for (size_t copy = 0; copy < count; ++copy) {
        const std::string& chunk = chunks[copy % chunks.size()];
        const std::uint64_t first = platform::Le64(chunk, 24), last = platform::Le64(chunk, 32);
        out += Renumbered(chunk, next - first);
        next += last - first + 1;
        if (records) {
            evtx::Chunk parsed;
            evtx::ParseChunk(std::string_view(out).substr(out.size() - evtx::kChunkSize), parsed);
            *records += parsed.events.size();
        }
    }
    std::memcpy(&out[0], "ElfFile", 8);
    Put64(out, 8, 0);
    Put64(out, 16, count - 1);
    Put64(out, 24, next);
    const std::uint32_t header[] = {128, (3u << 16) | 1u};
    std::memcpy(&out[32], header, 8);
    const std::uint16_t block = 4096, chunksHeld = static_cast<std::uint16_t>(count);
    std::memcpy(&out[40], &block, 2);
    std::memcpy(&out[42], &chunksHeld, 2);
    const std::uint32_t crc = evtx::Crc32(std::string_view(out).substr(0, 120));
    std::memcpy(&out[124], &crc, 4);
    return out;
}

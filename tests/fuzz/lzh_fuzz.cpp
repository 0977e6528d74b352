// Our LZH writer's round trip: whatever the input, lhasa extracts the same bytes from the
// archive it makes. The first byte picks the encoder's settings, so short chains and small
// blocks are fuzzed too.
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_folder.h"
#include "libs/unlha32/lzh_archive.h"

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "lzh_fuzz: %s\n", what);
    abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    lzh::Lh5Options options;
    options.chainLimit = 1 + (data[0] & 0x0F) * 40;
    options.blockCommands = (data[0] & 0x10) ? 1 + (data[0] >> 5) * 7 : 16384;
    const std::string folder = FuzzFolder();
    const std::string input = folder + "input.bin";
    const std::string archive = folder + "input.lzh";
    WriteInput(input, data + 1, size - 1);
    unlink(archive.c_str());
    const lzh::ArchiveResult result = lzh::WriteArchive(archive, {{"input.bin", input}}, options);
    if (result.error != lzh::ArchiveError::None) Fail("the archive was not written");

    FILE* pipe = popen(("lhasa pq '" + archive + "' input.bin").c_str(), "r");
    if (!pipe) Fail("lhasa did not start");
    std::string extracted;
    char buffer[65536];
    // libFuzzer's timer interrupts reads now and then; they are taken up again.
    for (;;) {
        const ssize_t n = read(fileno(pipe), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        extracted.append(buffer, static_cast<size_t>(n));
    }
    if (pclose(pipe) != 0) Fail("lhasa failed");
    if (extracted != std::string(reinterpret_cast<const char*>(data + 1), size - 1)) {
        Fail("lhasa extracted other bytes");
    }
    return 0;
}

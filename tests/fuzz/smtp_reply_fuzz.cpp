// Feeds any reply stream, in chunks the input chooses, to the SMTP reply reader.
#include <cstdint>
#include <string>
#include <string_view>

#include "notify/smtp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    ReplyReader reader;
    std::string line;
    size_t pos = 0, fed = 0, taken = 0;
    while (pos < input.size()) {
        // The first byte of each step says how much arrives before the next look.
        size_t chunk = 1 + static_cast<unsigned char>(input[pos]) * 37 % 4096;
        std::string_view piece = input.substr(pos + 1, std::min(chunk, reader.Room()));
        reader.Feed(piece);
        fed += piece.size();
        pos += 1 + piece.size();
        while (reader.TakeLine(false, line)) {
            if (line.size() > 64 * 1024 || line.empty()) __builtin_trap();
            ReplyReader::Continues(line);
            if (ReplyReader::Code(line) < 0) __builtin_trap();
            taken += line.size();
        }
    }
    while (reader.TakeLine(true, line) && !line.empty()) taken += line.size();
    // Every byte that arrived comes out in exactly one line.
    if (taken != fed) __builtin_trap();
    return 0;
}

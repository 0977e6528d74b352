// Feeds any bytes to the reader of SMB replies as each command of a network message gets one.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/machine/netmsg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::uint16_t> words;
    for (std::uint8_t command : {0x72, 0xD0, 0xD5, 0xD6, 0xD7}) {
        const platform::DWORD result = platform::ParseSmbReply(input, command, words);
        if (result != 0 && !words.empty() && result != platform::kNerrNameNotFound) {
            __builtin_trap();
        }
        if (words.size() > 255) __builtin_trap();
    }
    return 0;
}

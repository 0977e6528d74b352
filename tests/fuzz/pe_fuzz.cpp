// Feeds any bytes to the PE message-table reader, and formats what it finds.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/machine/msgfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<platform::MessageResource> resources;
    platform::ParseMessageFile(input, resources);
    const std::vector<std::string> args = {"one", "two"};
    std::string out;
    for (const platform::MessageResource& r : resources) {
        for (const platform::MessageTableEntry& e : r.entries) {
            platform::FormatMessageFromString(e.text, true, nullptr, out);
            platform::FormatMessageFromString(e.text, false, &args, out);
        }
    }
    // The bytes as a message too.
    platform::FormatMessageFromString(input, false, &args, out);
    return 0;
}

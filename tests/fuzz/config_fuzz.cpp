// Feeds any bytes to the configuration text's reader: nothing it accepts may change when it is
// written out and read again, and any JSON it reads formats to a text it reads the same.
#include <cstdint>
#include <string>
#include <string_view>

#include "config/config_text.h"
#include "platform/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    platform::json::Value value;
    std::string error;
    int line = 0;
    if (platform::json::Parse(input, value, error, line)) {
        const std::string text = platform::json::Format(value);
        platform::json::Value again;
        if (!platform::json::Parse(text, again, error, line)) __builtin_trap();
        if (platform::json::Format(again) != text) __builtin_trap();
    } else if (line < 1 || error.empty()) {
        __builtin_trap();
    }
    Configuration config;
    ConfigSections parts;
    std::vector<ConfigNote> faults, warnings;
    if (!ImportConfiguration(input, config, parts, faults, warnings)) {
        if (faults.empty()) __builtin_trap();
        return 0;
    }
    const std::string exported = ExportConfiguration(config);
    Configuration back;
    faults.clear();
    if (!ImportConfiguration(exported, back, parts, faults, warnings)) __builtin_trap();
    if (ExportConfiguration(back) != exported) __builtin_trap();
    return 0;
}

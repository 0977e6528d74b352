// Feeds any text to the message compiler; a module it makes must load as a message file.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/machine/msgcompiler.h"
#include "platform/machine/msgfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    platform::MessageCompileResult result;
    if (!platform::CompileMessageText(input, size % 2 == 1, result)) return 0;
    std::vector<platform::MessageResource> resources;
    if (!platform::ParseMessageFile(result.dll, resources)) __builtin_trap();
    return 0;
}

// Feeds any bytes to the .reg parser, then walks what it built.
#include <cstdint>
#include <string_view>

#include "platform/machine/registry.h"
#include "platform/machine/registry_files.h"

namespace {

size_t Walk(const platform::RegistryNode& node, int depth) {
    size_t count = node.values.size();
    if (depth > 64) return count;
    for (const auto& [name, child] : node.children) count += Walk(*child, depth + 1);
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    platform::RegistryTree tree;
    platform::ParseRegFile(input, tree);
    // The same bytes behind each header, so that the body is parsed in every encoding.
    platform::ParseRegFile("Windows Registry Editor Version 5.00\r\n" + std::string(input), tree);
    platform::ParseRegFile("REGEDIT4\r\n" + std::string(input), tree);
    Walk(tree.Root(), 0);
    return 0;
}

#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace platform {

// Names compare by their upper-cased ASCII letters, as the registry orders them.
struct RegistryNameLess {
    using is_transparent = void;  // look names up by view, without making strings
    bool operator()(std::string_view a, std::string_view b) const;
};

struct RegistryValue {
    std::string name;  // as written, UTF-8
    DWORD type = 0;
    // REG_SZ, REG_EXPAND_SZ: the text in UTF-8. REG_MULTI_SZ: the strings, each ended by '\0'.
    // Other types: the raw bytes.
    std::string data;
};

struct RegistryNode {
    std::string name;  // as written, UTF-8
    std::map<std::string, std::unique_ptr<RegistryNode>, RegistryNameLess> children;
    std::map<std::string, RegistryValue, RegistryNameLess> values;
};

// HKEY_LOCAL_MACHINE as the .reg files build it.
class RegistryTree {
public:
    RegistryNode& Root() { return m_root; }
    const RegistryNode& Root() const { return m_root; }

    // The node of a path of UTF-8 names separated by backslashes; created when asked.
    RegistryNode* Find(std::string_view path);
    RegistryNode* Create(std::string_view path);
    void Delete(std::string_view path);

private:
    RegistryNode m_root;
};

}  // namespace platform

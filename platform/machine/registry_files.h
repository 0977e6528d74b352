#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

// The registry's .reg files: parsing them into a tree (the loader, the fuzzers), writing their
// lines, and adding files to the machine's registry folder (the tools and the tests). The
// program itself only reads the registry, through registry.h.
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

// Parses the text of one .reg file (either export format and encoding) into the tree being
// built; malformed lines are skipped.
void ParseRegFile(std::string_view bytes, RegistryTree& tree);

// A .reg line for a string value, and a key header, in the "Version 5.00" syntax (UTF-8 text),
// for tools that register things by writing .reg files.
std::string RegKeyLine(std::string_view keyPathUtf8);
std::string RegStringLine(std::string_view nameUtf8, std::string_view valueUtf8);
std::string RegExpandStringLine(std::string_view nameUtf8, std::string_view valueUtf8);
std::string RegDwordLine(std::string_view nameUtf8, DWORD value);
// A REG_MULTI_SZ value of the given strings (UTF-8).
std::string RegMultiStringLine(std::string_view nameUtf8, const std::vector<std::string>& values);
// The line that deletes a key with everything below it.
std::string RegDeleteKeyLine(std::string_view keyPathUtf8);

// Adds keys and values to the machine: appends .reg lines (UTF-8, version 5 syntax, without the
// header line) to the machine's own registry file, read after the others.
bool AppendMachineRegistry(std::string_view regLinesUtf8);

// Writes a whole .reg file of that name into the machine's registry folder.
bool WriteRegistryFile(std::string_view name, std::string_view bytes);

}  // namespace platform

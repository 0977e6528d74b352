#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/errors.h"

// The machine's registry, read only: HKEY_LOCAL_MACHINE as the .reg files of the machine's
// registry folder give it. Names compare without regard to case; subkeys enumerate in
// case-insensitive name order. Results are Windows error codes, as the registry functions
// return them (0 success, 2 missing key or value, 259 no more items).
namespace platform {

struct RegistryKey;
using HKEY = RegistryKey*;

// The root that every path here starts from.
extern const HKEY HKEY_LOCAL_MACHINE;

enum RegistryType : DWORD {
    kRegNone = 0,
    kRegSz = 1,
    kRegExpandSz = 2,
    kRegBinary = 3,
    kRegDword = 4,
    kRegMultiSz = 7,
};

constexpr DWORD kErrorNoMoreItems = 259;
constexpr DWORD kErrorMoreData = 234;

// Opens a key below another ("SYSTEM\\CurrentControlSet\\Services"); close it with RegCloseKey.
DWORD RegOpenKeyEx(HKEY parent, std::string_view subKey, HKEY& key);

// The name of the index-th subkey (CP932).
DWORD RegEnumKeyEx(HKEY key, DWORD index, std::string& name);

// A value's type and data as the ANSI function gives them: strings in CP932 with their
// terminating zero (REG_MULTI_SZ: each string's zero and a final one), DWORDs as 4 bytes.
// An empty name is the key's default value.
DWORD RegQueryValueEx(HKEY key, std::string_view valueName, DWORD& type, std::string& data);

DWORD RegCloseKey(HKEY key);

// A string value (REG_SZ or REG_EXPAND_SZ, unexpanded) without its terminator.
bool RegReadString(HKEY key, std::string_view valueName, std::string& value);
// A REG_DWORD value.
bool RegReadDword(HKEY key, std::string_view valueName, DWORD& value);

// Opens a path below HKEY_LOCAL_MACHINE and reads one string or DWORD value from it.
bool ReadMachineString(std::string_view keyPath, std::string_view valueName, std::string& value);
bool ReadMachineDword(std::string_view keyPath, std::string_view valueName, DWORD& value);

// Parses the text of one .reg file into the registry being built (used by the loader and the
// fuzzer); malformed lines are skipped.
class RegistryTree;
void ParseRegFile(std::string_view bytes, RegistryTree& tree);

// A .reg line for a string value, and a key header, in the "Version 5.00" syntax (UTF-8 text),
// for tools that register things by writing .reg files.
std::string RegKeyLine(std::string_view keyPathUtf8);
std::string RegStringLine(std::string_view nameUtf8, std::string_view valueUtf8);
std::string RegExpandStringLine(std::string_view nameUtf8, std::string_view valueUtf8);
std::string RegDwordLine(std::string_view nameUtf8, DWORD value);

// Adds keys and values to the machine: appends .reg lines (UTF-8, version 5 syntax, without the
// header line) to the machine's own registry file, read after the others.
bool AppendMachineRegistry(std::string_view regLinesUtf8);

}  // namespace platform

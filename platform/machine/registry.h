#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/errors.h"
#include "platform/handle.h"

// The machine's registry, read only: HKEY_LOCAL_MACHINE as the .reg files of the machine's
// registry folder give it. Names compare without regard to case; subkeys enumerate in
// case-insensitive name order. Results are Windows error codes, as the registry functions
// return them (0 success, 2 missing key or value, 259 no more items).
//
// A change made through this process's registry calls is seen by the next call; a change to
// the folder made by another process (a tool, an editor) is seen within 100 ms.
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

// Opens a key below another ("SYSTEM\\CurrentControlSet\\Services"); close it with RegCloseKey.
DWORD RegOpenKeyEx(HKEY parent, std::string_view subKey, HKEY& key);

// The name of the index-th subkey (CP932).
DWORD RegEnumKeyEx(HKEY key, DWORD index, std::string& name);

// A value's type and data as the ANSI function gives them: strings in CP932 with their
// terminating zero (REG_MULTI_SZ: each string's zero and a final one), DWORDs as 4 bytes.
// An empty name is the key's default value.
DWORD RegQueryValueEx(HKEY key, std::string_view valueName, DWORD& type, std::string& data);

DWORD RegCloseKey(HKEY key);

using UniqueKey = UniqueHandle<HKEY, &RegCloseKey>;

// A string value (REG_SZ or REG_EXPAND_SZ, unexpanded) without its terminator.
bool RegReadString(HKEY key, std::string_view valueName, std::string& value);
// A REG_DWORD value.
bool RegReadDword(HKEY key, std::string_view valueName, DWORD& value);

// A number that changes whenever the registry was read anew from its files: who keeps what it
// read from the registry reads again when the number moves.
std::uint64_t RegistryGeneration();

// Opens a path below HKEY_LOCAL_MACHINE and reads one string or DWORD value from it.
bool ReadMachineString(std::string_view keyPath, std::string_view valueName, std::string& value);
bool ReadMachineDword(std::string_view keyPath, std::string_view valueName, DWORD& value);

}  // namespace platform

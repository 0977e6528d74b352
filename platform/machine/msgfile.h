#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/handle.h"

// Message files: PE files (32- and 64-bit) read as data, never run, for their message-table
// resources; and the system's message formatting. Texts are CP932.
namespace platform {

struct MessageModule;
using HMODULE = MessageModule*;

// Loads a file as a data file. nullptr on failure: 2 missing, 193 not a PE file.
// A file changed by another process is seen within 100 ms, one changed through this
// process's file calls at once.
HMODULE LoadLibraryAsDatafile(const std::string& path);
bool FreeLibrary(HMODULE module);

using UniqueModule = UniqueHandle<HMODULE, &FreeLibrary>;

struct MessageTableEntry {
    DWORD id;
    std::string text;  // CP932, as stored (no formatting)
};

// Every entry of every message-table resource of the module: the resources in enumeration
// order (names, then for each name the language the search order picks), blocks and entries
// in table order. Malformed tables are read as far as they are valid.
std::vector<MessageTableEntry> EnumerateMessageTables(HMODULE module);

// The stored text of a message. languageId 0 searches neutral, Japanese (0x411), English
// (0x409), then any language. False with 317 when no table holds the number.
bool FindMessage(HMODULE module, DWORD messageId, DWORD languageId, std::string& text);

// Formats a message by the system's rules: %1 to %99 (two digits at most) with an optional
// printf-style "!fmt!", %0 ends the output, %n CR LF, %r CR, %t tab, % before any other
// character gives that character, a bare CR or LF becomes CR LF, inserted texts are not
// scanned again. With ignoreInserts, inserts and % escapes other than %n %r %t %0 stay as they
// are. False (87) for a message ending in a lone "%" or an insert beyond the arguments, and
// false when the output is empty.
bool FormatMessageFromString(std::string_view format, bool ignoreInserts,
                             const std::vector<std::string>* args, std::string& out);

// The same for a message of a module.
bool FormatMessageFromModule(HMODULE module, DWORD messageId, DWORD languageId, bool ignoreInserts,
                             const std::vector<std::string>* args, std::string& out);

// One message-table resource of a file.
struct MessageResource {
    std::string name;  // "#<number>" for a numbered resource, else the name in CP932
    std::uint16_t language = 0;
    std::vector<MessageTableEntry> entries;
};

// Parses a PE image held in memory (for the loader and the fuzzer): its message-table
// resources in directory order. False when it is not a PE image.
bool ParseMessageFile(std::string_view bytes, std::vector<MessageResource>& resources);

}  // namespace platform

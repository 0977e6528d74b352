#pragma once

#include <string>
#include <string_view>

// The message compiler of the emulated machine: message texts in the usual message-text format
// (MessageId, Severity, Facility, SymbolicName, Language, text lines ended by a line holding a
// single ".") to a resource-only PE DLL with a message table per language, UTF-16 entries.
namespace platform {

struct MessageCompileResult {
    std::string dll;    // the file's bytes
    std::string error;  // why it failed, with the line number
};

// The source is UTF-8 (a byte-order mark is skipped). With pe64 the DLL is a PE32+ image for
// x64, else a PE32 image for i386.
bool CompileMessageText(std::string_view source, bool pe64, MessageCompileResult& result);

}  // namespace platform

#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/handle.h"

// Libraries loaded while the program runs (the machine's LoadLibrary finds them through
// LoadLibraryFrom). A Windows library name ("UNLHA32.DLL") stands for the shared object
// "libunlha32.so". Failures set the last error: 126 when the library is missing or cannot load,
// 127 for a missing entry point.
namespace platform {

struct LibraryObject;
using HLIBRARY = LibraryObject*;

// Looks the library up in the folders given (with their trailing separators), in order; a
// folder that is not absolute is passed by.
HLIBRARY LoadLibraryFrom(const std::vector<std::string>& folders, std::string_view name);

// The address of an exported function; nullptr when the library has none of that name.
void* GetProcAddress(HLIBRARY library, const char* name);

bool FreeLibrary(HLIBRARY library);

using UniqueLibrary = UniqueHandle<HLIBRARY, &FreeLibrary>;

// The shared object's file name for a Windows library name.
std::string SharedObjectName(std::string_view name);

}  // namespace platform

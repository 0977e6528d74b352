#pragma once

#include <string_view>

#include "platform/library.h"

// Libraries of the machine, as LoadLibrary finds them.
namespace platform {

// The library's shared object in the program's folder, then in the machine's system folder, and
// nowhere else.
HLIBRARY LoadLibrary(std::string_view name);

}  // namespace platform

#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

namespace platform {

// MapMachinePath that also gives the file's status from the look-up it makes anyway; false when
// the mapped path does not exist.
bool MapMachinePathAndStat(std::string_view windowsPath, std::string& mapped, struct stat& st);

}  // namespace platform

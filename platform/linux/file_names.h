#pragma once

#include <string>

namespace platform {

// Whether a file name matches a pattern as Windows matches one; for FindFiles.
bool WildcardMatch(const std::string& pattern, const std::string& name);

}  // namespace platform

#pragma once

#include <cstdio>
#include <string>

#include "platform/bytes.h"

// The names the configuration text gives to what the files hold as numbers; the reader and the
// writer of the text share them.
namespace config_text {

inline const char* const kTypeNames[] = {"any",         "error",         "warning",
                                         "information", "audit-success", "audit-failure"};
inline const char* const kAuthNames[] = {"none", "login", "cram-md5", "plain"};
inline const char* const kKindNames[] = {"attach",          "run",          "run-and-wait",
                                         "start-service",   "stop-service", "pause-service",
                                         "continue-service"};
inline const char* const kDayNames[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
inline const char* const kStartNames[] = {"now", "hours", "all"};

// "hh:mm" of minutes after midnight.
inline std::string ClockText(int minutes) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d:%02d", minutes / 60 % 100, minutes % 60);
    return text;
}

inline std::string Trimmed(const std::string& text) {
    return std::string(platform::TrimBlanks(text));
}

}  // namespace config_text

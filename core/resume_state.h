#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// Where monitoring stood in each log when the program last handled it, kept in RESUME.DAT beside
// ETC.DAT so that a new run can report what was written while the program was down.
struct LogPosition {
    std::uint32_t record = 0;   // the newest record handled; 0 when the log was empty
    std::uint32_t written = 0;  // its written time; 0 when it is not known
    // What tells it from another record of the same number and time (a log cleared and filled
    // again within a second); 0 when not known.
    std::uint32_t length = 0;
    std::uint64_t hash = 0;

    bool operator==(const LogPosition&) const = default;
};

// By log name (Shift-JIS).
using ResumeState = std::map<std::string, LogPosition>;

std::string ResumeStatePath();

// The file's text: a section per log with Record=, Written=, Length= and Hash=. Reading skips what
// it does not understand, so that a damaged file costs only the logs it damaged; damaged, when
// given, is set when anything was skipped (or there was nothing at all).
std::string FormatResumeState(const ResumeState& state);
ResumeState ParseResumeState(std::string_view text, bool* damaged = nullptr);

// An empty state when there is no file. A damaged file is copied aside first (its name, or
// empty when it could not be, in damagedCopy) and damaged is set; what could be read is used.
ResumeState LoadResumeState(bool* damaged = nullptr, std::string* damagedCopy = nullptr);
// Replaces the file in one step (an empty state removes it); false (with the last error) when it
// could not be written: the file then holds what it held before.
bool SaveResumeState(const ResumeState& state);

// Feeds any bytes to the reader of RESUME.DAT; what it reads must survive a write and a read.
#include <cstdint>
#include <string>

#include "core/resume_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string once = FormatResumeState(ParseResumeState(input));
    if (FormatResumeState(ParseResumeState(once)) != once) __builtin_trap();
    return 0;
}

// Feeds any bytes to the outbox file reader; what it takes must come back alike when written.
#include <cstdint>
#include <string>

#include "notify/mail_spool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    SpooledMail mail;
    if (!ParseSpoolFile(input, mail)) return 0;
    SpooledMail again;
    const std::string written = FormatSpoolFile(mail);
    if (!ParseSpoolFile(written, again) || FormatSpoolFile(again) != written) __builtin_trap();
    return 0;
}

// Feeds any bytes to the profile reader and writer.
#include <cstdint>
#include <string>

#include "fuzz_folder.h"
#include "platform/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = FuzzFolder() + "fuzz.ini";
    WriteInput(path, data, size);
    std::string input(reinterpret_cast<const char*>(data), size);
    // Section and key names taken from the input too, so that odd names get exercised.
    std::string section = input.substr(0, 3);
    for (const char* key : {"Key", "Password", "COL00"}) {
        platform::GetPrivateProfileString(section, key, "", 1024, path);
        platform::GetPrivateProfileString("SMTP", key, "d", 7, path);
        platform::GetPrivateProfileInt("SMTP", key, 5, path);
    }
    if (platform::WritePrivateProfileString("SMTP", "Key", "value", path)) {
        // What was written must read back.
        if (platform::GetPrivateProfileString("SMTP", "Key", "", 1024, path) != "value") {
            __builtin_trap();
        }
    }
    return 0;
}

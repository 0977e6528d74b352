#pragma once

#include <stdlib.h>

#include <fstream>
#include <string>

#include "platform/files.h"

// One folder for the whole run, used as the program directory; inputs are written into it.
inline const std::string& FuzzFolder() {
    static const std::string folder = [] {
        std::string templ = "/tmp/quorvik-fuzz-XXXXXX";
        if (!mkdtemp(templ.data())) abort();
        platform::SetExecutableDirectory(templ);
        return templ + "/";
    }();
    return folder;
}

inline void WriteInput(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

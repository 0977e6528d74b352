#include "platform/library.h"

#include <dlfcn.h>

#include <string>
#include <vector>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace platform {

struct LibraryObject {
    void* handle = nullptr;
};

std::string SharedObjectName(std::string_view name) {
    // Only the file part counts; a folder in the name is the caller's own search.
    const size_t slash = name.find_last_of("\\/");
    if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    std::string stem(name);
    if (stem.size() > 4 &&
        EqualsAsciiNoCase(std::string_view(stem).substr(stem.size() - 4), ".dll")) {
        stem.resize(stem.size() - 4);
    }
    for (char& c : stem) c = AsciiLower(c);
    return "lib" + stem + ".so";
}

HLIBRARY LoadLibraryFrom(const std::vector<std::string>& folders, std::string_view name) {
    const std::string file = SharedObjectName(name);
    if (file == "lib.so") {
        SetLastError(kErrorModNotFound);
        return nullptr;
    }
    void* handle = nullptr;
    for (const std::string& folder : folders) {
        // Absolute only: never a folder relative to wherever the program was started, nor the
        // dynamic linker's own search.
        const std::string path = PathToNative(folder + file);
        if (path.empty() || path[0] != '/') continue;
        if (FileExists(NativeToPath(path))) {
            handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle) break;
        }
    }
    if (!handle) {
        SetLastError(kErrorModNotFound);
        return nullptr;
    }
    return new LibraryObject{handle};
}

void* GetProcAddress(HLIBRARY library, const char* name) {
    if (!library) {
        SetLastError(kErrorInvalidHandle);
        return nullptr;
    }
    void* address = dlsym(library->handle, name);
    if (!address) SetLastError(kErrorProcNotFound);
    return address;
}

bool FreeLibrary(HLIBRARY library) {
    if (!library) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    dlclose(library->handle);
    delete library;
    return true;
}

}  // namespace platform

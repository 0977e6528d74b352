// An archiver library that fails every command: what the program must cope with when the real
// one cannot make an archive.
#include <cstdint>
#include <cstring>

extern "C" {

__attribute__((visibility("default"))) int Unlha(void*, const char*, char* output,
                                                 std::uint32_t size) {
    if (output && size > 0) std::strncpy(output, "failed", size - 1);
    if (output && size > 0) output[size - 1] = '\0';
    return 0x8015;
}

__attribute__((visibility("default"))) int UnlhaGetRunning() { return 0; }

__attribute__((visibility("default"))) int UnlhaSetCursorMode(int) { return 1; }
}

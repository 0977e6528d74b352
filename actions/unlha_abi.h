#pragma once

#include <cstdint>

// The archiver library's entry points, as the program resolves them by name after loading
// "UNLHA32.DLL". Booleans are ints, sizes 32 bits, as the original interface has them.
extern "C" {

// Carries out one command line ("m -jf0 -n1 -gm1 \"ARCHIVE\" \"FOLDER\\*\""): 0 on success, else
// an error number; a message goes into the output buffer (CP932, always terminated when the
// buffer has room).
using UnlhaFunction = int (*)(void* window, const char* commandLine, char* output,
                              std::uint32_t outputSize);
// Non-zero while a command runs.
using UnlhaGetRunningFunction = int (*)();
// Whether the library shows a busy cursor; it never does here, the call is kept for callers.
using UnlhaSetCursorModeFunction = int (*)(int mode);
}

// What Unlha returns besides 0. Values from 0x8000 up are errors, as callers of this family of
// libraries expect.
enum UnlhaResult : int {
    kUnlhaOk = 0,
    kUnlhaBadCommand = 0x8010,   // no command, or one this library does not know
    kUnlhaBadSwitch = 0x8011,    // a switch it does not know
    kUnlhaNoArchive = 0x8012,    // no archive named
    kUnlhaNoFiles = 0x8013,      // nothing matched the file names
    kUnlhaCannotRead = 0x8014,   // a file could not be read
    kUnlhaCannotWrite = 0x8015,  // the archive could not be written
    kUnlhaExists = 0x8016,       // the archive exists already
    kUnlhaTooLarge = 0x8017,     // a file of 4 GB or more
    kUnlhaBusy = 0x8018,         // called while a command runs
    kUnlhaCannotMove = 0x8019,   // the archive is made but a file could not be removed
};

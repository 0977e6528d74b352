#pragma once

#include <cstdint>
#include <string>

// Windows error codes, as the program expects them from every platform call.
namespace platform {

using DWORD = std::uint32_t;

enum : DWORD {
    kErrorSuccess = 0,
    kErrorInvalidFunction = 1,
    kErrorFileNotFound = 2,
    kErrorPathNotFound = 3,
    kErrorTooManyOpenFiles = 4,
    kErrorAccessDenied = 5,
    kErrorInvalidHandle = 6,
    kErrorNotEnoughMemory = 8,
    kErrorInvalidData = 13,
    kErrorNotSameDevice = 17,
    kErrorNoMoreFiles = 18,
    kErrorWriteProtect = 19,
    kErrorGenFailure = 31,
    kErrorSharingViolation = 32,
    kErrorLockViolation = 33,
    kErrorHandleEof = 38,
    kErrorNotSupported = 50,
    kErrorBadNetPath = 53,
    kErrorFileExists = 80,
    kErrorInvalidParameter = 87,
    kErrorBrokenPipe = 109,
    kErrorDiskFull = 112,
    kErrorInsufficientBuffer = 122,
    kErrorInvalidName = 123,
    kErrorDirNotEmpty = 145,
    kErrorBusy = 170,
    kErrorAlreadyExists = 183,
    kErrorFilenameExcedRange = 206,
    kErrorFileTooLarge = 223,
    kErrorDirectory = 267,
    kErrorBufferOverflow = 111,
    kErrorNoneMapped = 1332,
    kErrorIoDevice = 1117,
    kErrorCantResolveFilename = 1921,
};

// The calling thread's last error, as GetLastError/SetLastError keep it.
DWORD GetLastError();
void SetLastError(DWORD code);

// The Windows code that stands for a Linux errno value.
DWORD ErrorFromErrno(int err);

// Sets the last error from errno and returns false, for "fail and say why" in one line.
bool FailFromErrno();

// The system's message for a code, ending in CR LF as the system's do; false for a code the
// platform never raises.
bool SystemMessage(DWORD code, std::string& message);

}  // namespace platform

#pragma once

#include <cstdint>
#include <string>

// Windows error codes, as the program expects them from every platform call, and their texts.
// Every code the platform raises is named here, Windows Sockets codes included.
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
    kErrorSemTimeout = 121,
    kErrorInsufficientBuffer = 122,
    kErrorInvalidName = 123,
    kErrorDirNotEmpty = 145,
    kErrorBusy = 170,
    kErrorAlreadyExists = 183,
    kErrorFilenameExcedRange = 206,
    kErrorFileTooLarge = 223,
    kErrorDirectory = 267,
    kErrorBufferOverflow = 111,
    kErrorModNotFound = 126,
    kErrorProcNotFound = 127,
    kErrorBadExeFormat = 193,
    kErrorMoreData = 234,
    kErrorOperationAborted = 995,
    kErrorWaitTimeout = 258,
    kErrorNoMoreItems = 259,
    kStillActive = 259,  // the exit code of a process that still runs
    kErrorMrMidNotFound = 317,
    kErrorDependentServicesRunning = 1051,
    kErrorInvalidServiceControl = 1052,
    kErrorServiceRequestTimeout = 1053,
    kErrorServiceAlreadyRunning = 1056,
    kErrorServiceDisabled = 1058,
    kErrorCircularDependency = 1059,
    kErrorServiceDoesNotExist = 1060,
    kErrorServiceCannotAcceptCtrl = 1061,
    kErrorServiceNotActive = 1062,
    kErrorProcessAborted = 1067,
    kErrorServiceDependencyFail = 1068,
    kErrorServiceExists = 1073,
    kErrorServiceDependencyDeleted = 1075,
    kErrorServiceNeverStarted = 1077,
    kErrorDuplicateServiceName = 1078,
    kErrorIoDevice = 1117,
    kErrorNoneMapped = 1332,
    kErrorNotFound = 1168,
    kErrorEventLogFileCorrupt = 1500,
    kErrorLogFileFull = 1502,
    kErrorResourceTypeNotFound = 1813,
    kErrorCantResolveFilename = 1921,
};

// Windows Sockets codes, kept as the thread's socket error by the socket calls.
enum WsaError : int {
    kWsaEintr = 10004,
    kWsaEwouldblock = 10035,
    kWsaEinprogress = 10036,
    kWsaEnotsock = 10038,
    kWsaEaddrinuse = 10048,
    kWsaEaddrnotavail = 10049,
    kWsaEnetdown = 10050,
    kWsaEnetunreach = 10051,
    kWsaEconnaborted = 10053,
    kWsaEconnreset = 10054,
    kWsaEnobufs = 10055,
    kWsaEisconn = 10056,
    kWsaEnotconn = 10057,
    kWsaEtimedout = 10060,
    kWsaEconnrefused = 10061,
    kWsaEhostdown = 10064,
    kWsaEhostunreach = 10065,
    kWsaNotinitialised = 10093,
    kWsaHostNotFound = 11001,
    kWsaTryAgain = 11002,
    kWsaNoRecovery = 11003,
    kWsaNoData = 11004,
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

// "0x%08x: %s" with the system's message for the code less its closing CR LF; empty when the
// system has no message for it.
std::string SystemErrorText(DWORD code);

// SystemErrorText, or "0x%08x" alone for a code the system has no message for: a report says at
// least which code it was.
std::string SystemErrorTextOrCode(DWORD code);

}  // namespace platform

#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/handle.h"

// The Service Control Manager of the machine. The services are the keys under
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services that have an ImagePath: DisplayName,
// DependOnService (the services it needs), Start (4 = disabled), and AcceptedControls, a value of
// ours with the SERVICE_ACCEPT_* bits (stop when the value is missing). ImagePath is a Linux
// command line (a Windows path as its program maps into the machine); a started service runs
// as a real process group of its own, detached from the program, and stop, pause and continue
// are SIGTERM, SIGSTOP and SIGCONT to that group. What runs is kept in the machine's
// "services" folder, so that every program that uses the machine sees the same states.
//
// States as the SCM gives them: start pending while the process is young, stop pending until
// it has ended (one that ignores the stop for 20 seconds is killed), pause and continue pending
// until the process has stopped or gone on. A service that ends by itself keeps its exit code as
// its Win32 exit code; one killed by a signal it was not sent by a stop gets 1067. Failures set
// the last error to the SCM's codes (1056, 1060, 1062, 1052, 1051, ...).
namespace platform {

enum ServiceState : DWORD {
    kServiceStopped = 1,
    kServiceStartPending = 2,
    kServiceStopPending = 3,
    kServiceRunning = 4,
    kServiceContinuePending = 5,
    kServicePausePending = 6,
    kServicePaused = 7,
};

enum ServiceControl : DWORD {
    kServiceControlStop = 1,
    kServiceControlPause = 2,
    kServiceControlContinue = 3,
    kServiceControlInterrogate = 4,
};

enum : DWORD {
    kServiceAcceptStop = 0x1,
    kServiceAcceptPauseContinue = 0x2,
};

// Which services an enumeration lists.
enum ServiceStateFilter : DWORD {
    kServiceActive = 1,
    kServiceInactive = 2,
    kServiceStateAll = 3,
};

constexpr DWORD kServiceWin32OwnProcess = 0x10;

struct ServiceStatus {
    DWORD serviceType = kServiceWin32OwnProcess;
    DWORD currentState = kServiceStopped;
    DWORD controlsAccepted = 0;
    DWORD win32ExitCode = 0;
    DWORD serviceSpecificExitCode = 0;
    DWORD checkPoint = 0;
    DWORD waitHint = 0;
    DWORD processId = 0;
};

struct ServiceEntry {
    std::string serviceName;  // the key's name
    std::string displayName;
    ServiceStatus status;
};

struct ServiceObject;
using SC_HANDLE = ServiceObject*;

// The manager of the local machine; nullptr when the machine's registry cannot be read.
SC_HANDLE OpenSCManager();

// A service by its key name (letter case ignored); 1060 when there is none.
SC_HANDLE OpenService(SC_HANDLE manager, std::string_view serviceName);

bool CloseServiceHandle(SC_HANDLE handle);

using UniqueServiceHandle = UniqueHandle<SC_HANDLE, &CloseServiceHandle>;

// The key name of the service with that display name (letter case ignored); 1060 when none.
bool GetServiceKeyName(SC_HANDLE manager, std::string_view displayName, std::string& keyName);

bool QueryServiceStatus(SC_HANDLE service, ServiceStatus& status);

// Starts the service, and first the services it depends on that are not running.
bool StartService(SC_HANDLE service);

// Sends a control; status receives the state that follows it.
bool ControlService(SC_HANDLE service, DWORD control, ServiceStatus& status);

// The services that depend on this one, directly or through others, in the order they are to
// be stopped (a service after the ones that depend on it).
bool EnumDependentServices(SC_HANDLE service, DWORD filter, std::vector<ServiceEntry>& services);

// Every service of the machine, in key name order.
bool EnumServicesStatus(SC_HANDLE manager, DWORD filter, std::vector<ServiceEntry>& services);

// What makes a service, for the tools that install them.
struct ServiceConfig {
    std::string serviceName;
    std::string displayName;
    std::string commandLine;
    std::vector<std::string> dependencies;
    DWORD acceptedControls = kServiceAcceptStop;
    DWORD startType = 3;  // demand start; 4 disabled
};

bool QueryServiceConfig(SC_HANDLE service, ServiceConfig& config);

// Installs a service into the machine's registry; 1073 when the name is taken, 1078 when the
// display name is.
bool CreateService(SC_HANDLE manager, const ServiceConfig& config);

// Removes a stopped service from the registry with what the machine kept of it.
bool DeleteService(SC_HANDLE service);

}  // namespace platform

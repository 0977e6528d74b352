#include "actions/service_control.h"

#include <vector>

#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/pump.h"

using namespace platform;

namespace {

// Per thread: the watch tick and the dialogs may both call in.
thread_local DWORD g_errorCode = 0;
thread_local std::string g_message;
thread_local bool g_killed = false;

bool Fail() {
    g_errorCode = GetLastError();
    return false;
}

// Sleeps 100 ms and queries; then, while the state is the pending one, processes messages and
// does it again. False when a query fails.
bool WaitWhile(SC_HANDLE service, DWORD pending, ServiceStatus& status) {
    Sleep(100);
    if (!QueryServiceStatus(service, status)) return Fail();
    while (status.currentState == pending) {
        if (WaitsAbandoned()) {
            g_errorCode = kErrorOperationAborted;
            return false;
        }
        ProcessMessages();
        Sleep(100);
        if (!QueryServiceStatus(service, status)) return Fail();
    }
    return true;
}

// The three steps every start, pause and continue share once the service is open.
bool Settle(SC_HANDLE service, DWORD pending, DWORD goal) {
    ServiceStatus status;
    if (!WaitWhile(service, pending, status)) return false;
    if (status.currentState == goal) return true;
    g_errorCode = status.win32ExitCode;
    return false;
}

// Pause and continue: a control, then the wait for its state.
bool ControlAndSettle(const std::string& displayName, DWORD control, DWORD pending, DWORD goal) {
    g_errorCode = 0;
    g_message.clear();
    UniqueServiceHandle manager, service;
    if (!OpenServiceByDisplayName(displayName, manager, service)) return false;
    ServiceStatus status;
    if (!ControlService(service.Get(), control, status)) return Fail();
    return Settle(service.Get(), pending, goal);
}

}  // namespace

bool OpenServiceByDisplayName(const std::string& displayName, UniqueServiceHandle& manager,
                              UniqueServiceHandle& service) {
    g_errorCode = 0;
    UniqueServiceHandle scm(OpenSCManager());
    if (!scm) return Fail();
    std::string keyName;
    if (!GetServiceKeyName(scm.Get(), displayName, keyName)) return Fail();
    UniqueServiceHandle opened(OpenService(scm.Get(), keyName));
    if (!opened) return Fail();
    ServiceStatus status;
    if (!QueryServiceStatus(opened.Get(), status)) return Fail();
    while (status.currentState == kServiceStartPending ||
           status.currentState == kServiceStopPending ||
           status.currentState == kServiceContinuePending ||
           status.currentState == kServicePausePending) {
        if (WaitsAbandoned()) {
            g_errorCode = kErrorOperationAborted;
            return false;
        }
        Sleep(100);
        ProcessMessages();
        if (!QueryServiceStatus(opened.Get(), status)) return Fail();
    }
    if (status.currentState != kServiceStopped && status.currentState != kServiceRunning &&
        status.currentState != kServicePaused) {
        return false;
    }
    manager = std::move(scm);
    service = std::move(opened);
    return true;
}

bool ServiceStart(const std::string& displayName) {
    g_errorCode = 0;
    g_message.clear();
    UniqueServiceHandle manager, service;
    if (!OpenServiceByDisplayName(displayName, manager, service)) return false;
    if (!StartService(service.Get())) return Fail();
    return Settle(service.Get(), kServiceStartPending, kServiceRunning);
}

bool ServicePause(const std::string& displayName) {
    return ControlAndSettle(displayName, kServiceControlPause, kServicePausePending,
                            kServicePaused);
}

bool ServiceResume(const std::string& displayName) {
    return ControlAndSettle(displayName, kServiceControlContinue, kServiceContinuePending,
                            kServiceRunning);
}

bool StopOneService(SC_HANDLE service) {
    g_errorCode = 0;
    ServiceStatus status;
    if (!ControlService(service, kServiceControlStop, status)) return Fail();
    if (!WaitWhile(service, kServiceStopPending, status)) return false;
    if (status.currentState != kServiceStopped) {
        g_errorCode = status.win32ExitCode;
        return false;
    }
    // Stopped, but only because the stop that went unheeded became a kill.
    if (status.win32ExitCode == kErrorServiceRequestTimeout) g_killed = true;
    return true;
}

bool StopDependentServices(SC_HANDLE manager, SC_HANDLE service) {
    g_errorCode = 0;
    std::vector<ServiceEntry> dependents;
    if (!EnumDependentServices(service, kServiceActive, dependents)) return Fail();
    for (const ServiceEntry& dependent : dependents) {
        if (!(dependent.status.controlsAccepted & kServiceAcceptStop)) {
            g_message = StringPrintf(
                sjis(u8"停止不可の依存サービス(%s)が稼働しているため停止できません。\r\n").c_str(),
                dependent.displayName.c_str());
            return false;
        }
    }
    for (const ServiceEntry& dependent : dependents) {
        UniqueServiceHandle handle(OpenService(manager, dependent.serviceName));
        if (!handle) return Fail();
        if (!StopOneService(handle.Get())) {
            g_message = StringPrintf(
                sjis(u8"依存サービス(%s)の停止中にエラーが発生しました。\r\n%s").c_str(),
                dependent.displayName.c_str(), SystemErrorText(g_errorCode).c_str());
            g_errorCode = 0;
            return false;
        }
    }
    return true;
}

bool ServiceStop(const std::string& displayName) {
    g_errorCode = 0;
    g_message.clear();
    g_killed = false;
    UniqueServiceHandle manager, service;
    if (!OpenServiceByDisplayName(displayName, manager, service)) return false;
    return StopDependentServices(manager.Get(), service.Get()) && StopOneService(service.Get());
}

bool ServiceStopWasKill() { return g_killed; }

std::string ServiceErrorText() {
    if (g_errorCode != 0) return SystemErrorTextOrCode(g_errorCode);
    if (!g_message.empty()) return g_message;
    return sjis(u8"サービスの内部エラーが発生しました。");
}

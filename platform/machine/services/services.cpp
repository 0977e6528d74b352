#include "platform/machine/services.h"

#include <set>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/machine/machine.h"
#include "platform/machine/services/service_table.h"
#include "platform/supervisor.h"

namespace platform {

using services::Definition;

namespace {

using namespace services;

// A service counts as starting for this long after its process began.
constexpr std::int64_t kStartPendingMs = 500;

DWORD EndedExitCode(const RunRecord& s) {
    const EndOfRun end = DescribeEnd(s.status);
    if (end.exited) return end.exitCode;
    // A signal after our stop is the stop itself, unless it had to be the kill that follows a
    // stop not heeded in time; any other is a crash.
    if (s.stopping == 0) return kErrorProcessAborted;
    return end.killed ? kErrorServiceRequestTimeout : kErrorSuccess;
}

// The status a run state stands for now. May nudge the process: a stop that is not heeded in
// time becomes a kill, a lost pause or continue is sent again.
ServiceStatus Evaluate(const Definition& def, const RunRecord& s) {
    ServiceStatus st;
    st.serviceType = def.type;
    if (s.pid <= 0) {
        st.currentState = kServiceStopped;
        st.win32ExitCode = s.hasExitCode ? s.exitCode : kErrorServiceNeverStarted;
        return st;
    }
    const ProcessState info = InspectProcess(s.pid);
    const bool alive = SameProcess(s.pid, s.processStart, info) && !info.ended;
    const std::int64_t now = BootMilliseconds();
    if (!alive) {
        if (s.hasStatus) {
            st.currentState = kServiceStopped;
            st.win32ExitCode = EndedExitCode(s);
            return st;
        }
        // Ended, and the monitor is about to write down how.
        const ProcessState monitor = InspectProcess(s.monitor);
        if (SameProcess(s.monitor, s.monitorStart, monitor) && !monitor.ended) {
            st.currentState = s.stopping != 0 ? kServiceStopPending : kServiceStartPending;
            return st;
        }
        st.currentState = kServiceStopped;
        st.win32ExitCode = kErrorProcessAborted;
        return st;
    }
    st.processId = static_cast<DWORD>(s.pid);
    if (s.stopping != 0) {
        if (now - s.stopping > StopTimeoutMs()) SignalRun(s.pid, RunSignal::Kill);
        st.currentState = kServiceStopPending;
        return st;
    }
    if (now - s.started < kStartPendingMs) {
        st.currentState = kServiceStartPending;
        return st;
    }
    const bool halted = info.halted;
    if (s.paused) {
        if (!halted) SignalRun(s.pid, RunSignal::Halt);
        st.currentState = halted ? kServicePaused : kServicePausePending;
    } else {
        if (halted) SignalRun(s.pid, RunSignal::Resume);
        st.currentState = halted ? kServiceContinuePending : kServiceRunning;
    }
    st.controlsAccepted = def.acceptedControls & (kServiceAcceptStop | kServiceAcceptPauseContinue);
    return st;
}

bool StatusOf(const Definition& def, ServiceStatus& status) {
    RunRecordFile file;
    if (!file.OpenShared(StatePath(def.name))) return false;
    status = Evaluate(def, file.Read());
    return true;
}

bool IsActive(const ServiceStatus& status) { return status.currentState != kServiceStopped; }

bool StartDefinition(const Definition& def, std::set<std::string>& starting);

bool StartDependencies(const Definition& def, std::set<std::string>& starting) {
    for (const std::string& name : def.dependencies) {
        Definition dependency;
        if (!FindDefinition(name, dependency)) {
            SetLastError(kErrorServiceDependencyDeleted);
            return false;
        }
        ServiceStatus status;
        if (!StatusOf(dependency, status)) {
            SetLastError(kErrorServiceDependencyFail);
            return false;
        }
        if (IsActive(status)) continue;
        if (!StartDefinition(dependency, starting)) {
            SetLastError(GetLastError() == kErrorCircularDependency ? kErrorCircularDependency
                                                                    : kErrorServiceDependencyFail);
            return false;
        }
    }
    return true;
}

bool StartDefinition(const Definition& def, std::set<std::string>& starting) {
    std::string upper = def.name;
    for (char& c : upper) c = AsciiUpper(c);
    if (!starting.insert(upper).second) {
        SetLastError(kErrorCircularDependency);
        return false;
    }
    if (def.startType == kStartDisabled) {
        SetLastError(kErrorServiceDisabled);
        return false;
    }
    {
        ServiceStatus status;
        if (!StatusOf(def, status)) return false;
        if (IsActive(status)) {
            SetLastError(status.currentState == kServiceStopPending ? kErrorServiceCannotAcceptCtrl
                                                                    : kErrorServiceAlreadyRunning);
            return false;
        }
    }
    if (!StartDependencies(def, starting)) return false;

    RunRecordFile file;
    if (!file.OpenExclusive(StatePath(def.name))) return false;
    RunRecord previous = file.Read();
    if (IsActive(Evaluate(def, previous))) {
        SetLastError(kErrorServiceAlreadyRunning);
        return false;
    }
    std::vector<std::string> words;
    if (!CommandWords(def.imagePath, words)) {
        RunRecord failed;
        failed.hasExitCode = true;
        failed.exitCode = GetLastError();
        file.Write(failed);
        SetLastError(failed.exitCode);
        return false;
    }
    RunRecord run;
    return StartDetached(words, MapMachinePath("%SystemRoot%\\system32"), LogPath(def.name), file,
                         run);
}

}  // namespace

struct ServiceObject {
    bool manager = false;
    Definition def;
};

namespace {

// A handle of the kind a call needs; else the last error says it is not one.
bool IsManager(SC_HANDLE handle) {
    if (handle && handle->manager) return true;
    SetLastError(kErrorInvalidHandle);
    return false;
}

bool IsService(SC_HANDLE handle) {
    if (handle && !handle->manager) return true;
    SetLastError(kErrorInvalidHandle);
    return false;
}

}  // namespace

SC_HANDLE OpenSCManager() {
    if (!EnsureMachine()) return nullptr;
    return new ServiceObject{true, Definition()};
}

SC_HANDLE OpenService(SC_HANDLE manager, std::string_view serviceName) {
    if (!IsManager(manager)) return nullptr;
    Definition def;
    if (serviceName.empty() || !FindDefinition(serviceName, def)) {
        if (serviceName.empty()) SetLastError(kErrorServiceDoesNotExist);
        return nullptr;
    }
    return new ServiceObject{false, std::move(def)};
}

bool CloseServiceHandle(SC_HANDLE handle) {
    if (!handle) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    delete handle;
    return true;
}

bool GetServiceKeyName(SC_HANDLE manager, std::string_view displayName, std::string& keyName) {
    if (!IsManager(manager)) return false;
    std::vector<Definition> all;
    if (!AllDefinitions(all)) return false;
    for (const Definition& def : all) {
        if (EqualsNoCase(def.displayName, displayName)) {
            keyName = def.name;
            return true;
        }
    }
    SetLastError(kErrorServiceDoesNotExist);
    return false;
}

bool QueryServiceStatus(SC_HANDLE service, ServiceStatus& status) {
    if (!IsService(service)) return false;
    return StatusOf(service->def, status);
}

bool StartService(SC_HANDLE service) {
    if (!IsService(service)) return false;
    // The registry may have changed since the handle was opened.
    Definition def;
    if (!FindDefinition(service->def.name, def)) return false;
    std::set<std::string> starting;
    return StartDefinition(def, starting);
}

bool EnumDependentServices(SC_HANDLE service, DWORD filter, std::vector<ServiceEntry>& out) {
    out.clear();
    if (!IsService(service)) return false;
    std::vector<Definition> all;
    if (!AllDefinitions(all)) return false;
    std::vector<const Definition*> order;
    std::set<std::string> seen;
    // Depth first: the ones that depend on a dependent come before it.
    auto visit = [&](auto& self, const std::string& name) -> void {
        for (const Definition& def : all) {
            bool depends = false;
            for (const std::string& needed : def.dependencies)
                depends |= EqualsNoCase(needed, name);
            if (!depends) continue;
            std::string upper = def.name;
            for (char& c : upper) c = AsciiUpper(c);
            if (!seen.insert(upper).second) continue;
            self(self, def.name);
            order.push_back(&def);
        }
    };
    std::string self = service->def.name;
    for (char& c : self) c = AsciiUpper(c);
    seen.insert(self);
    visit(visit, service->def.name);
    for (const Definition* def : order) {
        ServiceEntry entry{def->name, def->displayName, {}};
        if (!StatusOf(*def, entry.status)) return false;
        const bool active = IsActive(entry.status);
        if ((active && (filter & kServiceActive)) || (!active && (filter & kServiceInactive))) {
            out.push_back(std::move(entry));
        }
    }
    return true;
}

bool EnumServicesStatus(SC_HANDLE manager, DWORD filter, std::vector<ServiceEntry>& out) {
    out.clear();
    if (!IsManager(manager)) return false;
    std::vector<Definition> all;
    if (!AllDefinitions(all)) return false;
    for (const Definition& def : all) {
        if (!IsWin32Service(def)) continue;
        ServiceEntry entry{def.name, def.displayName, {}};
        if (!StatusOf(def, entry.status)) return false;
        const bool active = IsActive(entry.status);
        if ((active && (filter & kServiceActive)) || (!active && (filter & kServiceInactive))) {
            out.push_back(std::move(entry));
        }
    }
    return true;
}

bool ControlService(SC_HANDLE service, DWORD control, ServiceStatus& status) {
    if (!IsService(service)) return false;
    Definition def;
    if (!FindDefinition(service->def.name, def)) return false;
    if (control == kServiceControlStop) {
        std::vector<ServiceEntry> dependents;
        if (!EnumDependentServices(service, kServiceActive, dependents)) return false;
        if (!dependents.empty()) {
            SetLastError(kErrorDependentServicesRunning);
            return false;
        }
    }
    RunRecordFile file;
    if (!file.OpenExclusive(StatePath(def.name))) return false;
    RunRecord run = file.Read();
    status = Evaluate(def, run);
    if (control == kServiceControlInterrogate) {
        if (!IsActive(status)) {
            SetLastError(kErrorServiceNotActive);
            return false;
        }
        return true;
    }
    if (control < kServiceControlStop || control > kServiceControlContinue) {
        SetLastError(kErrorInvalidServiceControl);
        return false;
    }
    if (!IsActive(status)) {
        SetLastError(kErrorServiceNotActive);
        return false;
    }
    const DWORD needed =
        control == kServiceControlStop ? kServiceAcceptStop : kServiceAcceptPauseContinue;
    if (status.currentState == kServiceStartPending || status.currentState == kServiceStopPending) {
        SetLastError(kErrorServiceCannotAcceptCtrl);
        return false;
    }
    if (!(def.acceptedControls & needed)) {
        SetLastError(kErrorInvalidServiceControl);
        return false;
    }
    switch (control) {
        case kServiceControlStop:
            // A paused process hears the stop only once it goes on.
            SignalRun(run.pid, RunSignal::Terminate);
            SignalRun(run.pid, RunSignal::Resume);
            run.stopping = BootMilliseconds();
            break;
        case kServiceControlPause:
            SignalRun(run.pid, RunSignal::Halt);
            run.paused = true;
            break;
        case kServiceControlContinue:
            SignalRun(run.pid, RunSignal::Resume);
            run.paused = false;
            break;
    }
    if (!file.Write(run)) return false;
    status = Evaluate(def, run);
    return true;
}

bool QueryServiceConfig(SC_HANDLE service, ServiceConfig& config) {
    if (!IsService(service)) return false;
    Definition def;
    if (!FindDefinition(service->def.name, def)) return false;
    config.serviceName = def.name;
    config.displayName = def.displayName;
    config.commandLine = def.imagePath;
    config.dependencies = def.dependencies;
    config.acceptedControls = def.acceptedControls;
    config.startType = def.startType;
    return true;
}

bool CreateService(SC_HANDLE manager, const ServiceConfig& config) {
    if (!IsManager(manager)) return false;
    if (config.serviceName.empty() || config.serviceName.size() > 256 ||
        config.serviceName.find_first_of("\\/") != std::string::npos ||
        config.commandLine.empty()) {
        SetLastError(kErrorInvalidName);
        return false;
    }
    std::vector<Definition> all;
    if (!AllDefinitions(all)) return false;
    const std::string& display =
        config.displayName.empty() ? config.serviceName : config.displayName;
    for (const Definition& def : all) {
        if (EqualsNoCase(def.name, config.serviceName)) {
            SetLastError(kErrorServiceExists);
            return false;
        }
        if (EqualsNoCase(def.displayName, display) || EqualsNoCase(def.name, display)) {
            SetLastError(kErrorDuplicateServiceName);
            return false;
        }
    }
    return AddDefinition(config, display);
}

bool DeleteService(SC_HANDLE service) {
    if (!IsService(service)) return false;
    ServiceStatus status;
    if (!QueryServiceStatus(service, status)) return false;
    if (IsActive(status)) {
        SetLastError(kErrorServiceCannotAcceptCtrl);
        return false;
    }
    return RemoveDefinition(service->def.name);
}

}  // namespace platform

#include "platform/machine/services.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "support/machine_folder.h"

using namespace platform;

namespace {

void Install(const std::string& name, const std::string& command,
             std::vector<std::string> dependencies = {}, DWORD accepted = kServiceAcceptStop,
             const std::string& display = "") {
    UniqueServiceHandle manager(OpenSCManager());
    ASSERT_TRUE(manager);
    ServiceConfig config;
    config.serviceName = name;
    config.displayName = display.empty() ? name + " display" : display;
    config.commandLine = command;
    config.dependencies = std::move(dependencies);
    config.acceptedControls = accepted;
    ASSERT_TRUE(CreateService(manager.Get(), config)) << name << " " << GetLastError();
}

UniqueServiceHandle Open(const std::string& name) {
    UniqueServiceHandle manager(OpenSCManager());
    UniqueServiceHandle service(OpenService(manager.Get(), name));
    EXPECT_TRUE(service) << name;
    return service;
}

ServiceStatus Status(SC_HANDLE service) {
    ServiceStatus status;
    EXPECT_TRUE(QueryServiceStatus(service, status));
    return status;
}

// Polls until the service is in the state; its status then (or the last one seen).
ServiceStatus WaitFor(SC_HANDLE service, DWORD state) {
    ServiceStatus status = Status(service);
    for (int i = 0; i < 250 && status.currentState != state; ++i) {
        Sleep(20);
        status = Status(service);
    }
    EXPECT_EQ(status.currentState, state);
    return status;
}

bool ProcessGone(DWORD pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return true;
    return stat[stat.rfind(')') + 2] == 'Z';
}

bool Fails(bool result, DWORD error) { return !result && GetLastError() == error; }

}  // namespace

TEST(Services, StartPauseContinueStop) {
    MachineFolder machine;
    Install("Clock", "sleep 60", {}, kServiceAcceptStop | kServiceAcceptPauseContinue);
    UniqueServiceHandle service = Open("clock");  // key names ignore letter case
    ServiceStatus status = Status(service.Get());
    EXPECT_EQ(status.currentState, kServiceStopped);
    EXPECT_EQ(status.win32ExitCode, kErrorServiceNeverStarted);

    ASSERT_TRUE(StartService(service.Get()));
    status = Status(service.Get());
    EXPECT_EQ(status.currentState, kServiceStartPending);
    EXPECT_EQ(status.controlsAccepted, 0u);
    const DWORD pid = status.processId;
    ASSERT_NE(pid, 0u);
    status = WaitFor(service.Get(), kServiceRunning);
    EXPECT_EQ(status.controlsAccepted, kServiceAcceptStop | kServiceAcceptPauseContinue);
    EXPECT_EQ(status.processId, pid);

    ASSERT_TRUE(ControlService(service.Get(), kServiceControlPause, status));
    WaitFor(service.Get(), kServicePaused);
    ASSERT_TRUE(ControlService(service.Get(), kServiceControlContinue, status));
    WaitFor(service.Get(), kServiceRunning);

    ASSERT_TRUE(ControlService(service.Get(), kServiceControlStop, status));
    EXPECT_EQ(status.currentState, kServiceStopPending);
    status = WaitFor(service.Get(), kServiceStopped);
    EXPECT_EQ(status.win32ExitCode, 0u);
    EXPECT_TRUE(ProcessGone(pid));
}

TEST(Services, APausedServiceStopsToo) {
    MachineFolder machine;
    Install("Napper", "sleep 60", {}, kServiceAcceptStop | kServiceAcceptPauseContinue);
    UniqueServiceHandle service = Open("Napper");
    ASSERT_TRUE(StartService(service.Get()));
    WaitFor(service.Get(), kServiceRunning);
    ServiceStatus status;
    ASSERT_TRUE(ControlService(service.Get(), kServiceControlPause, status));
    WaitFor(service.Get(), kServicePaused);
    ASSERT_TRUE(ControlService(service.Get(), kServiceControlStop, status));
    EXPECT_EQ(WaitFor(service.Get(), kServiceStopped).win32ExitCode, 0u);
}

TEST(Services, ErrorsAreTheManagersOwn) {
    MachineFolder machine;
    Install("Plain", "sleep 60");
    Install("NoProgram", "/no/such/program --flag");
    Install("NeedsGhost", "sleep 60", {"Ghost"});
    UniqueServiceHandle manager(OpenSCManager());
    std::string key;
    EXPECT_TRUE(Fails(OpenService(manager.Get(), "Nobody") != nullptr, kErrorServiceDoesNotExist));
    EXPECT_TRUE(Fails(GetServiceKeyName(manager.Get(), "Nobody", key), kErrorServiceDoesNotExist));
    ASSERT_TRUE(GetServiceKeyName(manager.Get(), "PLAIN DISPLAY", key));
    EXPECT_EQ(key, "Plain");

    UniqueServiceHandle plain = Open("Plain");
    ServiceStatus status;
    EXPECT_TRUE(
        Fails(ControlService(plain.Get(), kServiceControlStop, status), kErrorServiceNotActive));
    ASSERT_TRUE(StartService(plain.Get()));
    // While it starts it takes no control, and a second start finds it running.
    EXPECT_TRUE(Fails(ControlService(plain.Get(), kServiceControlStop, status),
                      kErrorServiceCannotAcceptCtrl));
    EXPECT_TRUE(Fails(StartService(plain.Get()), kErrorServiceAlreadyRunning));
    WaitFor(plain.Get(), kServiceRunning);
    EXPECT_TRUE(Fails(StartService(plain.Get()), kErrorServiceAlreadyRunning));
    EXPECT_TRUE(Fails(ControlService(plain.Get(), kServiceControlPause, status),
                      kErrorInvalidServiceControl));
    EXPECT_TRUE(Fails(DeleteService(plain.Get()), kErrorServiceCannotAcceptCtrl));

    UniqueServiceHandle missing = Open("NoProgram");
    EXPECT_TRUE(Fails(StartService(missing.Get()), kErrorFileNotFound));
    status = Status(missing.Get());
    EXPECT_EQ(status.currentState, kServiceStopped);
    EXPECT_EQ(status.win32ExitCode, kErrorFileNotFound);

    EXPECT_TRUE(Fails(StartService(Open("NeedsGhost").Get()), kErrorServiceDependencyDeleted));

    ServiceConfig taken;
    taken.serviceName = "plain";
    taken.commandLine = "true";
    EXPECT_TRUE(Fails(CreateService(manager.Get(), taken), kErrorServiceExists));
    taken.serviceName = "Other";
    taken.displayName = "Plain Display";
    EXPECT_TRUE(Fails(CreateService(manager.Get(), taken), kErrorDuplicateServiceName));
}

TEST(Services, ExitCodesOfServicesThatEnd) {
    MachineFolder machine;
    Install("Three", "sh -c 'exit 3'");
    Install("Zero", "true");
    Install("Crash", "sh -c 'kill -KILL $$'");
    Install("Stubborn", "sh -c 'trap \"exit 5\" TERM; while :; do sleep 0.05; done'");
    struct Case {
        const char* name;
        DWORD exitCode;
    } ended[] = {{"Three", 3}, {"Zero", 0}, {"Crash", kErrorProcessAborted}};
    for (const Case& c : ended) {
        UniqueServiceHandle service = Open(c.name);
        ASSERT_TRUE(StartService(service.Get())) << c.name;
        EXPECT_EQ(WaitFor(service.Get(), kServiceStopped).win32ExitCode, c.exitCode) << c.name;
    }
    // An ending of its own after the stop keeps its code.
    UniqueServiceHandle stubborn = Open("Stubborn");
    ASSERT_TRUE(StartService(stubborn.Get()));
    WaitFor(stubborn.Get(), kServiceRunning);
    ServiceStatus status;
    ASSERT_TRUE(ControlService(stubborn.Get(), kServiceControlStop, status));
    EXPECT_EQ(WaitFor(stubborn.Get(), kServiceStopped).win32ExitCode, 5u);
}

TEST(Services, DependenciesStartFirstAndDependentsStopFirst) {
    MachineFolder machine;
    Install("A", "sleep 60");
    Install("B", "sleep 60", {"a"});
    Install("C", "sleep 60", {"B"});
    Install("D", "sleep 60", {"A"});
    Install("Idle", "sleep 60", {"A"});
    UniqueServiceHandle a = Open("A"), c = Open("C"), d = Open("D");
    ASSERT_TRUE(StartService(c.Get()));
    ASSERT_TRUE(StartService(d.Get()));
    EXPECT_NE(Status(a.Get()).currentState, kServiceStopped);
    EXPECT_NE(Status(Open("B").Get()).currentState, kServiceStopped);
    WaitFor(c.Get(), kServiceRunning);

    std::vector<ServiceEntry> dependents;
    ASSERT_TRUE(EnumDependentServices(a.Get(), kServiceActive, dependents));
    std::vector<std::string> names;
    for (const ServiceEntry& e : dependents) names.push_back(e.serviceName);
    EXPECT_EQ(names, (std::vector<std::string>{"C", "B", "D"}));
    EXPECT_EQ(dependents[0].displayName, "C display");
    ASSERT_TRUE(EnumDependentServices(a.Get(), kServiceInactive, dependents));
    ASSERT_EQ(dependents.size(), 1u);
    EXPECT_EQ(dependents[0].serviceName, "Idle");

    ServiceStatus status;
    EXPECT_TRUE(Fails(ControlService(a.Get(), kServiceControlStop, status),
                      kErrorDependentServicesRunning));
    EXPECT_EQ(Status(a.Get()).currentState, kServiceRunning);

    std::vector<ServiceEntry> all;
    UniqueServiceHandle manager(OpenSCManager());
    ASSERT_TRUE(EnumServicesStatus(manager.Get(), kServiceStateAll, all));
    // The default machine's sample service is there too, in key order.
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all[4].serviceName, "Idle");
    EXPECT_EQ(all[4].status.currentState, kServiceStopped);
    EXPECT_EQ(all[5].serviceName, "QuorvikSample");
    EXPECT_EQ(SjisToUtf8(all[5].displayName), "Quorvik サンプル サービス");
    ASSERT_TRUE(EnumServicesStatus(manager.Get(), kServiceActive, all));
    EXPECT_EQ(all.size(), 4u);
}

TEST(Services, WindowsImagePathsRunFromTheMachine) {
    MachineFolder machine;
    ASSERT_TRUE(ForceDirectories(machine.Root() + "drive_c/Svc"));
    const std::string script = machine.Root() + "drive_c/Svc/run.sh";
    WriteFileBytes(script, "#!/bin/sh\necho \"$1\" > \"$(dirname \"$0\")/arg\"\nexec sleep 60\n");
    chmod(script.c_str(), 0755);
    Install("Win", "\"%SystemDrive%\\svc\\RUN.sh\" first");
    UniqueServiceHandle service = Open("Win");
    ASSERT_TRUE(StartService(service.Get())) << GetLastError();
    WaitFor(service.Get(), kServiceRunning);
    EXPECT_EQ(ReadFileBytes(machine.Root() + "drive_c/Svc/arg"), "first\n");
}

TEST(Services, DeletedServicesLeaveNothing) {
    MachineFolder machine;
    Install("Brief", "true");
    UniqueServiceHandle service = Open("Brief");
    ASSERT_TRUE(StartService(service.Get()));
    WaitFor(service.Get(), kServiceStopped);
    ASSERT_TRUE(DeleteService(service.Get()));
    UniqueServiceHandle manager(OpenSCManager());
    EXPECT_TRUE(Fails(OpenService(manager.Get(), "Brief") != nullptr, kErrorServiceDoesNotExist));
    EXPECT_FALSE(FileExists(machine.Root() + "services/BRIEF.state"));
}

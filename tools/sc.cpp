// The machine's services: install and remove them, show their states, start and control them.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/machine/services.h"
#include "tools/tool_support.h"

namespace {

constexpr char kTool[] = "sc";
constexpr char kUsage[] =
    "sc [--machine DIR] (create NAME --display TEXT --command CMD [--depend NAME]... "
    "[--accept-pause] [--no-stop] [--disabled] | delete NAME | query [NAME] | "
    "start NAME | stop NAME | pause NAME | continue NAME)";

using namespace platform;

const char* StateName(DWORD state) {
    switch (state) {
        case kServiceStopped: return "STOPPED";
        case kServiceStartPending: return "START_PENDING";
        case kServiceStopPending: return "STOP_PENDING";
        case kServiceRunning: return "RUNNING";
        case kServiceContinuePending: return "CONTINUE_PENDING";
        case kServicePausePending: return "PAUSE_PENDING";
        case kServicePaused: return "PAUSED";
        default: return "UNKNOWN";
    }
}

void PrintStatus(const std::string& name, const std::string& display, const ServiceStatus& s) {
    std::printf("\nSERVICE_NAME: %s\n", SjisToUtf8(name).c_str());
    std::printf("DISPLAY_NAME: %s\n", SjisToUtf8(display).c_str());
    std::printf("        TYPE               : %x  WIN32_OWN_PROCESS\n",
                static_cast<unsigned>(s.serviceType));
    std::printf("        STATE              : %u  %s\n", static_cast<unsigned>(s.currentState),
                StateName(s.currentState));
    std::printf("                                (%s, %s, IGNORES_SHUTDOWN)\n",
                (s.controlsAccepted & kServiceAcceptStop) ? "STOPPABLE" : "NOT_STOPPABLE",
                (s.controlsAccepted & kServiceAcceptPauseContinue) ? "PAUSABLE" : "NOT_PAUSABLE");
    std::printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", static_cast<unsigned>(s.win32ExitCode),
                static_cast<unsigned>(s.win32ExitCode));
    std::printf("        SERVICE_EXIT_CODE  : %u  (0x%x)\n",
                static_cast<unsigned>(s.serviceSpecificExitCode),
                static_cast<unsigned>(s.serviceSpecificExitCode));
    std::printf("        CHECKPOINT         : 0x%x\n", static_cast<unsigned>(s.checkPoint));
    std::printf("        WAIT_HINT          : 0x%x\n", static_cast<unsigned>(s.waitHint));
    if (s.processId != 0) {
        std::printf("        PID                : %u\n", static_cast<unsigned>(s.processId));
    }
}

// A failed call as Windows' sc reports one: its name, the code in decimal, the system's text.
[[noreturn]] void ScFailed(const char* call) {
    const DWORD code = GetLastError();
    std::string text;
    if (SystemMessage(code, text)) text.resize(text.size() >= 2 ? text.size() - 2 : 0);
    std::printf("[SC] %s FAILED %u:\n\n%s\n\n", call, static_cast<unsigned>(code),
                SjisToUtf8(text).c_str());
    std::exit(1);
}

UniqueServiceHandle Open(SC_HANDLE manager, const std::string& name) {
    UniqueServiceHandle service(OpenService(manager, name));
    if (!service) ScFailed("OpenService");
    return service;
}

int Create(SC_HANDLE manager, int argc, char** argv, int i) {
    ServiceConfig config;
    config.serviceName = NativeToPath(argv[i++]);
    DWORD accepted = kServiceAcceptStop;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--display") {
            config.displayName = NativeToPath(OptionValue(argc, argv, i, kTool, kUsage));
        } else if (arg == "--command") {
            config.commandLine = NativeToPath(OptionValue(argc, argv, i, kTool, kUsage));
        } else if (arg == "--depend") {
            config.dependencies.push_back(NativeToPath(OptionValue(argc, argv, i, kTool, kUsage)));
        } else if (arg == "--accept-pause") {
            accepted |= kServiceAcceptPauseContinue;
        } else if (arg == "--no-stop") {
            accepted &= ~kServiceAcceptStop;
        } else if (arg == "--disabled") {
            config.startType = 4;
        } else {
            UsageError(kTool, "unknown option " + arg, kUsage);
        }
    }
    if (config.commandLine.empty()) UsageError(kTool, "create needs --command", kUsage);
    config.acceptedControls = accepted;
    if (!CreateService(manager, config)) {
        ScFailed("CreateService");
    }
    std::printf("[SC] CreateService SUCCESS\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    AnswerHelp(argc, argv,
               "Installs, removes, lists, starts and controls the services of the machine.",
               u8"マシンのサービスを登録、削除、一覧し、開始と制御をします。", kUsage);
    std::string machine;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--machine") {
            machine = OptionValue(argc, argv, i, kTool, kUsage);
        } else {
            break;
        }
    }
    if (i >= argc) UsageError(kTool, "no command", kUsage);
    const std::string command = argv[i++];
    UseMachine(kTool, machine);
    UniqueServiceHandle manager(OpenSCManager());
    if (!manager) ScFailed("OpenSCManager");

    if (command == "query") {
        if (i < argc) {
            UniqueServiceHandle service = Open(manager.Get(), NativeToPath(argv[i]));
            ServiceStatus status;
            ServiceConfig config;
            if (!QueryServiceStatus(service.Get(), status) ||
                !QueryServiceConfig(service.Get(), config)) {
                ScFailed("QueryServiceStatus");
            }
            PrintStatus(config.serviceName, config.displayName, status);
            return 0;
        }
        std::vector<ServiceEntry> services;
        if (!EnumServicesStatus(manager.Get(), kServiceStateAll, services)) {
            ScFailed("EnumServicesStatus");
        }
        for (const ServiceEntry& s : services) PrintStatus(s.serviceName, s.displayName, s.status);
        return 0;
    }
    if (i >= argc) UsageError(kTool, command + " needs a service name", kUsage);
    if (command == "create") return Create(manager.Get(), argc, argv, i);
    if (i + 1 != argc) UsageError(kTool, std::string("unexpected ") + argv[i + 1], kUsage);
    const std::string name = NativeToPath(argv[i]);
    UniqueServiceHandle service = Open(manager.Get(), name);
    if (command == "delete") {
        if (!DeleteService(service.Get())) ScFailed("DeleteService");
        std::printf("[SC] DeleteService SUCCESS\n");
        return 0;
    }
    ServiceStatus status;
    if (command == "start") {
        if (!StartService(service.Get())) ScFailed("StartService");
        if (!QueryServiceStatus(service.Get(), status)) ScFailed("QueryServiceStatus");
    } else {
        DWORD control = 0;
        if (command == "stop") control = kServiceControlStop;
        if (command == "pause") control = kServiceControlPause;
        if (command == "continue") control = kServiceControlContinue;
        if (control == 0) UsageError(kTool, "unknown command " + command, kUsage);
        if (!ControlService(service.Get(), control, status)) {
            ScFailed("ControlService");
        }
    }
    ServiceConfig config;
    QueryServiceConfig(service.Get(), config);
    PrintStatus(config.serviceName, config.displayName, status);
    return 0;
}

// The default machine: what a new machine folder holds, a small Windows Server 2003 with its
// three logs, a sample event source with categories and Japanese messages, the message file of
// the sources eventcreate registers, and a sample service.
#include <string>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/accounts.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/machine.h"
#include "platform/machine/msgcompiler.h"
#include "platform/machine/registry_files.h"

extern const char kSampleMessageText[];

namespace platform {
namespace {

// The registry of a new default machine, in the .reg syntax a real export uses.
std::string DefaultRegistry() {
    std::string r = "Windows Registry Editor Version 5.00\r\n\r\n";
    r += RegKeyLine("SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName");
    r += RegStringLine("ComputerName", HostComputerName()) + "\r\n";
    r += RegKeyLine("SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment");
    r += RegStringLine("OS", "Windows_NT");
    r += RegExpandStringLine("ComSpec", "%SystemRoot%\\system32\\cmd.exe");
    r += RegExpandStringLine("TEMP", "%SystemRoot%\\TEMP");
    r += RegExpandStringLine("TMP", "%SystemRoot%\\TEMP");
    r += RegExpandStringLine("windir", "%SystemRoot%") + "\r\n";
    r += RegKeyLine("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
    r += RegStringLine("ProductName", "Microsoft Windows Server 2003");
    r += RegStringLine("CurrentVersion", "5.2");
    r += RegStringLine("SystemRoot", "C:\\WINDOWS") + "\r\n";
    const char* profiles[][2] = {
        {"S-1-5-21-1004336348-1177238915-682003330-500", "Administrator"},
        {"S-1-5-21-1004336348-1177238915-682003330-1003", "operator"},
    };
    for (const auto& profile : profiles) {
        r += RegKeyLine(
            std::string("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\") +
            profile[0]);
        r += RegExpandStringLine(
                 "ProfileImagePath",
                 std::string("%SystemDrive%\\Documents and Settings\\") + profile[1]) +
             "\r\n";
    }
    const std::string sampleKey = std::string(kEventLogKey) + "\\Application\\QuorvikSample";
    r += RegKeyLine(sampleKey);
    r += RegExpandStringLine("EventMessageFile", "%SystemRoot%\\system32\\quorviksample.dll");
    r += RegExpandStringLine("CategoryMessageFile", "%SystemRoot%\\system32\\quorviksample.dll");
    r += RegDwordLine("CategoryCount", 3);
    r += RegDwordLine("TypesSupported", 7) + "\r\n";
    // A service to try the service actions on: it only waits, and takes stop, pause and continue.
    r += RegKeyLine("SYSTEM\\CurrentControlSet\\Services\\QuorvikSample");
    r += RegDwordLine("Type", 0x10);
    r += RegDwordLine("Start", 3);
    r += RegExpandStringLine("ImagePath", "sleep infinity");
    r += RegStringLine("DisplayName", "Quorvik サンプル サービス");
    r += RegDwordLine("AcceptedControls", 3) + "\r\n";
    const char* logs[][2] = {
        {"Application", "AppEvent.Evt"}, {"Security", "SecEvent.Evt"}, {"System", "SysEvent.Evt"}};
    for (const auto& log : logs) {
        r += RegKeyLine(std::string(kEventLogKey) + "\\" + log[0]);
        r += RegExpandStringLine("File", std::string("%SystemRoot%\\system32\\config\\") + log[1]);
        r += RegDwordLine("MaxSize", 0x80000);
        r += RegDwordLine("Retention", 0) + "\r\n";
    }
    return r;
}

}  // namespace

bool EnsureMachine() {
    std::string root = MachineRoot();
    if (DirectoryExists(root)) return true;
    if (!ForceDirectories(root + "registry") ||
        !ForceDirectories(root + "Windows/system32/config") ||
        !ForceDirectories(root + "Windows/TEMP") || !ForceDirectories(root + "drive_c") ||
        !ForceDirectories(root + "services")) {
        return false;
    }
    if (!WriteRegistryFile("00-system.reg", DefaultRegistry())) return false;
    // Message files: one whose messages 1 to 1000 are just their first insert, for the
    // sources eventcreate registers, and the sample source's.
    std::string plain = "MessageIdTypedef=DWORD\r\n";
    for (int id = 1; id <= 1000; ++id) {
        plain += "MessageId=" + std::to_string(id) + "\r\nLanguage=English\r\n%1\r\n.\r\n";
    }
    MessageCompileResult compiled;
    if (!CompileMessageText(plain, false, compiled) ||
        !WriteWholeFile(root + "Windows/system32/quorvikmsg.dll", compiled.dll)) {
        return false;
    }
    if (!CompileMessageText(kSampleMessageText, false, compiled) ||
        !WriteWholeFile(root + "Windows/system32/quorviksample.dll", compiled.dll)) {
        return false;
    }
    for (const char* log : {"Application", "Security", "System"}) {
        if (!CreateEventLogFile(log)) return false;
    }
    return true;
}

}  // namespace platform

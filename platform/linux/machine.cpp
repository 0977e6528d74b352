#include "platform/machine.h"

#include <sys/stat.h>

#include "platform/linux/machine_paths.h"

#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/codepage.h"
#include "platform/eventlog.h"
#include "platform/files.h"
#include "platform/linux/machine_paths.h"
#include "platform/msgcompiler.h"
#include "platform/registry.h"

extern const char kSampleMessageText[];

namespace platform {
namespace {

std::string g_machineRoot;

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

unsigned char Upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

std::string HostComputerName() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "QUORVIK";
    std::string name(host);
    name = name.substr(0, name.find('.'));
    for (char& c : name) c = static_cast<char>(Upper(static_cast<unsigned char>(c)));
    return name.substr(0, 15);
}

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

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    File file;
    if (!file.Open(path, File::Access::Write, File::Disposition::CreateAlways, File::Share::None)) {
        return false;
    }
    return file.Write(bytes.data(), bytes.size());
}

// A value of the machine's environment key, expanded in turn when it is REG_EXPAND_SZ.
bool MachineEnvironmentValue(std::string_view name, std::string& value) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE,
                     "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
                     key) != kErrorSuccess) {
        return false;
    }
    bool ok = RegReadString(key, name, value);
    RegCloseKey(key);
    return ok;
}

std::string Expand(std::string_view text, int depth);

bool LookupVariable(std::string_view name, std::string& value, int depth) {
    if (EqualsNoCase(name, "SystemRoot") || EqualsNoCase(name, "windir")) {
        value = MachineRoot() + "Windows";
        return true;
    }
    if (EqualsNoCase(name, "SystemDrive")) {
        value = "C:";
        return true;
    }
    if (MachineEnvironmentValue(name, value)) {
        // The machine's values may refer to others (TEMP=%SystemRoot%\TEMP); a loop stops.
        if (depth < 4) value = Expand(value, depth + 1);
        return true;
    }
    std::string nameUtf8 = SjisToUtf8(name);
    if (const char* env = std::getenv(nameUtf8.c_str())) {
        value = Utf8ToSjis(env);
        return true;
    }
    return false;
}

std::string Expand(std::string_view text, int depth) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t open = text.find('%', pos);
        if (open == std::string_view::npos) {
            out.append(text.substr(pos));
            break;
        }
        size_t close = text.find('%', open + 1);
        if (close == std::string_view::npos) {
            out.append(text.substr(pos));
            break;
        }
        out.append(text.substr(pos, open - pos));
        std::string value;
        if (close > open + 1 &&
            LookupVariable(text.substr(open + 1, close - open - 1), value, depth)) {
            out += value;
            pos = close + 1;
        } else {
            // Not a variable: the first % stays and the search goes on from the second.
            out += '%';
            pos = open + 1;
        }
    }
    return out;
}

}  // namespace

std::string MachineRoot() {
    if (!g_machineRoot.empty()) return g_machineRoot;
    if (const char* env = std::getenv("NT_MACHINE_ROOT"); env && *env) {
        return WithSlash(Utf8ToSjis(env));
    }
    return ExecutableDirectory() + "machine/";
}

void SetMachineRoot(const std::string& folder) { g_machineRoot = WithSlash(folder); }

bool EnsureMachine() {
    std::string root = MachineRoot();
    if (DirectoryExists(root)) return true;
    if (!ForceDirectories(root + "registry") ||
        !ForceDirectories(root + "Windows/system32/config") ||
        !ForceDirectories(root + "Windows/TEMP") || !ForceDirectories(root + "drive_c") ||
        !ForceDirectories(root + "services")) {
        return false;
    }
    if (!WriteWholeFile(root + "registry/00-system.reg", DefaultRegistry())) return false;
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

std::string ExpandMachineEnvironment(std::string_view text) { return Expand(text, 0); }

DWORD ExpandEnvironmentStrings(std::string_view text, std::string& out, DWORD bufferSize) {
    std::string expanded = ExpandMachineEnvironment(text);
    const auto needed = static_cast<DWORD>(expanded.size() + 1);
    if (needed <= bufferSize) out = std::move(expanded);
    return needed;
}

std::string MapMachinePath(std::string_view windowsPath) {
    struct stat st;
    std::string path;
    MapMachinePathAndStat(windowsPath, path, st);
    return path;
}

bool MapMachinePathAndStat(std::string_view windowsPath, std::string& mapped, struct stat& st) {
    std::string path(windowsPath);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    if (path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
        char drive = static_cast<char>(path[0] | 0x20);
        std::string rest = path.substr(2);
        while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
        path = MachineRoot() + "drive_" + drive + "/" + rest;
    }
    const bool exists = stat(SjisToUtf8(path).c_str(), &st) == 0;
    // A relative path is used as it stands, and so is one that exists.
    if (path.empty() || path[0] != '/' || exists) {
        mapped = path;
        return exists;
    }

    // Resolve each component without regard to case, as the Windows file system would.
    std::string resolved;
    size_t pos = 1;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        std::string part = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty()) continue;
        std::string candidate = resolved + "/" + part;
        if (!FileExists(candidate) && !DirectoryExists(candidate)) {
            std::vector<FindData> entries;
            if (FindFiles(resolved + "/*", entries)) {
                for (const FindData& entry : entries) {
                    if (EqualsNoCase(entry.name, part)) {
                        candidate = resolved + "/" + entry.name;
                        break;
                    }
                }
            }
        }
        resolved = candidate;
    }
    if (!path.empty() && path.back() == '/') resolved += '/';
    mapped = resolved;
    return stat(SjisToUtf8(resolved).c_str(), &st) == 0;
}

}  // namespace platform

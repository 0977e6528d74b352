// The machine's folder, its environment and the mapping of its Windows paths.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/freshness.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry.h"
#include "platform/machine/root/machine_paths.h"
#include "platform/user_folders.h"

namespace platform {
namespace {

std::string g_machineRoot;  // set for tests and tools; empty: the default

// The folder with a slash at its end, and absolute: the machine's paths are matched without
// regard to case only below an absolute root.
std::string RootFolder(std::string folder) {
    if (!folder.empty() && folder[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd)) {
            while (folder.rfind("./", 0) == 0) folder.erase(0, 2);
            folder = NativeToPath(cwd) + "/" + folder;
        }
    }
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

// A value of the machine's environment key, expanded in turn when it is REG_EXPAND_SZ.
bool MachineEnvironmentValue(std::string_view name, std::string& value) {
    return ReadMachineString("SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
                             name, value);
}

std::string Expand(std::string_view text, int depth);

bool LookupVariable(std::string_view name, std::string& value, int depth) {
    if (EqualsAsciiNoCase(name, "SystemRoot") || EqualsAsciiNoCase(name, "windir")) {
        value = MachineRoot() + "Windows";
        return true;
    }
    if (EqualsAsciiNoCase(name, "SystemDrive")) {
        value = "C:";
        return true;
    }
    if (MachineEnvironmentValue(name, value)) {
        // The machine's values may refer to others (TEMP=%SystemRoot%\TEMP); a loop stops.
        if (depth < 4) value = Expand(value, depth + 1);
        return true;
    }
    const std::string nameUtf8 = SjisToUtf8(name);
    if (const char* env = std::getenv(nameUtf8.c_str())) {
        value = NativeToPath(env);
        return true;
    }
    return false;
}

std::string Expand(std::string_view text, int depth) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t open = text.find('%', pos);
        if (open == std::string_view::npos) {
            out.append(text.substr(pos));
            break;
        }
        const size_t close = text.find('%', open + 1);
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

const std::string& MachineRoot() {
    if (!g_machineRoot.empty()) return g_machineRoot;
    // The default follows the environment and the program's folder, which tests may move.
    static std::string defaultRoot;
    const char* env = std::getenv("NT_MACHINE_ROOT");
    std::string root =
        (env && *env) ? RootFolder(NativeToPath(env)) : UserFolders().data + "machine/";
    if (root != defaultRoot) defaultRoot = std::move(root);
    return defaultRoot;
}

void SetMachineRoot(const std::string& folder) {
    g_machineRoot = RootFolder(folder);
    NoteLocalMachineChange();
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
    for (size_t i = 0; i < path.size(); ++i) {
        // The second byte of a double-byte character may be 0x5C and is no separator.
        if (IsDBCSLeadByte(static_cast<unsigned char>(path[i]))) {
            ++i;
        } else if (path[i] == '\\') {
            path[i] = '/';
        }
    }
    if (path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
        const char drive = AsciiLower(path[0]);
        std::string rest = path.substr(2);
        while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
        // The system folder is the one %SystemRoot% names, however a path spells it.
        const size_t end = std::min(rest.find('/'), rest.size());
        if (drive == 'c' && EqualsAsciiNoCase(rest.substr(0, end), "Windows")) {
            path = MachineRoot() + "Windows" + rest.substr(end);
        } else {
            path = MachineRoot() + "drive_" + drive + "/" + rest;
        }
    }
    const bool exists = stat(PathToNative(path).c_str(), &st) == 0;
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
        const std::string part = path.substr(pos, slash - pos);
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
    return stat(PathToNative(resolved).c_str(), &st) == 0;
}

}  // namespace platform

#include "platform/machine/services/service_table.h"

#include <cstdlib>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry_files.h"
#include "platform/process.h"

namespace platform::services {

namespace {

std::vector<std::string> MultiStrings(const std::string& data) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < data.size()) {
        const size_t end = data.find('\0', pos);
        const size_t stop = end == std::string::npos ? data.size() : end;
        if (stop == pos) break;
        out.push_back(data.substr(pos, stop - pos));
        pos = stop + 1;
    }
    return out;
}

bool LooksLikeWindowsPath(std::string_view word) {
    if (!word.empty() && word[0] == '"') word.remove_prefix(1);
    return (word.size() >= 3 && word[1] == ':' && (word[2] == '\\' || word[2] == '/')) ||
           word.find('\\') != std::string_view::npos;
}

bool ReadDefinition(HKEY services, const std::string& keyName, Definition& def) {
    UniqueKey key;
    if (RegOpenKeyEx(services, keyName, key.Out()) != kErrorSuccess) return false;
    def = Definition();
    def.name = keyName;
    if (!RegReadString(key.Get(), "ImagePath", def.imagePath)) return false;
    if (!RegReadString(key.Get(), "DisplayName", def.displayName) || def.displayName.empty()) {
        def.displayName = keyName;
    }
    DWORD type = 0;
    std::string data;
    if (RegQueryValueEx(key.Get(), "DependOnService", type, data) == kErrorSuccess &&
        type == kRegMultiSz) {
        def.dependencies = MultiStrings(data);
    }
    RegReadDword(key.Get(), "AcceptedControls", def.acceptedControls);
    RegReadDword(key.Get(), "Start", def.startType);
    RegReadDword(key.Get(), "Type", def.type);
    return true;
}

}  // namespace

std::int64_t StopTimeoutMs() {
    std::string text;
    if (ReadMachineString("SYSTEM\\CurrentControlSet\\Control", "WaitToKillServiceTimeout", text)) {
        char* end = nullptr;
        const long long ms = std::strtoll(text.c_str(), &end, 10);
        if (end != text.c_str() && ms > 0) return ms;
    }
    return 20000;
}

bool AllDefinitions(std::vector<Definition>& out) {
    out.clear();
    UniqueKey services;
    const DWORD opened = RegOpenKeyEx(HKEY_LOCAL_MACHINE, kServicesKey, services.Out());
    if (opened == kErrorFileNotFound) return true;
    if (opened != kErrorSuccess) {
        SetLastError(opened);
        return false;
    }
    std::string name;
    for (DWORD i = 0; RegEnumKeyEx(services.Get(), i, name) == kErrorSuccess; ++i) {
        Definition def;
        if (ReadDefinition(services.Get(), name, def)) out.push_back(std::move(def));
    }
    return true;
}

bool FindDefinition(std::string_view name, Definition& def) {
    std::vector<Definition> all;
    if (!AllDefinitions(all)) return false;
    for (Definition& candidate : all) {
        if (EqualsNoCase(candidate.name, name)) {
            def = std::move(candidate);
            return true;
        }
    }
    SetLastError(kErrorServiceDoesNotExist);
    return false;
}

bool IsWin32Service(const Definition& def) { return (def.type & 0x30) != 0; }

bool CommandWords(const std::string& imagePath, std::vector<std::string>& words) {
    const std::string expanded = ExpandMachineEnvironment(imagePath);
    const size_t first = expanded.find_first_not_of(" \t");
    if (first == std::string::npos) {
        SetLastError(kErrorFileNotFound);
        return false;
    }
    std::string_view rest(expanded);
    rest.remove_prefix(first);
    if (LooksLikeWindowsPath(rest.substr(0, rest.find(' ')))) {
        words = SplitCommandLine(expanded);
        if (!words.empty()) words[0] = MapMachinePath(words[0]);
        return !words.empty();
    }
    if (!ShellWords(expanded, words)) return false;
    if (words.empty()) {
        SetLastError(kErrorFileNotFound);
        return false;
    }
    return true;
}

bool AddDefinition(const ServiceConfig& config, const std::string& display) {
    const std::string key = SjisToUtf8(std::string(kServicesKey) + "\\" + config.serviceName);
    std::string lines = RegKeyLine(key);
    lines += RegDwordLine("Type", kServiceWin32OwnProcess);
    lines += RegDwordLine("Start", config.startType);
    lines += RegDwordLine("ErrorControl", 1);
    lines += RegExpandStringLine("ImagePath", SjisToUtf8(config.commandLine));
    lines += RegStringLine("DisplayName", SjisToUtf8(display));
    lines += RegDwordLine("AcceptedControls", config.acceptedControls);
    if (!config.dependencies.empty()) {
        std::vector<std::string> names;
        for (const std::string& name : config.dependencies) names.push_back(SjisToUtf8(name));
        lines += RegMultiStringLine("DependOnService", names);
    }
    return AppendMachineRegistry(lines);
}

bool RemoveDefinition(const std::string& name) {
    const std::string key = SjisToUtf8(std::string(kServicesKey) + "\\" + name);
    if (!AppendMachineRegistry(RegDeleteKeyLine(key))) return false;
    DeleteFile(StatePath(name));
    DeleteFile(LogPath(name));
    return true;
}

std::string StatePath(const std::string& name) {
    std::string upper = name;
    for (size_t i = 0; i < upper.size(); ++i) {
        if (IsDBCSLeadByte(static_cast<unsigned char>(upper[i]))) {
            ++i;
        } else {
            upper[i] = AsciiUpper(upper[i]);
        }
    }
    return MachineRoot() + "services/" + upper + ".state";
}

std::string LogPath(const std::string& name) {
    const std::string state = StatePath(name);
    return state.substr(0, state.size() - 6) + ".log";
}

}  // namespace platform::services

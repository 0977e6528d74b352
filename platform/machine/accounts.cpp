#include "platform/machine/accounts.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/machine/registry.h"

namespace platform {
namespace {

struct WellKnown {
    const char* sid;
    const char* domain;
    const char* name;
};

const WellKnown kWellKnown[] = {
    {"S-1-0-0", "", "NULL SID"},
    {"S-1-1-0", "", "Everyone"},
    {"S-1-2-0", "", "LOCAL"},
    {"S-1-3-0", "", "CREATOR OWNER"},
    {"S-1-3-1", "", "CREATOR GROUP"},
    {"S-1-5-1", "NT AUTHORITY", "DIALUP"},
    {"S-1-5-2", "NT AUTHORITY", "NETWORK"},
    {"S-1-5-3", "NT AUTHORITY", "BATCH"},
    {"S-1-5-4", "NT AUTHORITY", "INTERACTIVE"},
    {"S-1-5-6", "NT AUTHORITY", "SERVICE"},
    {"S-1-5-7", "NT AUTHORITY", "ANONYMOUS LOGON"},
    {"S-1-5-9", "NT AUTHORITY", "ENTERPRISE DOMAIN CONTROLLERS"},
    {"S-1-5-11", "NT AUTHORITY", "Authenticated Users"},
    {"S-1-5-18", "NT AUTHORITY", "SYSTEM"},
    {"S-1-5-19", "NT AUTHORITY", "LOCAL SERVICE"},
    {"S-1-5-20", "NT AUTHORITY", "NETWORK SERVICE"},
    {"S-1-5-32-544", "BUILTIN", "Administrators"},
    {"S-1-5-32-545", "BUILTIN", "Users"},
    {"S-1-5-32-546", "BUILTIN", "Guests"},
    {"S-1-5-32-547", "BUILTIN", "Power Users"},
    {"S-1-5-32-548", "BUILTIN", "Account Operators"},
    {"S-1-5-32-549", "BUILTIN", "Server Operators"},
    {"S-1-5-32-550", "BUILTIN", "Print Operators"},
    {"S-1-5-32-551", "BUILTIN", "Backup Operators"},
    {"S-1-5-32-552", "BUILTIN", "Replicator"},
};

constexpr std::string_view kProfileList =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";

}  // namespace

std::string HostComputerName() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "QUORVIK";
    std::string name(host);
    name = name.substr(0, name.find('.'));
    for (char& c : name) c = AsciiUpper(c);
    return Utf8ToSjis(name).substr(0, 15);
}

bool GetComputerName(std::string& name, size_t bufferChars) {
    std::string value;
    if (!ReadMachineString("SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
                           "ComputerName", value) ||
        value.empty()) {
        value = HostComputerName();
    }
    if (SjisToUtf16(value).size() + 1 > bufferChars) {
        SetLastError(kErrorBufferOverflow);
        return false;
    }
    name = value;
    return true;
}

std::string SidToString(std::string_view sid) {
    if (sid.size() < 8) return std::string();
    const auto* b = reinterpret_cast<const unsigned char*>(sid.data());
    const unsigned count = b[1];
    if (b[0] != 1 || count > 15 || sid.size() != 8 + 4 * count) return std::string();
    unsigned long long authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | b[i];
    // Appended piece by piece: GCC 12 at -O3 warns wrongly about "literal" + string.
    std::string text = "S-1-";
    text += std::to_string(authority);
    for (unsigned i = 0; i < count; ++i) {
        const unsigned char* p = b + 8 + 4 * i;
        unsigned long v =
            p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<unsigned long>(p[3]) << 24);
        text += '-';
        text += std::to_string(v);
    }
    return text;
}

bool StringToSid(std::string_view text, std::string& sid) {
    if (text.size() < 5 || (text[0] != 'S' && text[0] != 's') || text.substr(1, 3) != "-1-") {
        return false;
    }
    std::vector<unsigned long long> parts;
    size_t pos = 4;
    while (pos <= text.size()) {
        size_t dash = text.find('-', pos);
        if (dash == std::string_view::npos) dash = text.size();
        if (dash == pos || dash - pos > 20) return false;
        unsigned long long v = 0;
        for (size_t i = pos; i < dash; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            v = v * 10 + static_cast<unsigned>(text[i] - '0');
        }
        parts.push_back(v);
        pos = dash + 1;
    }
    if (parts.empty() || parts.size() > 16 || parts[0] > 0xFFFFFFFFFFFFull) return false;
    sid.clear();
    sid += '\1';
    sid += static_cast<char>(parts.size() - 1);
    for (int shift = 40; shift >= 0; shift -= 8)
        sid += static_cast<char>((parts[0] >> shift) & 0xFF);
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i] > 0xFFFFFFFFull) return false;
        for (int shift = 0; shift < 32; shift += 8)
            sid += static_cast<char>((parts[i] >> shift) & 0xFF);
    }
    return true;
}

bool LookupAccountSid(std::string_view, std::string_view sid, std::string& name,
                      std::string& domain) {
    std::string text = SidToString(sid);
    if (text.empty()) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    for (const WellKnown& known : kWellKnown) {
        if (text == known.sid) {
            name = known.name;
            domain = known.domain;
            return true;
        }
    }
    // The machine's own accounts: the profile list names each account's profile folder.
    std::string profile;
    if (ReadMachineString(std::string(kProfileList) + text, "ProfileImagePath", profile)) {
        size_t cut = profile.find_last_of("\\/");
        std::string account = cut == std::string::npos ? profile : profile.substr(cut + 1);
        if (!account.empty()) {
            name = account;
            if (!GetComputerName(domain, 256)) domain.clear();
            return true;
        }
    }
    SetLastError(kErrorNoneMapped);
    return false;
}

bool AccountSidOfUid(unsigned uid, std::string& sid) {
    if (uid == 0) return StringToSid("S-1-5-18", sid);
    std::vector<char> buffer(16384);
    passwd entry;
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    const std::string name = found->pw_name;
    UniqueKey list;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE,
                     "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
                     list.Out()) != kErrorSuccess) {
        return false;
    }
    std::string key;
    for (DWORD i = 0; RegEnumKeyEx(list.Get(), i, key) == kErrorSuccess; ++i) {
        std::string profile;
        if (!ReadMachineString(
                "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + key,
                "ProfileImagePath", profile)) {
            continue;
        }
        const size_t cut = profile.find_last_of("\\/");
        const std::string account = cut == std::string::npos ? profile : profile.substr(cut + 1);
        if (EqualsAsciiNoCase(account, name)) return StringToSid(key, sid);
    }
    return false;
}

}  // namespace platform

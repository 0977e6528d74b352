#include "session/session_config.h"

#include <cstdint>

#include "core/address_handlers.h"
#include "notify/mail_spool.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace {

// A list file that was read only in part (or not at all) is copied aside before any save can
// replace it, and the warning for the start's log says so; the copy keeps what was not read.
std::string DamagedList(const std::string& path, size_t read) {
    const std::string name = path.substr(path.rfind('/') + 1);
    const std::string copy = platform::CopyAsDamaged(path);
    if (!copy.empty()) {
        return platform::StringPrintf(
            sjis(
                u8"%sが壊れているため、%u件だけを読み込みました。元のファイルは%sとして残しました。")
                .c_str(),
            name.c_str(), static_cast<unsigned>(read), copy.substr(copy.rfind('/') + 1).c_str());
    }
    return platform::StringPrintf(
        sjis(u8"%sが壊れているため、%u件だけを読み込みました。元のファイルを残せませんでした: %s")
            .c_str(),
        name.c_str(), static_cast<unsigned>(read),
        platform::SystemErrorTextOrCode(platform::GetLastError()).c_str());
}

bool HasBytes(const std::string& path) {
    std::uint64_t size = 0;
    return platform::GetFileSize(path, size) && size > 0;
}

}  // namespace

void SessionConfig::Load() {
    // What writes killed half-way left behind (a copy of the settings holds the password).
    platform::RemoveStaleTemporaries(ConfigDirectory());
    if (DataDirectory() != ConfigDirectory()) platform::RemoveStaleTemporaries(DataDirectory());
    platform::RemoveStaleTemporaries(SpoolFolder());
    LoadSettings(m_settings);
    m_warnings.clear();
    // The settings hold the password, the watch list the programs to run: others may neither
    // read nor change them.
    for (const std::string& path : {SettingsFilePath(), WatchListPath(), AddressListPath()}) {
        unsigned mode = 0;
        if (!platform::FilePermissions(path, mode) || (mode & 077) == 0) continue;
        const std::string name = path.substr(path.rfind('/') + 1);
        // Said as it is: a 644 file is read by others, not changed by them.
        const bool read = (mode & 044) != 0, write = (mode & 022) != 0;
        const std::string can = sjis(read && write ? u8"読み書きできます"
                                     : write       ? u8"書き込めます"
                                     : read        ? u8"読み取れます"
                                                   : u8"開けます");
        m_warnings.push_back(platform::StringPrintf(
            sjis(u8"%sは他のユーザーも%s(%03o)。「chmod 600 %s」で保護してください。").c_str(),
            name.c_str(), can.c_str(), mode, path.c_str()));
    }
    // A list never saved is missing or empty (the loader makes it so): an empty list, not a
    // damaged one. Only bytes that do not read are damage.
    m_damaged = false;
    const bool addressBytes = HasBytes(AddressListPath());
    if (!LoadAddressList(m_addresses) && addressBytes) {
        m_warnings.push_back(DamagedList(AddressListPath(), m_addresses.size()));
        m_damaged = true;
    }
    std::vector<std::string> ruleWarnings;
    const bool watchBytes = HasBytes(WatchListPath());
    if (!LoadWatchList(m_watches, &ruleWarnings) && watchBytes) {
        m_warnings.push_back(DamagedList(WatchListPath(), m_watches.size()));
        m_damaged = true;
    }
    m_warnings.insert(m_warnings.end(), ruleWarnings.begin(), ruleWarnings.end());
    m_damaged = m_damaged || !ruleWarnings.empty();
    LoadExtensionSettings(m_extensions);
}

bool SessionConfig::SaveSettings() {
    return ::SaveSettings(m_settings) && SaveExtensionSettings(m_extensions);
}

bool SessionConfig::SaveWatchList() { return ::SaveWatchList(m_watches); }

bool SessionConfig::SaveAddressList() { return ::SaveAddressList(m_addresses); }

bool SessionConfig::AddressDeleted(const AddressEntry& deleted) {
    return ::OnAddressDeleted(m_watches, deleted);
}

bool SessionConfig::AddressChanged(const AddressEntry& newValues, const AddressEntry& old) {
    return ::OnAddressChanged(m_watches, newValues, old);
}

std::string ConfigurationStamp() {
    return platform::FilesStamp(
        {SettingsFilePath(), AddressListPath(), WatchListPath(), WatchRulesPath()});
}

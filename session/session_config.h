#pragma once

#include <string>
#include <vector>

#include "config/lists.h"
#include "config/settings.h"

// The configuration of one run: the settings and extension options (ETC.DAT), the address list
// (MAIL.DAT) and the watch list (WATCH.DAT, with its rules). Loaded whole at the start, each file
// saved whole after the window changed what it holds. The window edits these objects in place
// and asks for the saves; it writes no file itself.
// What the configuration files are now: it changes when another program rewrote one of them.
std::string ConfigurationStamp();

class SessionConfig {
public:
    // Loads ETC.DAT, MAIL.DAT and WATCH.DAT in this order, and the extension options. A list
    // read only in part is copied aside before any save can replace it; what the start should
    // say about the files (damage, others' access) waits in Warnings().
    void Load();
    const std::vector<std::string>& Warnings() const { return m_warnings; }
    void ClearWarnings() { m_warnings.clear(); }
    // Whether a list or the rules did not read whole at the last Load (not the permissions).
    bool Damaged() const { return m_damaged; }

    Settings& CurrentSettings() { return m_settings; }
    ExtensionSettings& Extensions() { return m_extensions; }
    AddressList& Addresses() { return m_addresses; }
    WatchList& Watches() { return m_watches; }

    // Each writes its file whole; false (with the system's last error) when it could not.
    bool SaveSettings();  // the settings and the extension options
    bool SaveWatchList();
    bool SaveAddressList();

    // The watch entries follow an address deleted or changed in the address list (an entry
    // left without recipients goes); true when the watch list changed.
    bool AddressDeleted(const AddressEntry& deleted);
    bool AddressChanged(const AddressEntry& newValues, const AddressEntry& old);

private:
    Settings m_settings;
    ExtensionSettings m_extensions;
    AddressList m_addresses;
    WatchList m_watches;
    std::vector<std::string> m_warnings;
    bool m_damaged = false;
};

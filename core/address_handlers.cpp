#include "core/address_handlers.h"

bool OnAddressDeleted(WatchList& watches, const AddressEntry& deleted) {
    bool changed = false;
    for (auto it = watches.begin(); it != watches.end();) {
        std::vector<std::string>& recipients = (*it)->AddrList;
        bool removedHere = false;
        for (auto r = recipients.begin(); r != recipients.end();) {
            const bool match = (!deleted.MailAddr.empty() && *r == deleted.MailAddr) ||
                               (!deleted.UserName.empty() && *r == deleted.UserName);
            if (match) {
                r = recipients.erase(r);
                removedHere = true;
            } else {
                ++r;
            }
        }
        changed = changed || removedHere;
        // An entry left without anyone to tell is of no use.
        if (removedHere && recipients.empty()) {
            it = watches.erase(it);
        } else {
            ++it;
        }
    }
    return changed;
}

bool OnAddressChanged(WatchList& watches, const AddressEntry& newValues, const AddressEntry& old) {
    if (newValues.MailAddr == old.MailAddr && newValues.UserName == old.UserName) return false;
    bool changed = false;
    auto rename = [&](const std::string& from, const std::string& to) {
        for (auto& entry : watches) {
            for (std::string& recipient : entry->AddrList) {
                if (recipient == from && recipient != to) {
                    recipient = to;
                    changed = true;
                }
            }
        }
    };
    if (!newValues.MailAddr.empty()) rename(old.MailAddr, newValues.MailAddr);
    if (!newValues.UserName.empty()) rename(old.UserName, newValues.UserName);
    return changed;
}

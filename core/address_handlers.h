#pragma once

#include "config/lists.h"

// The watch entries' recipients kept in step with the address list, in memory: the caller saves
// WATCH.DAT when they changed.

// A deleted address leaves every recipient list; an entry left without recipients is removed.
// True when the watch list changed.
bool OnAddressDeleted(WatchList& watches, const AddressEntry& deleted);
// A changed address (its mail address or computer name) is renamed in the recipient lists. True
// when the watch list changed.
bool OnAddressChanged(WatchList& watches, const AddressEntry& newValues, const AddressEntry& old);

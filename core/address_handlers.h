#pragma once

#include <functional>

#include "config/lists.h"

// Saving the lists with the user's Retry/Cancel, and the watch entries following the address
// list: what the dialogs call after a change.

// Saves a list file, asking Retry/Cancel while it fails; false after Cancel.
bool SaveWatchListWithPrompt(const WatchList& watches);
bool SaveAddressListWithPrompt(const AddressList& addresses);

// Keep the watch entries' recipients in step with the address list: a deleted address leaves
// every recipient list (entries left without recipients are removed, and monitoring stops when
// no entry is left); a changed one is renamed in them. Both save WATCH.DAT when they changed it.
void OnAddressDeleted(WatchList& watches, const AddressEntry& deleted,
                      const std::function<void()>& stopMonitoring);
void OnAddressChanged(WatchList& watches, const AddressEntry& newValues, const AddressEntry& old);

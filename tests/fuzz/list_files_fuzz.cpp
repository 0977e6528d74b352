// Feeds any bytes to the MAIL.DAT and WATCH.DAT readers, and saves what they loaded.
#include <cstdint>
#include <string>

#include "config/lists.h"
#include "fuzz_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzFolder();
    WriteInput(AddressListPath(), data, size);
    WriteInput(WatchListPath(), data, size);
    AddressList addresses;
    WatchList watches;
    LoadAddressList(addresses);
    LoadWatchList(watches);
    // A list that loaded must save and load back equal.
    if (SaveWatchList(watches)) {
        WatchList back;
        if (!LoadWatchList(back) || back.size() != watches.size()) __builtin_trap();
        for (size_t i = 0; i < back.size(); ++i) {
            WatchEntry expected = *watches[i];
            if (!(*back[i] == expected)) __builtin_trap();
        }
    }
    if (SaveAddressList(addresses)) {
        AddressList back;
        if (!LoadAddressList(back) || back.size() != addresses.size()) __builtin_trap();
    }
    return 0;
}

// The watch entries' recipients following the address list.
#include "core/address_handlers.h"

#include <gtest/gtest.h>

TEST(AddressLinks, AddressChangesCarryIntoTheWatchList) {
    WatchList watches;
    watches.push_back(std::make_unique<WatchEntry>());
    watches[0]->AddrList = {"a@example.jp", "PC1"};
    watches.push_back(std::make_unique<WatchEntry>());
    watches[1]->EventNum = 2;
    watches[1]->AddrList = {"PC1"};

    // Only the name changed: the watch list is not touched.
    EXPECT_FALSE(OnAddressChanged(watches, AddressEntry{"x", "New name", "a@example.jp", "PC1", ""},
                                  AddressEntry{"x", "Old name", "a@example.jp", "PC1", ""}));
    EXPECT_TRUE(OnAddressChanged(watches, AddressEntry{"", "", "b@example.jp", "", ""},
                                 AddressEntry{"", "", "a@example.jp", "PC1", ""}));
    EXPECT_EQ(watches[0]->AddrList,
              (std::vector<std::string>{"b@example.jp", "PC1"}));  // emptied name stays

    EXPECT_TRUE(OnAddressDeleted(watches, AddressEntry{"", "", "", "PC1", ""}));
    ASSERT_EQ(watches.size(), 1u);  // the second entry lost its only recipient
    EXPECT_EQ(watches[0]->AddrList, std::vector<std::string>{"b@example.jp"});
    EXPECT_FALSE(OnAddressDeleted(watches, AddressEntry{"", "", "nobody@example.jp", "", ""}));
    EXPECT_TRUE(OnAddressDeleted(watches, AddressEntry{"", "", "b@example.jp", "", ""}));
    EXPECT_TRUE(watches.empty());
}

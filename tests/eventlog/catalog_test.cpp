#include "eventlog/catalog.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/machine/registry.h"
#include "platform/machine/registry_files.h"
#include "support/machine_folder.h"
#include "support/message_files.h"

using platform::RegDwordLine;
using platform::RegExpandStringLine;

namespace {

const char kMessages[] =
    "MessageId=1\nLanguage=English\n  Disk\n.\n"
    "MessageId=2\nLanguage=English\nNetwork%0 and more\n.\n"
    "MessageId=100\nSeverity=Error\nLanguage=English\nLogon failure\n.\n"
    "MessageId=1000\nLanguage=English\nBackup done\n.\n"
    "MessageId=7\nSeverity=Warning\nLanguage=English\nLow on space\n.\n"
    "MessageId=8\nSeverity=Informational\nLanguage=English\nStarted\n.\n";

}  // namespace

TEST(Catalog, LogsAndSources) {
    MachineFolder machine;
    std::vector<std::string> list = {"stale"};
    ListLogs(list);
    EXPECT_EQ(list, (std::vector<std::string>{"Application", "Security", "System"}));
    ListSources("Application", list);
    EXPECT_EQ(list, std::vector<std::string>{"QuorvikSample"});
    list = {"kept"};
    ListSources("NoSuchLog", list);
    EXPECT_EQ(list, std::vector<std::string>{"kept"});
}

TEST(Catalog, CategoriesAndEventsShareAFile) {
    MachineFolder machine;
    std::string file = InstallMessageFile(machine, "cat.dll", kMessages);
    RegisterSource(
        machine, "System", "WithCategories",
        RegExpandStringLine("EventMessageFile", file) + RegDwordLine("CategoryCount", 2));
    RegisterSource(machine, "System", "NoCount", RegExpandStringLine("EventMessageFile", file));
    RegisterSource(machine, "System", "TwoFiles",
                   RegExpandStringLine("EventMessageFile", file + ";" + file) +
                       RegDwordLine("CategoryCount", 2));

    EXPECT_EQ(GetCategoryCount("System", "WithCategories"), 2u);
    EXPECT_EQ(GetCategoryCount("System", "NoCount"), 0u);
    std::vector<std::string> list;
    ListCategories("System", "WithCategories", list);
    EXPECT_EQ(list, (std::vector<std::string>{"Disk", "Network"}));  // trimmed, cut at %0
    ListCategories("System", "NoCount", list);
    EXPECT_TRUE(list.empty());
    ListCategories("System", "TwoFiles", list);
    EXPECT_EQ(list.size(), 4u);  // listed once per file

    std::vector<MessageEntry> messages;
    ListEventMessages("System", "WithCategories", messages);
    std::vector<std::uint32_t> ids;
    for (const MessageEntry& m : messages) ids.push_back(m.id);
    // In the table's order; the category numbers are not events, severities always stay.
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{1000, 0x40000008, 0x80000007, 0xC0000064}));
    ListEventMessages("System", "NoCount", messages);
    EXPECT_EQ(messages.size(), 6u);

    auto ids5 = [](std::uint8_t mask) {
        std::vector<std::string> out;
        ListEventIDs("System", "WithCategories", mask, out);
        return out;
    };
    EXPECT_EQ(ids5(1), (std::vector<std::string>{" 1000", "  100"}));  // error
    EXPECT_EQ(ids5(2), (std::vector<std::string>{" 1000", "    7"}));  // warning
    EXPECT_EQ(ids5(4), (std::vector<std::string>{" 1000", "    8"}));  // information
    EXPECT_EQ(ids5(7), (std::vector<std::string>{" 1000", "    8", "    7", "  100"}));
    std::vector<std::string> appended = {"kept"};
    ListEventIDs("System", "Missing", 7, appended);
    EXPECT_EQ(appended, std::vector<std::string>{"kept"});
}

TEST(Catalog, TypeAndIdentifierTexts) {
    EXPECT_EQ(EventTypeCode(sjis(u8"警告")), 2);
    EXPECT_EQ(EventTypeCode(sjis(u8"失敗の監査")), 16);
    EXPECT_EQ(EventTypeCode(sjis(u8"警告") + " "), 0);
    EXPECT_EQ(EventTypeCode(sjis(u8"特定しない")), 0);
    EXPECT_EQ(EventTypeName(3), sjis(u8"特定しない"));
    EXPECT_EQ(EventIDText(0), sjis(u8"特定しない"));
    EXPECT_EQ(EventIDText(4000), "4000");
    EXPECT_EQ(EventIDText(0xFFFFFFFF), "4294967295");
    EXPECT_EQ(EventIDValue(sjis(u8"特定しない")), 0u);
    EXPECT_EQ(EventIDValue("    7"), 7u);
    EXPECT_EQ(EventIDValue("4294967295"), 4294967295u);
}

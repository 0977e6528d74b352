#include "eventlog/rendering.h"

#include <gtest/gtest.h>

#include "eventlog/catalog.h"
#include "platform/codepage.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry.h"
#include "platform/machine/registry_files.h"
#include "support/machine_folder.h"
#include "support/message_files.h"

using platform::RegDwordLine;
using platform::RegExpandStringLine;
using platform::RegStringLine;

TEST(Rendering, MessageFilesAreTriedInOrder) {
    MachineFolder machine;
    std::string first = InstallMessageFile(machine, "first.dll",
                                           "MessageId=1\nLanguage=English\nonly in the first\n.\n");
    std::string second =
        InstallMessageFile(machine, "second.dll",
                           "MessageId=1\nLanguage=English\nshadowed\n.\n"
                           "MessageId=7\nLanguage=English\nDisk %1 is full on %2.%nRetry %3.\n.\n");
    // An empty entry and a missing file are skipped; %SystemRoot% is expanded.
    RegisterSource(
        machine, "Application", "Two",
        RegExpandStringLine("EventMessageFile", first + ";;C:\\nowhere\\x.dll;" + second));
    EXPECT_EQ(MessageFiles("Application", "Two", "EventMessageFile"),
              (std::vector<std::string>{machine.Root() + "Windows\\system32\\first.dll", "",
                                        "C:\\nowhere\\x.dll",
                                        machine.Root() + "Windows\\system32\\second.dll"}));
    EXPECT_EQ(EventDescription("Application", "Two", 1, {}, 0), "only in the first\r\n");
    // One string for three inserts: the missing ones come out as their markers.
    EXPECT_EQ(EventDescription("Application", "Two", 7, {"C:"}, 1),
              "Disk C: is full on %2.\r\nRetry %3.\r\n");
    // More strings than inserts: the rest are ignored; the count limits the strings used.
    EXPECT_EQ(EventDescription("Application", "Two", 7, {"C:", "PC1", "later", "x"}, 4),
              "Disk C: is full on PC1.\r\nRetry later.\r\n");
    EXPECT_EQ(EventDescription("Application", "Two", 7, {"C:", "PC1", "later"}, 1),
              "Disk C: is full on %2.\r\nRetry %3.\r\n");
    EXPECT_EQ(EventDescription("Application", "Two", 8, {"C:"}, 1), "");
    EXPECT_EQ(EventDescription("Application", "Unregistered", 1, {}, 0), "");
    EXPECT_EQ(EventDescription("NoLog", "Two", 1, {}, 0), "");
}

TEST(Rendering, FullIdentifiersAndPercentSigns) {
    MachineFolder machine;
    std::string file = InstallMessageFile(machine, "m.dll",
                                          "MessageId=0x10\nSeverity=Error\nLanguage=English\n%1 is "
                                          "100%% used, %%2 is a parameter%0 cut\n.\n"
                                          "MessageId=0x11\nLanguage=English\nlone %\n.\n"
                                          "MessageId=0x12\nLanguage=English\n%123 and %1\n.\n");
    RegisterSource(machine, "System", "Disk", RegExpandStringLine("EventMessageFile", file));
    EXPECT_EQ(EventDescription("System", "Disk", 0xC0000010, {"C:"}, 1),
              "C: is 100% used, %2 is a parameter");
    EXPECT_EQ(EventDescription("System", "Disk", 0x10, {"C:"}, 1),
              "");  // the low 16 bits alone are not it
    // A % before the line end takes the CR as its character, as the system's formatting does.
    EXPECT_EQ(EventDescription("System", "Disk", 0x11, {}, 0), "lone \r\r\n");
    // The scan reads every digit, so fillers reach insert 12, which is followed by "3".
    EXPECT_EQ(EventDescription("System", "Disk", 0x12, {"x"}, 1), "%123 and x\r\n");
}

TEST(Rendering, Categories) {
    MachineFolder machine;
    std::string events = InstallMessageFile(
        machine, "events.dll",
        "MessageId=1\nLanguage=English\nFrom events\n.\nMessageId=0\nLanguage=English\nZero\n.\n");
    std::string categories = InstallMessageFile(
        machine, "cats.dll", "MessageId=1\nLanguage=English\nFrom categories\n.\n");
    RegisterSource(machine, "Application", "EventsOnly",
                   RegExpandStringLine("EventMessageFile", events));
    RegisterSource(machine, "Application", "Both",
                   RegExpandStringLine("EventMessageFile", events) +
                       RegExpandStringLine("CategoryMessageFile", categories));
    RegisterSource(
        machine, "Application", "EmptyCategories",
        RegExpandStringLine("EventMessageFile", events) + RegStringLine("CategoryMessageFile", ""));
    EXPECT_EQ(CategoryText("Application", "EventsOnly", 1), "From events\r\n");
    EXPECT_EQ(CategoryText("Application", "EventsOnly", 0), "Zero\r\n");  // 0 is a number like any
    EXPECT_EQ(CategoryText("Application", "Both", 1), "From categories\r\n");
    EXPECT_EQ(CategoryText("Application", "Both", 2), "");
    EXPECT_EQ(CategoryText("Application", "EmptyCategories", 1), "");  // present, so no fallback
    EXPECT_EQ(TrimControls(" \t\r\nx y\r\n"), "x y");
}

TEST(Rendering, DefaultMachineSources) {
    MachineFolder machine;
    platform::AppendMachineRegistry(
        platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\Application\\Typed") +
        RegExpandStringLine("EventMessageFile", std::string(platform::kEventCreateMessageFile)));
    EXPECT_EQ(EventDescription("Application", "Typed", 1000, {sjis(u8"入力した説明")}, 1),
              sjis(u8"入力した説明") + "\r\n");
    EXPECT_EQ(EventDescription("Application", "Typed", 1001, {"x"}, 1), "");
    EXPECT_EQ(TrimControls(
                  EventDescription("Application", "QuorvikSample", 0x800000C8, {"D:", "120"}, 2)),
              sjis(u8"ディスク D: の空き容量が少なくなっています (残り 120 MB)。"));
    EXPECT_EQ(TrimControls(CategoryText("Application", "QuorvikSample", 2)),
              sjis(u8"ネットワーク"));
}

TEST(Rendering, EnvironmentExpansionIn260Bytes) {
    MachineFolder machine;
    EXPECT_EQ(ExpandEnvironment("%SystemRoot%\\x.dll"), machine.Root() + "Windows\\x.dll");
    EXPECT_EQ(ExpandEnvironment("%NoSuchVariable%"), "%NoSuchVariable%");
    std::string fits = "%SystemRoot%\\" + std::string(259 - (machine.Root().size() + 8), 'a');
    EXPECT_EQ(ExpandEnvironment(fits).size(), 259u);
    std::string tooLong = fits + "b";
    EXPECT_EQ(ExpandEnvironment(tooLong), tooLong);  // does not fit: unchanged
}

TEST(Rendering, ACategoryFileValueThatIsNoTextFallsBackLikeTheCatalogue) {
    MachineFolder machine;
    std::string events =
        InstallMessageFile(machine, "events.dll", "MessageId=1\nLanguage=English\nStorage\n.\n");
    // A binary CategoryMessageFile, as a broken installer leaves it.
    RegisterSource(machine, "Application", "Binary",
                   RegExpandStringLine("EventMessageFile", events) +
                       "\"CategoryMessageFile\"=hex:01,02\r\n" + RegDwordLine("CategoryCount", 1));
    std::vector<std::string> listed;
    ListCategories("Application", "Binary", listed);
    EXPECT_EQ(listed, std::vector<std::string>{"Storage"});
    // What the editor lists is what a record renders to, so an entry made from it can match.
    EXPECT_EQ(TrimControls(CategoryText("Application", "Binary", 1)), listed[0]);
}

TEST(Rendering, AnUnterminatedInsertFormatLeavesTheMessageUnformatted) {
    MachineFolder machine;
    std::string file = InstallMessageFile(machine, "m.dll",
                                          "MessageId=5\nLanguage=English\nValue %1!s is odd\n.\n");
    RegisterSource(machine, "Application", "Odd", RegExpandStringLine("EventMessageFile", file));
    EXPECT_EQ(EventDescription("Application", "Odd", 5, {"x"}, 1), "Value %1!s is odd\r\n");
}

#include "platform/machine/accounts.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/machine/registry.h"
#include "support/machine_folder.h"

using namespace platform;

TEST(Accounts, WellKnownAndMachineAccounts) {
    MachineFolder machine;
    std::string sid, name, domain;
    ASSERT_TRUE(StringToSid("S-1-5-18", sid));
    EXPECT_EQ(sid, std::string("\x01\x01\x00\x00\x00\x00\x00\x05\x12\x00\x00\x00", 12));
    ASSERT_TRUE(LookupAccountSid("", sid, name, domain));
    EXPECT_EQ(name, "SYSTEM");
    EXPECT_EQ(domain, "NT AUTHORITY");
    ASSERT_TRUE(StringToSid("S-1-5-32-544", sid));
    ASSERT_TRUE(LookupAccountSid("", sid, name, domain));
    EXPECT_EQ(name, "Administrators");
    EXPECT_EQ(domain, "BUILTIN");

    // The machine's own accounts come from its profile list.
    machine.AddRegFile("60-user.reg",
                       "Windows Registry Editor Version 5.00\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\"
                       "ProfileList\\S-1-5-21-1-2-3-1010]\r\n"
                       "\"ProfileImagePath\"=\"C:\\\\Documents and Settings\\\\山田\"\r\n");
    ASSERT_TRUE(StringToSid("S-1-5-21-1-2-3-1010", sid));
    ASSERT_TRUE(LookupAccountSid("", sid, name, domain));
    EXPECT_EQ(name, sjis(u8"山田"));
    std::string computer;
    ASSERT_TRUE(GetComputerName(computer));
    EXPECT_EQ(domain, computer);

    ASSERT_TRUE(StringToSid("S-1-5-21-9-9-9-9", sid));
    EXPECT_FALSE(LookupAccountSid("", sid, name, domain));
    EXPECT_EQ(GetLastError(), kErrorNoneMapped);
    EXPECT_FALSE(LookupAccountSid("", "\x01\x05", name, domain));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
}

TEST(Accounts, SidTextRoundTripAndBadInput) {
    std::string sid;
    for (const char* text : {"S-1-0-0", "S-1-5-21-1004336348-1177238915-682003330-500",
                             "S-1-281474976710655-4294967295"}) {
        ASSERT_TRUE(StringToSid(text, sid)) << text;
        EXPECT_EQ(SidToString(sid), text);
    }
    for (const char* text : {"", "S-1", "S-2-5", "S-1-5-", "S-1-5-x", "S-1-5-4294967296",
                             "S-1-1-1-1-1-1-1-1-1-1-1-1-1-1-1-1-1-1"}) {
        EXPECT_FALSE(StringToSid(text, sid)) << text;
    }
    EXPECT_EQ(SidToString(std::string("\x01\x02\x00\x00\x00\x00\x00\x05\x12\x00\x00\x00", 12)), "");
}

TEST(Accounts, ComputerNameAndItsBuffer) {
    MachineFolder machine;
    std::string name;
    ASSERT_TRUE(GetComputerName(name));
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 15u);
    machine.AddRegFile("60-name.reg",
                       "Windows Registry Editor Version 5.00\r\n"
                       "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\"
                       "ComputerName]\r\n\"ComputerName\"=\"SIXTEEN-CHARS-XX\"\r\n");
    EXPECT_FALSE(GetComputerName(name));
    EXPECT_EQ(GetLastError(), kErrorBufferOverflow);
    EXPECT_TRUE(GetComputerName(name, 17));
    EXPECT_EQ(name, "SIXTEEN-CHARS-XX");
}

#include "config/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "support/test_folder.h"

namespace {

class FakeColumns : public ColumnWidthView {
public:
    explicit FakeColumns(int count, int width = 0) : widths(count, width) {}
    int ColumnCount() const override { return static_cast<int>(widths.size()); }
    int ColumnWidth(int column) const override { return widths[column]; }
    void SetColumnWidth(int column, int width) override { widths[column] = width; }
    std::vector<int> widths;
};

}  // namespace

TEST(Settings, MissingFileGivesTheDefaults) {
    TestFolder folder;
    Settings s;
    LoadSettings(s);
    EXPECT_EQ(s.Interval, 10);
    EXPECT_EQ(s.SMTPPort, 25);
    EXPECT_EQ(s.TimeOut, 15);
    EXPECT_EQ(s.AuthType, 0);
    EXPECT_EQ(s.SMTPServer, "");
    EXPECT_EQ(s.Password, "");
    EXPECT_TRUE(s.Enable);
    EXPECT_EQ(s.Path, folder.Path());
    EXPECT_EQ(s.Alive, 7);
    EXPECT_FALSE(platform::FileExists(SettingsFilePath()));  // created by the first save only
}

TEST(Settings, AFileInTheKnownLayoutLoads) {
    TestFolder folder;
    WriteFileBytes(folder.File("ETC.DAT"),
                   "[EventLog]\r\nInterval=5\r\n"
                   "[SMTP]\r\nSenderName=" +
                       sjis(u8"監視サーバー") +
                       "\r\nMailAddr=mon@example.jp\r\n"
                       "SMTPServer=smtp.example.jp\r\nSMTPPort=587\r\nTimeOut=30\r\nAuthType=2\r\n"
                       "UserID=mon\r\nPassword=147a0b033ba0\r\n"
                       "[Log]\r\nEnable=tRUE\r\nPath=C:\\Quorvik\\Log\\\r\nAlive=-3\r\n"
                       "[MainWindow]\r\nLeft=10\r\nTop=20\r\nWidth=640\r\nHeight=480\r\n");
    Settings s;
    LoadSettings(s);
    EXPECT_EQ(s.Interval, 5);
    EXPECT_EQ(s.SenderName, sjis(u8"監視サーバー"));
    EXPECT_EQ(s.MailAddr, "mon@example.jp");
    EXPECT_EQ(s.SMTPServer, "smtp.example.jp");
    EXPECT_EQ(s.SMTPPort, 587);
    EXPECT_EQ(s.TimeOut, 30);
    EXPECT_EQ(s.AuthType, 2);
    EXPECT_EQ(s.UserID, "mon");
    EXPECT_EQ(s.Password, "secret");
    EXPECT_TRUE(s.Enable);
    EXPECT_EQ(s.Path, "C:\\Quorvik\\Log\\");
    EXPECT_EQ(s.Alive, -3);
    EXPECT_EQ(ReadIntSetting("MainWindow", "Width", 0), 640);
    EXPECT_EQ(ReadIntSetting("MainWindow", "Missing", 0), 0);
}

TEST(Settings, OddValuesAreReadAsTheProfileRulesSay) {
    TestFolder folder;
    WriteFileBytes(folder.File("ETC.DAT"),
                   "[EventLog]\nInterval=65547\n[SMTP]\nSMTPPort=smtp\nAuthType=259\n"
                   "[Log]\nEnable=1\n");
    Settings s;
    LoadSettings(s);
    EXPECT_EQ(s.Interval, 11);  // low 16 bits
    EXPECT_EQ(s.SMTPPort, 0);   // letters: 0, not the default
    EXPECT_EQ(s.AuthType, 3);   // low 8 bits
    EXPECT_FALSE(s.Enable);     // only "True" is true
    EXPECT_EQ(s.Alive, 7);
}

TEST(Settings, SaveWritesEveryKeyInOrderAndLoadsBackEqual) {
    TestFolder folder;
    Settings s;
    s.Interval = 99;
    s.SenderName = sjis(u8"送信者");
    s.MailAddr = "a@b.c";
    s.SMTPServer = "127.0.0.1";
    s.SMTPPort = 2525;
    s.TimeOut = 60;
    s.AuthType = 1;
    s.UserID = "user";
    s.Password = "secret";
    s.Enable = false;
    s.Path = folder.Path() + "log/";
    s.Alive = 0;
    EXPECT_TRUE(SaveSettings(s));
    EXPECT_EQ(ReadFileBytes(SettingsFilePath()),
              "[EventLog]\r\nInterval=99\r\n"
              "[SMTP]\r\nSenderName=" +
                  sjis(u8"送信者") +
                  "\r\nMailAddr=a@b.c\r\n"
                  "SMTPServer=127.0.0.1\r\nSMTPPort=2525\r\nTimeOut=60\r\nAuthType=1\r\n"
                  "UserID=user\r\nPassword=147a0b033ba0\r\n"
                  "[Log]\r\nEnable=False\r\nPath=" +
                  s.Path + "\r\nAlive=0\r\n");
    Settings back;
    LoadSettings(back);
    EXPECT_EQ(back, s);
}

TEST(Settings, PasswordProtection) {
    EXPECT_EQ(EncipherPassword("secret"), "147a0b033ba0");
    EXPECT_EQ(EncipherPassword(""), "");
    EXPECT_EQ(EncipherPassword("abcde").size(), 10u);
    EXPECT_EQ(DecipherPassword(EncipherPassword("abcde")), "abcde");
    // "g" enciphers to a zero byte and still comes back.
    EXPECT_EQ(EncipherPassword("g"), "00");
    EXPECT_EQ(DecipherPassword("00"), "g");
    // An odd digit at the end is ignored; uppercase digits read too.
    EXPECT_EQ(DecipherPassword("147A0B033BA0f"), "secret");
    // A pair counts its leading hexadecimal digits: "1z" is 1, "z1" is 0.
    EXPECT_EQ(DecipherPassword("1z"), DecipherPassword("01"));
    EXPECT_EQ(DecipherPassword("z1"), DecipherPassword("00"));
    // Text from another pass phrase deciphers to bytes cut at the first zero.
    std::string junk = DecipherPassword("ffffffffffffffff");
    EXPECT_EQ(junk.find('\0'), std::string::npos);
}

TEST(Settings, ColumnWidthsPerSection) {
    TestFolder folder;
    FakeColumns saved(12, 0);
    for (int i = 0; i < 12; ++i) saved.widths[i] = 40 + i;
    SaveColumnWidths("WatchList", saved);
    EXPECT_EQ(platform::GetPrivateProfileString("WatchList", "COL11", "", 64, SettingsFilePath()),
              "51");
    FakeColumns loaded(13);
    LoadColumnWidths("WatchList", loaded);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(loaded.widths[i], 40 + i);
    EXPECT_EQ(loaded.widths[12], 100);  // no key: 100 wide

    // The address list and the recipient page share one section.
    FakeColumns addressDialog(2, 100);
    addressDialog.widths[1] = 250;
    SaveColumnWidths("MailList", addressDialog);
    FakeColumns recipientPage(2);
    LoadColumnWidths("MailList", recipientPage);
    EXPECT_EQ(recipientPage.widths, addressDialog.widths);
}

namespace {

std::filesystem::perms ModeOf(const std::string& path) {
    return std::filesystem::status(path).permissions() & std::filesystem::perms::mask;
}

}  // namespace

TEST(Settings, ANewFileIsTheOwnersAloneAnExistingOneKeepsItsMode) {
    using std::filesystem::perms;
    TestFolder folder;
    Settings s;
    s.Password = "secret";
    ASSERT_TRUE(SaveSettings(s));
    EXPECT_EQ(ModeOf(SettingsFilePath()), perms::owner_read | perms::owner_write);
    std::filesystem::permissions(SettingsFilePath(), perms::owner_read | perms::owner_write |
                                                         perms::group_read | perms::others_read);
    ASSERT_TRUE(WriteIntSetting("Main", "Left", 10));
    EXPECT_EQ(ModeOf(SettingsFilePath()),
              perms::owner_read | perms::owner_write | perms::group_read | perms::others_read);
}

TEST(Settings, SavesInAFolderTheUserMayNotWriteAndThroughLinks) {
    TestFolder folder;
    // The settings are a link to a file kept elsewhere; the link stays a link.
    TestFolder elsewhere;
    WriteFileBytes(elsewhere.File("etc.ini"), "[EventLog]\r\nInterval=3\r\n");
    std::filesystem::create_symlink(elsewhere.File("etc.ini"), folder.File("ETC.DAT"));
    platform::SetExecutableDirectory(folder.Path());
    Settings s;
    LoadSettings(s);
    EXPECT_EQ(s.Interval, 3);
    s.Interval = 4;
    ASSERT_TRUE(SaveSettings(s));
    EXPECT_TRUE(std::filesystem::is_symlink(folder.File("ETC.DAT")));
    EXPECT_NE(ReadFileBytes(elsewhere.File("etc.ini")).find("Interval=4\r\n"), std::string::npos);

    // A program folder where no file can be made, with an ETC.DAT that may be written: written
    // in place. One that may not be written either: the save says it failed.
    std::filesystem::remove(folder.File("ETC.DAT"));
    WriteFileBytes(folder.File("ETC.DAT"), "[EventLog]\r\nInterval=5\r\n");
    ASSERT_EQ(chown(folder.File("ETC.DAT").c_str(), UnprivilegedUid(), static_cast<gid_t>(-1)), 0);
    chmod(folder.Path().c_str(), geteuid() == 0 ? 0755 : 0555);
    EXPECT_TRUE(AsUnprivilegedUser([] {
        Settings t;
        LoadSettings(t);
        t.Interval = 6;
        return t.Interval == 6 && SaveSettings(t);
    }));
    EXPECT_NE(ReadFileBytes(folder.File("ETC.DAT")).find("Interval=6\r\n"), std::string::npos);
    chmod(folder.File("ETC.DAT").c_str(), 0444);
    EXPECT_TRUE(AsUnprivilegedUser([] {
        Settings t;
        t.Interval = 7;
        return !SaveSettings(t);
    }));
    chmod(folder.Path().c_str(), 0755);
}

TEST(Settings, TheExtensionSectionIsOffByDefaultAndClampedWhenHandMade) {
    TestFolder folder;
    ExtensionSettings e;
    LoadExtensionSettings(e);
    EXPECT_EQ(e, ExtensionSettings());
    EXPECT_FALSE(e.Resume || e.Spool || e.Flood);
    EXPECT_EQ(e.ResumeLimit, 1000);
    EXPECT_EQ(e.SpoolHours, 24);
    EXPECT_EQ(e.FloodLimit, 10);

    e.Resume = e.Spool = e.Flood = true;
    e.ResumeLimit = 50;
    e.SpoolHours = 48;
    e.FloodLimit = 3;
    e.Syslog = true;
    e.SyslogPort = 6514;
    e.SyslogBind = "::1";
    e.SyslogAllow = "::1, 10.0.0.0/8";
    e.SyslogLog = "Network";
    ASSERT_TRUE(SaveExtensionSettings(e));
    ExtensionSettings back;
    LoadExtensionSettings(back);
    EXPECT_EQ(back, e);
    EXPECT_NE(ReadFileBytes(SettingsFilePath())
                  .find("[Extension]\r\nResume=1\r\nResumeLimit=50\r\nSpool=1\r\nSpoolHours=48\r\n"
                        "Flood=1\r\nFloodLimit=3\r\n"),
              std::string::npos);

    WriteFileBytes(
        SettingsFilePath(),
        "[Extension]\r\nResume=7\r\nResumeLimit=0\r\nSpoolHours=99999\r\nFloodLimit=-4\r\n"
        "SyslogPort=70000\r\nSyslogLog=\r\n");
    LoadExtensionSettings(back);
    EXPECT_EQ(back.SyslogPort, 65535);
    EXPECT_EQ(back.SyslogLog, "Syslog");
    EXPECT_TRUE(back.Resume);
    EXPECT_EQ(back.ResumeLimit, 1);
    EXPECT_EQ(back.SpoolHours, kSpoolHoursMax);
    EXPECT_EQ(back.FloodLimit, 1);
}

#include "platform/profile.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "support/test_folder.h"

using namespace platform;

namespace {

std::string Read(const std::string& path, const char* section, const char* key,
                 const std::string& def = "<default>", size_t size = 1024) {
    return GetPrivateProfileString(section, key, def, size, path);
}

}  // namespace

TEST(Profile, ReadingRulesOfTheSystem) {
    TestFolder folder;
    std::string path = folder.File("a.ini");
    WriteFileBytes(path,
                   "; comment\r\n"
                   "  [ Smtp ]  \r\n"
                   "\tServer = mail.example.com \t\r\n"
                   "Quoted=\"  spaced  \"\n"
                   "Single='x'\r"
                   "Unmatched=\"abc'\r\n"
                   "server=second\r\n"
                   "Empty=\r\n"
                   "NoEquals\r\n"
                   "[smtp]\r\n"
                   "Later=not seen\r\n"
                   "[Other]\r\n"
                   "Server=other\r\n");
    EXPECT_EQ(Read(path, "SMTP", "SERVER"), "mail.example.com");  // first of duplicates wins
    EXPECT_EQ(Read(path, "smtp", "Quoted"), "  spaced  ");
    EXPECT_EQ(Read(path, "SMTP", "Single"), "x");
    EXPECT_EQ(Read(path, "SMTP", "Unmatched"), "\"abc'");
    EXPECT_EQ(Read(path, "SMTP", "Empty"), "");
    EXPECT_EQ(Read(path, "SMTP", "Later"), "<default>");  // only the first section counts
    EXPECT_EQ(Read(path, "Other", "Server"), "other");
    EXPECT_EQ(Read(path, "Missing", "Server"), "<default>");
    EXPECT_EQ(Read(folder.File("none.ini"), "SMTP", "Server"), "<default>");
}

TEST(Profile, NamesFoldLettersButNeverSecondBytes) {
    TestFolder folder;
    std::string path = folder.File("a.ini");
    // "ア" is 83 41: its trail byte is the letter A, which must not match "a" (83 61, "ヂ").
    WriteFileBytes(path,
                   "[S]\r\n" + sjis(u8"ア") + "=katakana\r\n" + sjis(u8"ＫＥＹ") + "=wide\r\n");
    EXPECT_EQ(Read(path, "s", sjis(u8"ア").c_str()), "katakana");
    EXPECT_EQ(Read(path, "S", sjis(u8"ヂ").c_str()), "<default>");
    EXPECT_EQ(Read(path, "S", sjis(u8"ｋｅｙ").c_str()), "wide");  // full-width letters fold too
}

TEST(Profile, ALineWithoutEqualsIsNoKey) {
    TestFolder folder;
    std::string path = folder.File("ETC.DAT");
    WriteFileBytes(path, "[Log]\r\nEnable\r\nPath\r\n");
    EXPECT_EQ(Read(path, "Log", "Enable"), "<default>");
    EXPECT_EQ(GetPrivateProfileInt("Log", "Enable", 7, path), 7u);
    ASSERT_TRUE(WritePrivateProfileString("Log", "Path", "/var/log/", path));
    EXPECT_EQ(ReadFileBytes(path), "[Log]\r\nEnable\r\nPath\r\nPath=/var/log/\r\n");
    EXPECT_EQ(Read(path, "Log", "Path"), "/var/log/");
}

TEST(Profile, LongValuesAreCutBeforeAnyHalfCharacter) {
    TestFolder folder;
    std::string path = folder.File("a.ini");
    std::string value = "x";
    for (int i = 0; i < 600; ++i) value += sjis(u8"監");  // 1 + 1200 bytes
    WriteFileBytes(path, "[S]\r\nK=" + value + "\r\n");
    std::string got = Read(path, "S", "K");
    EXPECT_EQ(got.size(), 1023u);  // 1 + 511 characters
    EXPECT_EQ(got, value.substr(0, 1023));
    std::string even = Read(path, "S", "K", "", 1023);
    EXPECT_EQ(even.size(), 1021u);  // 1022 would split a character
}

TEST(Profile, IntegersTakeTheLeadingNumber) {
    TestFolder folder;
    std::string path = folder.File("a.ini");
    WriteFileBytes(path,
                   "[N]\nPlain=25\nTail=12abc\nLetters=abc\nNeg=-5\nPlus=+7\nEmpty=\n"
                   "Wrap=4294967297\nSpace= 42 \n");
    auto get = [&](const char* key) { return GetPrivateProfileInt("N", key, 99, path); };
    EXPECT_EQ(get("Plain"), 25u);
    EXPECT_EQ(get("Tail"), 12u);
    EXPECT_EQ(get("Letters"), 0u);
    EXPECT_EQ(static_cast<std::int32_t>(get("Neg")), -5);
    EXPECT_EQ(get("Plus"), 7u);
    EXPECT_EQ(get("Empty"), 99u);
    EXPECT_EQ(get("Missing"), 99u);
    EXPECT_EQ(get("Wrap"), 1u);
    EXPECT_EQ(get("Space"), 42u);
}

TEST(Profile, WritingKeepsEveryOtherByte) {
    TestFolder folder;
    std::string path = folder.File("a.ini");
    ASSERT_TRUE(WritePrivateProfileString("Sec", "Key", "v1", path));
    EXPECT_EQ(ReadFileBytes(path), "[Sec]\r\nKey=v1\r\n");

    std::string original =
        "; keep me\n[A]\n  key = old  ; note\nOther=1\n\n[B]\nX=1";  // LF ends, no final break
    WriteFileBytes(path, original);
    ASSERT_TRUE(WritePrivateProfileString("a", "KEY", "new", path));
    EXPECT_EQ(ReadFileBytes(path), "; keep me\n[A]\n  key =new\nOther=1\n\n[B]\nX=1");
    ASSERT_TRUE(WritePrivateProfileString("A", "Added", "2", path));
    EXPECT_EQ(ReadFileBytes(path), "; keep me\n[A]\n  key =new\nOther=1\nAdded=2\r\n\n[B]\nX=1");
    ASSERT_TRUE(WritePrivateProfileString("B", "Y", "3", path));
    EXPECT_EQ(ReadFileBytes(path),
              "; keep me\n[A]\n  key =new\nOther=1\nAdded=2\r\n\n[B]\nX=1\r\nY=3\r\n");
    ASSERT_TRUE(WritePrivateProfileString("C", "Z", "", path));
    EXPECT_EQ(ReadFileBytes(path),
              "; keep me\n[A]\n  key =new\nOther=1\nAdded=2\r\n\n[B]\nX=1\r\nY=3\r\n"
              "[C]\r\nZ=\r\n");
    EXPECT_EQ(Read(path, "A", "Key"), "new");
    EXPECT_EQ(Read(path, "C", "Z"), "");
}

TEST(Profile, FailedWriteLeavesTheFileWhole) {
    TestFolder folder;
    EXPECT_FALSE(WritePrivateProfileString("S", "K", "v", folder.File("missing/a.ini")));
    EXPECT_NE(GetLastError(), kErrorSuccess);

    std::string path = folder.File("a.ini");
    std::string original = "[S]\r\nK=" + std::string(100, 'a') + "\r\n";
    WriteFileBytes(path, original);
    {
        FileSizeLimit limit(50);  // the disk is full after 50 bytes
        EXPECT_FALSE(WritePrivateProfileString("S", "K", std::string(120, 'b'), path));
    }
    EXPECT_EQ(ReadFileBytes(path), original);
}

TEST(Profile, AUtf16FileIsReadAndWrittenBackSo) {
    TestFolder folder;
    const std::string path = folder.File("ETC.DAT");
    const std::string bom = "\xFF\xFE";
    WriteFileBytes(path, bom + Utf16ToBytes(u"[SMTP]\r\nSenderName=監視\r\n[Other]\r\nKeep=1\r\n"));
    EXPECT_EQ(Read(path, "SMTP", "SenderName"), Utf8ToSjis("監視"));
    ASSERT_TRUE(WritePrivateProfileStrings(
        {{"SMTP", "SenderName", Utf8ToSjis("通知")}, {"SMTP", "Port", "25"}}, path));
    EXPECT_EQ(ReadFileBytes(path),
              bom + Utf16ToBytes(u"[SMTP]\r\nSenderName=通知\r\nPort=25\r\n[Other]\r\nKeep=1\r\n"));
}

TEST(Profile, ReadsFollowTheFileAndKilledWritesLeaveNothing) {
    TestFolder folder;
    const std::string path = folder.File("a.ini");
    WriteFileBytes(path, "[S]\r\nK=1\r\nk=2\r\n[s]\r\nK=3\r\n");
    EXPECT_EQ(Read(path, "s", "k"), "1");     // the first section and key of each name
    WriteFileBytes(path, "[S]\r\nK=22\r\n");  // changed by someone else: read anew
    EXPECT_EQ(Read(path, "S", "K"), "22");
    ASSERT_TRUE(WritePrivateProfileString("S", "K", "4", path));
    EXPECT_EQ(Read(path, "S", "K"), "4");

    // The temporary copies of writes killed half-way go; one a write holds stays.
    WriteFileBytes(folder.File(".profile-abc123"), "[SMTP]\r\nPassword=secret\r\n");
    WriteFileBytes(folder.File(".save-xyz789"), "");
    File held;
    std::string heldPath;
    ASSERT_TRUE(held.CreateUnique(folder.Path(), ".new-", heldPath));
    EXPECT_EQ(RemoveStaleTemporaries(folder.Path()), 2);
    EXPECT_FALSE(FileExists(folder.File(".profile-abc123")));
    EXPECT_TRUE(FileExists(heldPath));
}

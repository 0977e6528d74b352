#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "config/settings.h"
#include "platform/codepage.h"
#include "platform/filewatch.h"
#include "platform/user_folders.h"
#include "support/test_folder.h"

using namespace platform;

namespace {

std::vector<std::string> Names(const std::vector<FindData>& found) {
    std::vector<std::string> names;
    for (const FindData& f : found) names.push_back(f.name);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(Files, FindMatchesWildcardsWithoutCase) {
    TestFolder folder;
    for (const char* name : {"QV240510.LOG", "qv240511.log", "QV.LOG", "QVx.TXT", "AQV1.LOG"}) {
        WriteFileBytes(folder.File(name), "x");
    }
    ASSERT_TRUE(CreateDirectory(folder.File("QVdir.LOG")));
    std::vector<FindData> found;
    ASSERT_TRUE(FindFiles(folder.File("QV*.LOG"), found));
    EXPECT_EQ(Names(found),
              (std::vector<std::string>{"QV.LOG", "QV240510.LOG", "QVdir.LOG", "qv240511.log"}));
    for (const FindData& f : found) {
        EXPECT_EQ((f.attributes & kAttributeDirectory) != 0, f.name == "QVdir.LOG");
        EXPECT_GT(f.writeTime, 0);
    }
    ASSERT_TRUE(FindFiles(folder.File("QV24051?.LOG"), found));
    EXPECT_EQ(found.size(), 2u);

    EXPECT_FALSE(FindFiles(folder.File("*.none"), found));
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
    EXPECT_FALSE(FindFiles(folder.File("nowhere/*"), found));
    EXPECT_EQ(GetLastError(), kErrorPathNotFound);
}

TEST(Files, WildcardsAsWindowsMatchesThem) {
    TestFolder folder;
    for (const char* name : {"README", "LOGFILE", "a.txt", "a.b.txt", "x.txt.bak", "file.txt",
                             "file1.txt", "file12.txt", "abc", "abc.d", "ab"}) {
        WriteFileBytes(folder.File(name), "x");
    }
    WriteFileBytes(folder.File(Utf8ToSjis("日本.log")), "x");
    auto match = [&](const std::string& pattern) {
        std::vector<FindData> found;
        FindFiles(folder.File(pattern), found);
        std::string names;
        for (const std::string& n : Names(found)) names += (names.empty() ? "" : " ") + n;
        return names;
    };
    EXPECT_EQ(match("*.*"), match("*"));
    EXPECT_NE(match("*.*").find("README"), std::string::npos);
    EXPECT_EQ(match("*."), "LOGFILE README ab abc");
    EXPECT_EQ(match("*.txt"), "a.b.txt a.txt file.txt file1.txt file12.txt");
    EXPECT_EQ(match("file?.txt"), "file.txt file1.txt");
    EXPECT_EQ(match("ab?"), "ab abc");
    EXPECT_EQ(match("abc.*"), "abc abc.d");
    EXPECT_EQ(match("??.log"), Utf8ToSjis("日本.log"));  // characters, not bytes
}

TEST(Files, FoldersCopiesAndDeletes) {
    TestFolder folder;
    std::string deep = folder.File("a/b/c/");
    EXPECT_TRUE(ForceDirectories(deep));
    EXPECT_TRUE(DirectoryExists(deep));
    EXPECT_TRUE(ForceDirectories(deep));  // already there

    WriteFileBytes(folder.File("src"), "contents");
    WriteFileBytes(folder.File("dst"), "old");
    EXPECT_FALSE(CopyFile(folder.File("src"), folder.File("dst"), true));
    EXPECT_EQ(GetLastError(), kErrorFileExists);
    EXPECT_EQ(ReadFileBytes(folder.File("dst")), "old");
    EXPECT_TRUE(CopyFile(folder.File("src"), folder.File("dst"), false));
    EXPECT_EQ(ReadFileBytes(folder.File("dst")), "contents");

    EXPECT_FALSE(RemoveDirectory(folder.File("a")));
    EXPECT_EQ(GetLastError(), kErrorDirNotEmpty);
    EXPECT_FALSE(DeleteFile(folder.File("missing")));
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
    EXPECT_TRUE(DeleteFile(folder.File("src")));
    EXPECT_FALSE(FileExists(folder.File("src")));
}

TEST(Files, JapaneseNamesReachTheFileSystemAsUtf8) {
    TestFolder folder;
    std::string name = sjis(u8"ログ.txt");
    File file;
    ASSERT_TRUE(file.Open(folder.File(name), File::Access::Write, File::Disposition::OpenAlways,
                          File::Share::Read));
    file.Close();
    EXPECT_EQ(ReadFileBytes(folder.Path() + reinterpret_cast<const char*>(u8"ログ.txt")), "");
    std::vector<FindData> found;
    ASSERT_TRUE(FindFiles(folder.File("*.txt"), found));
    EXPECT_EQ(found[0].name, name);
}

TEST(Files, UnsharedOpenKeepsOthersOut) {
    TestFolder folder;
    std::string path = folder.File("locked");
    File first;
    ASSERT_TRUE(first.Open(path, File::Access::ReadWrite, File::Disposition::OpenAlways,
                           File::Share::None));
    ASSERT_TRUE(first.Write("data", 4));
    File second;
    EXPECT_FALSE(second.Open(path, File::Access::Write, File::Disposition::TruncateExisting,
                             File::Share::None));
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    EXPECT_EQ(ReadFileBytes(path), "data");  // the refused opener truncated nothing
    first.Close();
    EXPECT_TRUE(second.Open(path, File::Access::Write, File::Disposition::TruncateExisting,
                            File::Share::None));
}

TEST(Files, ErrorTextsOfTheCodesRaised) {
    EXPECT_EQ(SystemErrorText(kErrorFileNotFound),
              "0x00000002: " + sjis(u8"指定されたファイルが見つかりません。"));
    EXPECT_EQ(SystemErrorText(0xDEADBEEF), "");
    // Every code the layer maps errno values to has a text.
    for (int err = 0; err < 140; ++err) {
        EXPECT_NE(SystemErrorText(ErrorFromErrno(err)), "") << err;
    }
}

TEST(Files, PortableCopiesKeepTheirFilesBesideInstalledOnesInTheUsersFolders) {
    TestFolder program;  // the program's folder while it lives: a portable copy
    EXPECT_EQ(ConfigDirectory(), program.Path());
    EXPECT_EQ(DataDirectory(), program.Path());

    struct SavedEnvironment {
        std::vector<std::pair<std::string, std::optional<std::string>>> saved;
        void Set(const char* name, const std::string& value) {
            const char* old = getenv(name);
            saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            setenv(name, value.c_str(), 1);
        }
        ~SavedEnvironment() {
            for (auto& [name, value] : saved) {
                if (value)
                    setenv(name.c_str(), value->c_str(), 1);
                else
                    unsetenv(name.c_str());
            }
        }
    } environment;
    environment.Set("XDG_CONFIG_HOME", program.File("config"));
    environment.Set("XDG_DATA_HOME", program.File("data/"));
    ProgramFolders user = FoldersBeside(program.Path());
    EXPECT_FALSE(user.portable);
    EXPECT_EQ(user.config, program.Path() + "config/quorvik/");
    EXPECT_EQ(user.data, program.Path() + "data/quorvik/");
    unsigned mode = 0;
    ASSERT_TRUE(FilePermissions(user.data, mode));
    EXPECT_EQ(mode, 0700u);
    EXPECT_NE(DescribeProgramFolders(user).find(user.data), std::string::npos);

    // A relative XDG folder does not count: the home's default takes its place.
    environment.Set("XDG_CONFIG_HOME", "config");
    environment.Set("HOME", program.File("home"));
    EXPECT_EQ(FoldersBeside(program.Path()).config, program.Path() + "home/.config/quorvik/");

    // ETC.DAT beside a writable program makes it portable again.
    WriteFileBytes(program.File("ETC.DAT"), "");
    user = FoldersBeside(program.Path());
    EXPECT_TRUE(user.portable);
    EXPECT_EQ(user.data, program.Path());
}

TEST(Files, WatchedFilesTellTheirChangesAndStampsFollowThem) {
    TestFolder folder;
    const std::string a = folder.File("a.evt"), b = folder.File("b.evt");
    WriteFileBytes(a, "1");
    const std::string before = FilesStamp({a, b});
    FileWatcher watcher;
    ASSERT_TRUE(watcher.Watch({a, b}));
    WriteFileBytes(folder.File("other.txt"), "x");
    EXPECT_FALSE(watcher.Wait(100));
    WriteFileBytes(a, "22");
    EXPECT_TRUE(watcher.Wait(1000));
    // Looking again at the same set keeps watching: no write falls between.
    ASSERT_TRUE(watcher.Watch({a, b}));
    WriteFileBytes(b, "made");
    EXPECT_TRUE(watcher.Wait(1000));
    watcher.Wake();
    EXPECT_FALSE(watcher.Wait(5000));
    const std::string after = FilesStamp({a, b});
    EXPECT_NE(after, before);
    EXPECT_EQ(FilesStamp({a, b}), after);
    ASSERT_TRUE(DeleteFile(b));
    EXPECT_NE(FilesStamp({a, b}), after);
}

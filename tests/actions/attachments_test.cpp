#include "actions/attachments.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/user_folders.h"
#include "support/machine_folder.h"

namespace {

// A machine, a source folder and a temporary folder of the test's own.
class AttachmentsTest : public ::testing::Test {
protected:
    AttachmentsTest() {
        setenv("TMPDIR", temp.Path().c_str(), 1);
        // No archiver library where the program would look for it.
        platform::SetExecutableDirectory(machine.Root());
        src = machine.Root() + "drive_c/Logs/";
        platform::ForceDirectories(src);
    }
    ~AttachmentsTest() override { unsetenv("TMPDIR"); }

    void File(const std::string& name, const std::string& bytes, int minute) {
        WriteFileBytes(src + name, bytes);
        const struct timespec times[2] = {{1700000000 + minute * 60, 0},
                                          {1700000000 + minute * 60, 0}};
        utimensat(AT_FDCWD, (src + name).c_str(), times, 0);
    }

    std::vector<std::string> TempEntries() const {
        std::vector<platform::FindData> found;
        std::vector<std::string> names;
        if (platform::FindFiles(platform::UserFolders().data + "TEMP/*", found)) {
            for (const auto& f : found) names.push_back(f.name);
        }
        return names;
    }

    TestFolder temp;
    MachineFolder machine;
    std::string src;
};

}  // namespace

TEST_F(AttachmentsTest, TheNewestFilesGoIntoAPrivateFolder) {
    File("old.log", "old", 1);
    File("new.log", "new", 3);
    File("mid.log", "mid", 2);
    File("other.txt", "other", 9);
    std::string folder, archive;
    std::vector<std::string> names;
    // A machine path, its letters in another case.
    ASSERT_TRUE(CollectAttachments(2, "C:\\LOGS\\*.log", folder, archive, names));
    // In the program's own data folder, under a name nobody can guess or take first.
    const std::string parent = platform::UserFolders().data + "TEMP/";
    ASSERT_EQ(folder.rfind(parent, 0), 0u) << folder;
    EXPECT_TRUE(
        std::regex_match(folder.substr(parent.size()), std::regex("QVK[0-9A-F]{12}\\.tmp/")))
        << folder;
    EXPECT_TRUE(archive.empty());
    EXPECT_EQ(names, (std::vector<std::string>{"new.log", "mid.log"}));
    EXPECT_EQ(ReadFileBytes(folder + "new.log"), "new");
    struct stat st;
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);  // a report may carry private files
    EXPECT_TRUE(RemoveTempFolder(folder));

    // A count of 0 takes one file; a count past the matches takes them all.
    ASSERT_TRUE(CollectAttachments(0, src + "*.log", folder, archive, names));
    EXPECT_EQ(names, std::vector<std::string>{"new.log"});
    EXPECT_TRUE(RemoveTempFolder(folder));
    ASSERT_TRUE(CollectAttachments(99, src + "*", folder, archive, names));
    EXPECT_EQ(names, (std::vector<std::string>{"other.txt", "new.log", "mid.log", "old.log"}));
    EXPECT_TRUE(RemoveTempFolder(folder));
    EXPECT_TRUE(TempEntries().empty());
}

TEST_F(AttachmentsTest, OnlyFilesQualify) {
    platform::ForceDirectories(src + "sub.log");
    ASSERT_EQ(mkfifo((src + "pipe.log").c_str(), 0600), 0);
    std::string folder = "x", archive = "y";
    std::vector<std::string> names = {"z"};
    // A folder and a pipe match, but neither is a file to send: success without names.
    ASSERT_TRUE(CollectAttachments(5, src + "*.log", folder, archive, names));
    EXPECT_TRUE(folder.empty());
    EXPECT_TRUE(archive.empty());
    EXPECT_TRUE(names.empty());
    EXPECT_TRUE(TempEntries().empty());

    File(".hidden.log", "h", 1);
    ASSERT_TRUE(CollectAttachments(5, src + "*.log", folder, archive, names));
    EXPECT_EQ(names, std::vector<std::string>{".hidden.log"});
    EXPECT_TRUE(RemoveTempFolder(folder));

    EXPECT_FALSE(CollectAttachments(1, src + "*.none", folder, archive, names));
    EXPECT_EQ(AttachmentErrorCode(), platform::kErrorFileNotFound);
    EXPECT_FALSE(CollectAttachments(1, src + "missing/*.log", folder, archive, names));
    EXPECT_EQ(AttachmentErrorCode(), platform::kErrorPathNotFound);
    EXPECT_EQ(platform::SjisToUtf8(AttachmentErrorText()),
              "0x00000003: 指定されたパスが見つかりません。");
}

TEST_F(AttachmentsTest, AReadOnlyFileStopsTheRemovalEvenForRoot) {
    std::string folder;
    ASSERT_TRUE(MakeTempFolder(folder));
    platform::ForceDirectories(folder + "inner");
    WriteFileBytes(folder + "inner/locked.txt", "x");
    chmod((folder + "inner/locked.txt").c_str(), 0444);
    EXPECT_FALSE(RemoveTempFolder(folder));
    EXPECT_EQ(AttachmentErrorCode(), platform::kErrorAccessDenied);
    EXPECT_TRUE(platform::FileExists(folder + "inner/locked.txt"));
    chmod((folder + "inner/locked.txt").c_str(), 0644);
    EXPECT_TRUE(RemoveTempFolder(folder));
    EXPECT_FALSE(platform::DirectoryExists(folder));
}

TEST_F(AttachmentsTest, ALinkInTheFolderIsRemovedNotFollowed) {
    platform::ForceDirectories(machine.Root() + "keep");
    WriteFileBytes(machine.Root() + "keep/precious.txt", "p");
    std::string folder;
    ASSERT_TRUE(MakeTempFolder(folder));
    ASSERT_EQ(symlink((machine.Root() + "keep").c_str(), (folder + "link").c_str()), 0);
    EXPECT_TRUE(RemoveTempFolder(folder));
    EXPECT_EQ(ReadFileBytes(machine.Root() + "keep/precious.txt"), "p");
}

TEST_F(AttachmentsTest, AFailedCopyLeavesNothingBehind) {
    File("readable.log", "r", 2);
    File("secret.log", "s", 1);
    chmod((src + "secret.log").c_str(), 0);
    // Folders the other user may pass through, and make its own temporary folder in.
    platform::ForceDirectories(platform::UserFolders().data + "TEMP");
    chmod((platform::UserFolders().data + "TEMP").c_str(), 01777);
    for (std::string p = src; p.size() > 1; p = p.substr(0, p.rfind('/', p.size() - 2) + 1)) {
        chmod(p.c_str(), 0755);
        if (p == machine.Root()) break;
    }
    chmod(machine.Root().substr(0, machine.Root().size() - 8).c_str(), 0755);
    EXPECT_TRUE(AsUnprivilegedUser([&] {
        std::string folder, archive;
        std::vector<std::string> names;
        return !CollectAttachments(2, src + "*.log", folder, archive, names) &&
               AttachmentErrorCode() == platform::kErrorAccessDenied;
    }));
    EXPECT_TRUE(TempEntries().empty());
}

TEST_F(AttachmentsTest, AFileSwappedForALinkAfterTheCheckIsLeftOut) {
    File("app.log", "app", 2);
    File("other.log", "other", 1);
    WriteFileBytes(machine.Root() + "secret.txt", "root only");
    // Between the check and the copy, app.log becomes a link to a file outside the folder, and
    // other.log a pipe nobody writes to.
    SetBeforeAttachmentCopy([&] {
        platform::DeleteFile(src + "app.log");
        ASSERT_EQ(symlink((machine.Root() + "secret.txt").c_str(), (src + "app.log").c_str()), 0);
        platform::DeleteFile(src + "other.log");
        ASSERT_EQ(mkfifo((src + "other.log").c_str(), 0600), 0);
    });
    std::string folder, archive;
    std::vector<std::string> names;
    const bool collected = CollectAttachments(2, src + "*.log", folder, archive, names);
    SetBeforeAttachmentCopy(nullptr);
    ASSERT_TRUE(collected);
    EXPECT_TRUE(names.empty());
    EXPECT_TRUE(folder.empty());
    EXPECT_EQ(AttachmentLinksOutside(), (std::vector<std::string>{"app.log", "other.log"}));
    EXPECT_TRUE(TempEntries().empty());
}

#pragma once

#include <functional>
#include <string>

// A fresh temporary folder that is also the program directory while it lives, so that nothing
// a test writes lands beside the build. Removed with its contents at the end.
class TestFolder {
public:
    TestFolder();
    ~TestFolder();
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    // With its trailing separator.
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + name; }

private:
    std::string m_path;
};

// The bytes of a file, read past any sharing lock; and a file written through the platform's
// file calls, so that what the platform keeps from files sees the change at once.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

// Runs a check as a user who is not root, since root may write anywhere: in a child process that
// takes uid and gid 65534 when the tests run as root, in this process otherwise. True when the
// check returned true.
bool AsUnprivilegedUser(const std::function<bool()>& check);
// Who that user is: 65534 under root, this process's own uid otherwise.
unsigned UnprivilegedUid();

// Makes every write past the given file size fail, as on a full disk, while it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(unsigned long bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    unsigned long m_oldSoft;
    void (*m_oldHandler)(int);
};

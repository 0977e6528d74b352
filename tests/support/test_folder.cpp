#include "support/test_folder.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/files.h"

namespace {

// A program that finds no folder of its own uses the user's: in tests, folders of the build's.
// Set before main, so the tools the tests start inherit them.
[[maybe_unused]] const bool g_scratchHome = [] {
    setenv("XDG_CONFIG_HOME", QUORVIK_TEST_HOME "/config", 1);
    setenv("XDG_DATA_HOME", QUORVIK_TEST_HOME "/data", 1);
    return true;
}();

}  // namespace

TestFolder::TestFolder() {
    std::string templ = (std::filesystem::temp_directory_path() / "quorvik-test-XXXXXX").string();
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    m_path = templ + "/";
    platform::SetExecutableDirectory(m_path);
}

TestFolder::~TestFolder() {
    platform::SetExecutableDirectory("");
    std::error_code ignored;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(m_path, ignored);
}

std::string ReadFileBytes(const std::string& path) {
    // The bytes as they are, whatever sharing the platform's openers ask for.
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(platform::WriteWholeFile(path, bytes)) << path;
}

unsigned UnprivilegedUid() { return geteuid() == 0 ? 65534u : geteuid(); }

bool AsUnprivilegedUser(const std::function<bool()>& check) {
    if (geteuid() != 0) return check();
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

FileSizeLimit::FileSizeLimit(unsigned long bytes) {
    // Without this the kernel ends the process instead of failing the write.
    m_oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    m_oldSoft = limit.rlim_cur;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = m_oldSoft;
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, m_oldHandler);
}

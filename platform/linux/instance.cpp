#include "platform/instance.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

SingleInstance::~SingleInstance() { Release(); }

std::string PrivateRuntimeFolder() {
    auto owned = [](const std::string& folder) {
        struct stat st;
        return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
               (st.st_mode & 077) == 0;
    };
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/' && owned(runtime)) return runtime;
    const char* home = std::getenv("HOME");
    std::string base;
    if (home && *home == '/') {
        base = home;
    } else if (const passwd* user = getpwuid(getuid()); user && user->pw_dir) {
        base = user->pw_dir;
    }
    if (base.empty()) return std::string();
    const std::string cache = base + "/.cache";
    mkdir(cache.c_str(), 0700);
    const std::string folder = cache + "/quorvik";
    mkdir(folder.c_str(), 0700);
    return owned(folder) ? folder : std::string();
}

bool SingleInstance::Acquire(const std::string& name) {
    Release();
    // A lock file of this user's in a folder only this user may write: no other account can
    // hold it, plant it or put a link in its place.
    const std::string folder = PrivateRuntimeFolder();
    if (folder.empty()) return false;
    const std::string path =
        folder + "/" + name + "-" + std::to_string(static_cast<unsigned>(getuid())) + ".lock";
    m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_fd < 0) return false;
    struct stat st;
    if (fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid()) {
        Release();
        return false;
    }
    // The kernel drops the lock with the file when the program ends, even when it is killed.
    if (flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        close(m_fd);
        m_fd = -1;
        return false;
    }
    return true;
}

void SingleInstance::Release() {
    if (m_fd < 0) return;
    close(m_fd);
    m_fd = -1;
}

}  // namespace platform

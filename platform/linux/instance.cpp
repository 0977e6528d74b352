#include "platform/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

SingleInstance::~SingleInstance() { Release(); }

bool SingleInstance::Acquire(const std::string& name) {
    Release();
    // A lock file of this user's: the runtime folder when the session has one.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string folder = runtime && *runtime ? std::string(runtime) : std::string("/tmp");
    const std::string path =
        folder + "/" + name + "-" + std::to_string(static_cast<unsigned>(getuid())) + ".lock";
    m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) return false;
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

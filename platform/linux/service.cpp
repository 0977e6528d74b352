#include "platform/service.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace platform {

bool NotifyServiceManager(const std::string& state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || !*path) return false;
    const size_t length = std::strlen(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // "@name" is a socket of the abstract namespace: a NUL in its first byte.
    if ((path[0] != '/' && path[0] != '@') || length >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') address.sun_path[0] = '\0';
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const ssize_t sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), size);
    close(fd);
    return sent == static_cast<ssize_t>(state.size());
}

std::uint64_t ServiceWatchdogMicroseconds() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    if (!usec || !*usec) return 0;
    // Meant for this process only, when a PID is named.
    if (const char* pid = std::getenv("WATCHDOG_PID"); pid && *pid) {
        if (std::strtoll(pid, nullptr, 10) != static_cast<long long>(getpid())) return 0;
    }
    return std::strtoull(usec, nullptr, 10);
}

}  // namespace platform

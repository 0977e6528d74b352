#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

// A listening TCP socket on a loopback address ("127.0.0.1" or another of 127/8) and port (0:
// one the system picks, given back in `bound`); -1 when it cannot listen there.
inline int ListenOnLoopback(const char* address = "127.0.0.1", std::uint16_t port = 0,
                            std::uint16_t* bound = nullptr) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return -1;
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address, &addr.sin_addr) != 1 ||
        bind(listener, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 16) != 0) {
        close(listener);
        return -1;
    }
    socklen_t length = sizeof addr;
    getsockname(listener, reinterpret_cast<struct sockaddr*>(&addr), &length);
    if (bound) *bound = ntohs(addr.sin_port);
    return listener;
}

// A TCP port on a loopback address that nobody else gets while the test holds it: a socket
// bound to it (with SO_REUSEADDR) that does not listen. A connection to it is refused, and a
// server the test starts there later can bind it, as servers set SO_REUSEADDR too. For peers
// that cannot be told to take port 0 and say which they got.
class ReservedPort {
public:
    explicit ReservedPort(const char* address = "127.0.0.1") {
        m_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        struct sockaddr_in addr {};
        addr.sin_family = AF_INET;
        inet_pton(AF_INET, address, &addr.sin_addr);
        bind(m_socket, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
        socklen_t length = sizeof addr;
        getsockname(m_socket, reinterpret_cast<struct sockaddr*>(&addr), &length);
        m_port = ntohs(addr.sin_port);
    }
    ~ReservedPort() {
        if (m_socket >= 0) close(m_socket);
    }
    ReservedPort(const ReservedPort&) = delete;
    ReservedPort& operator=(const ReservedPort&) = delete;
    std::uint16_t Port() const { return m_port; }

private:
    int m_socket = -1;
    std::uint16_t m_port = 0;
};

// The next connection, or -1 when none came within the time (so that a serving loop can look
// at its stop flag).
inline int AcceptWithin(int listener, int milliseconds) {
    struct pollfd p {
        listener, POLLIN, 0
    };
    if (poll(&p, 1, milliseconds) <= 0) return -1;
    return accept(listener, nullptr, nullptr);
}

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

// The next connection, or -1 when none came within the time (so that a serving loop can look
// at its stop flag).
inline int AcceptWithin(int listener, int milliseconds) {
    struct pollfd p {
        listener, POLLIN, 0
    };
    if (poll(&p, 1, milliseconds) <= 0) return -1;
    return accept(listener, nullptr, nullptr);
}

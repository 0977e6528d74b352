#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/pump.h"

namespace platform {
namespace {

// Start-ups are counted for the process, as Windows counts them; clients on any thread.
std::atomic<int> g_startups{0};

using Clock = std::chrono::steady_clock;

// Polls every 2 ms until the descriptor is ready for `events`, the time runs out or the hook
// asks to stop.
WaitResult WaitFor(int fd, short events, unsigned timeoutMs, const WaitHook& hook, int& error) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // Window messages are processed at every wait, also one that a quick peer ends at once.
        if ((hook && hook()) || WaitsAbandoned()) return WaitResult::Aborted;
        struct pollfd p {
            fd, events, 0
        };
        int n = poll(&p, 1, 2);
        if (n > 0) return WaitResult::Ready;
        if (n < 0 && errno != EINTR) {
            error = WsaErrorFromErrno(errno);
            return WaitResult::Failed;
        }
        if (Clock::now() >= deadline) return WaitResult::TimedOut;
    }
}

}  // namespace

int WsaErrorFromErrno(int err) {
    switch (err) {
        case EINTR: return kWsaEintr;
        case EWOULDBLOCK: return kWsaEwouldblock;
        case EINPROGRESS: return kWsaEinprogress;
        case EALREADY: return 10037;
        case ENOTSOCK: return kWsaEnotsock;
        case EBADF: return 10009;
        case EACCES: return 10013;
        case EFAULT: return 10014;
        case EINVAL: return 10022;
        case EMFILE: return 10024;
        case EMSGSIZE: return 10040;
        case EADDRINUSE: return kWsaEaddrinuse;
        case EADDRNOTAVAIL: return kWsaEaddrnotavail;
        case ENETDOWN: return kWsaEnetdown;
        case ENETUNREACH: return kWsaEnetunreach;
        case ENETRESET: return 10052;
        case ECONNABORTED: return kWsaEconnaborted;
        case ECONNRESET: return kWsaEconnreset;
        case EPIPE: return kWsaEconnreset;
        case ENOBUFS: return kWsaEnobufs;
        case EISCONN: return kWsaEisconn;
        case ENOTCONN: return kWsaEnotconn;
        case ESHUTDOWN: return 10058;
        case ETIMEDOUT: return kWsaEtimedout;
        case ECONNREFUSED: return kWsaEconnrefused;
        case EHOSTDOWN: return kWsaEhostdown;
        case EHOSTUNREACH: return kWsaEhostunreach;
        default: return 0;
    }
}

void SocketLibraryStartup() { ++g_startups; }

bool SocketLibraryCleanup() {
    int n = g_startups.load();
    while (n > 0 && !g_startups.compare_exchange_weak(n, n - 1)) {
    }
    return n > 0;
}

int SocketLibraryStartups() { return g_startups; }

WaitResult ResolveHost(const std::string& host, unsigned timeoutMs, const WaitHook& hook,
                       std::uint32_t& address, int& error) {
    struct in_addr dotted;
    if (inet_pton(AF_INET, host.c_str(), &dotted) == 1) {
        address = dotted.s_addr;
        return WaitResult::Ready;
    }
    // The look-up runs on a thread of its own that the wait can leave behind: a resolver that
    // gets no answer would otherwise hold the caller for its own time-out, whatever ours is.
    struct Lookup {
        std::mutex lock;
        bool done = false;
        int state = 0;
        std::uint32_t address = 0;
    };
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host] {
            struct addrinfo hints {};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            struct addrinfo* result = nullptr;
            const int state = getaddrinfo(host.c_str(), nullptr, &hints, &result);
            std::lock_guard<std::mutex> hold(lookup->lock);
            lookup->state = state;
            if (state == 0 && result) {
                lookup->address =
                    reinterpret_cast<struct sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
            }
            if (result) freeaddrinfo(result);
            lookup->done = true;
        }).detach();
    } catch (const std::system_error&) {
        error = kWsaNoRecovery;
        return WaitResult::Failed;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(lookup->lock);
            if (lookup->done) {
                if (lookup->state == 0) {
                    address = lookup->address;
                    return WaitResult::Ready;
                }
                error = (lookup->state == EAI_NONAME)
                            ? kWsaHostNotFound
                            : (lookup->state == EAI_AGAIN ? kWsaTryAgain : kWsaNoRecovery);
                return WaitResult::Failed;
            }
        }
        if ((hook && hook()) || WaitsAbandoned()) return WaitResult::Aborted;
        if (Clock::now() >= deadline) return WaitResult::TimedOut;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

TcpClient::~TcpClient() { Close(); }

WaitResult TcpClient::Connect(std::uint32_t address, std::uint16_t port, unsigned timeoutMs,
                              const WaitHook& hook, int& error) {
    Close();
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        error = WsaErrorFromErrno(errno);
        return WaitResult::Failed;
    }
    // Commands are short lines that wait for their replies: sent at once, never held back for
    // the acknowledgement of the data before them.
    const int on = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    struct sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    if (connect(m_fd, reinterpret_cast<struct sockaddr*>(&to), sizeof to) != 0 &&
        errno != EINPROGRESS) {
        error = WsaErrorFromErrno(errno);
        Close();
        return WaitResult::Failed;
    }
    WaitResult r = WaitFor(m_fd, POLLOUT, timeoutMs, hook, error);
    if (r != WaitResult::Ready) {
        Close();
        return r;
    }
    int soError = 0;
    socklen_t length = sizeof soError;
    getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &soError, &length);
    if (soError != 0) {
        error = WsaErrorFromErrno(soError);
        Close();
        return WaitResult::Failed;
    }
    m_connected = true;
    return WaitResult::Ready;
}

WaitResult TcpClient::Send(const std::string& bytes, unsigned timeoutMs, const WaitHook& hook,
                           int& error) {
    // The time-out bounds the whole send, not each wait for room in the buffer.
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < bytes.size()) {
        if (m_fd < 0) {
            error = kWsaEnotconn;
            return WaitResult::Failed;
        }
        ssize_t n = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            error = WsaErrorFromErrno(errno);
            return WaitResult::Failed;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        WaitResult r = WaitFor(m_fd, POLLOUT, static_cast<unsigned>(std::max<long long>(left, 0)),
                               hook, error);
        if (r != WaitResult::Ready) return r;
    }
    return WaitResult::Ready;
}

WaitResult TcpClient::Receive(std::string& into, size_t maxBytes, unsigned timeoutMs,
                              const WaitHook& hook, int& error) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (m_fd < 0) {
            error = kWsaEnotconn;
            return WaitResult::Failed;
        }
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        WaitResult r =
            WaitFor(m_fd, POLLIN, static_cast<unsigned>(std::max<long long>(left, 0)), hook, error);
        if (r != WaitResult::Ready) return r;
        char buffer[4096];
        ssize_t n = recv(m_fd, buffer, std::min(sizeof buffer, std::max<size_t>(maxBytes, 1)), 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;  // nothing after all
            error = WsaErrorFromErrno(errno);
            return WaitResult::Failed;
        }
        into.append(buffer, static_cast<size_t>(n));
        if (n == 0) m_connected = false;
        return WaitResult::Ready;
    }
}

void TcpClient::Close() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    m_connected = false;
}

}  // namespace platform

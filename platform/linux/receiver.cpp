#include "platform/receiver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <vector>

#include "platform/errors.h"

namespace platform {

namespace {

bool SocketAddress(const std::string& text, std::uint16_t port, sockaddr_storage& address,
                   socklen_t& length) {
    std::memset(&address, 0, sizeof address);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
        return true;
    }
    return false;
}

std::string AddressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text,
                  sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        // An IPv4 peer of a dual-stack socket is named as IPv4.
        if (IN6_IS_ADDR_V4MAPPED(&a)) {
            inet_ntop(AF_INET, &a.s6_addr[12], text, sizeof text);
        } else {
            inet_ntop(AF_INET6, &a, text, sizeof text);
        }
    }
    return text;
}

bool FailWith(int err) {
    SetLastError(ErrorFromErrno(err));
    return false;
}

}  // namespace

struct NetworkReceiver::Impl {
    int udp = -1;
    int tcp = -1;
    int wake = -1;
    int next = 1;
    // The datagrams the system dropped, full buffer, as its last count said (since the socket's
    // start; it wraps at 2^32).
    std::uint32_t overflowed = 0;
    struct Connection {
        int fd;
        std::string peer;
        std::int64_t active = 0;  // when it was accepted or last sent, in ms
        bool spoke = false;       // it sent something
    };
    std::map<int, Connection> connections;  // by number, oldest first
    std::function<bool(const std::string&)> acceptCheck;

    static std::int64_t NowMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    // Closes one and tells the callback why.
    void Evict(std::map<int, Connection>::iterator it, bool idle,
               const std::function<void(const Received&)>& each) {
        Received closed;
        closed.kind = Received::Kind::Closed;
        closed.connection = it->first;
        closed.peer = it->second.peer;
        closed.evicted = !idle;
        closed.idle = idle;
        CloseConnection(it);
        each(closed);
    }

    void CloseConnection(std::map<int, Connection>::iterator it) {
        ::close(it->second.fd);
        connections.erase(it);
    }
};

NetworkReceiver::NetworkReceiver() : m(new Impl) {
    m->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

NetworkReceiver::~NetworkReceiver() {
    Close();
    if (m->wake >= 0) ::close(m->wake);
    delete m;
}

bool NetworkReceiver::Open(const std::string& address, std::uint16_t port) {
    if (port != 0) return OpenOn(address, port);
    // The port TCP gets, for UDP as well; another program may hold that one for UDP already.
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (OpenOn(address, 0)) return true;
        if (GetLastError() != ErrorFromErrno(EADDRINUSE)) return false;
    }
    return false;
}

std::uint32_t NetworkReceiver::Overflowed() const { return m->overflowed; }

std::uint16_t NetworkReceiver::Port() const {
    sockaddr_storage where;
    socklen_t length = sizeof where;
    if (m->tcp < 0 || getsockname(m->tcp, reinterpret_cast<sockaddr*>(&where), &length) != 0)
        return 0;
    return ntohs(where.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&where)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&where)->sin_port);
}

bool NetworkReceiver::OpenOn(const std::string& address, std::uint16_t port) {
    Close();
    sockaddr_storage where;
    socklen_t length = 0;
    if (!SocketAddress(address, port, where, length)) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    const int family = where.ss_family;
    m->udp = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    m->tcp = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m->udp < 0 || m->tcp < 0) {
        const int err = errno;
        Close();
        return FailWith(err);
    }
    const int on = 1;
    setsockopt(m->tcp, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Bursts wait in the kernel while the writer catches up.
    const int buffer = 4 << 20;
    setsockopt(m->udp, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    // ... and what that buffer could not hold is counted with each datagram that follows.
    setsockopt(m->udp, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    m->overflowed = 0;
    if (bind(m->tcp, reinterpret_cast<sockaddr*>(&where), length) != 0) {
        const int err = errno;
        Close();
        return FailWith(err);
    }
    if (port == 0) {
        const std::uint16_t chosen = Port();
        if (where.ss_family == AF_INET6) {
            reinterpret_cast<sockaddr_in6*>(&where)->sin6_port = htons(chosen);
        } else {
            reinterpret_cast<sockaddr_in*>(&where)->sin_port = htons(chosen);
        }
    }
    // Room for a network's agents connecting at once after a restart.
    if (bind(m->udp, reinterpret_cast<sockaddr*>(&where), length) != 0 ||
        listen(m->tcp, 128) != 0) {
        const int err = errno;
        Close();
        return FailWith(err);
    }
    // Every connection is a descriptor: the soft limit (often 1024) is raised toward the hard
    // one, so that the connections the receiver keeps fit beside the program's files.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < kMaxConnections + 1024u) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, kMaxConnections + 1024u);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    return true;
}

void NetworkReceiver::Close() {
    for (auto it = m->connections.begin(); it != m->connections.end();) {
        auto next = std::next(it);
        m->CloseConnection(it);
        it = next;
    }
    if (m->udp >= 0) ::close(m->udp);
    if (m->tcp >= 0) ::close(m->tcp);
    m->udp = m->tcp = -1;
}

void NetworkReceiver::Wake() {
    const std::uint64_t one = 1;
    if (m->wake >= 0 && write(m->wake, &one, sizeof one) < 0) {
        // The counter is full: a wake is pending anyway.
    }
}

void NetworkReceiver::Drop(int connection) {
    const auto it = m->connections.find(connection);
    if (it != m->connections.end()) m->CloseConnection(it);
}

bool NetworkReceiver::Wait(unsigned timeoutMs, const std::function<void(const Received&)>& each,
                           bool streams) {
    if (m->udp < 0 || m->wake < 0) return false;
    std::vector<pollfd> fds = {{m->wake, POLLIN, 0}, {m->udp, POLLIN, 0}, {m->tcp, POLLIN, 0}};
    std::vector<int> numbers;
    for (const auto& [number, c] : m->connections) {
        if (!streams) break;
        fds.push_back({c.fd, POLLIN, 0});
        numbers.push_back(number);
    }
    const int ready = poll(fds.data(), fds.size(), static_cast<int>(timeoutMs));
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return true;
    if (fds[0].revents) {
        std::uint64_t count = 0;
        if (read(m->wake, &count, sizeof count) < 0) {
            // Read by another wait already.
        }
        return false;
    }
    static thread_local std::string buffer(65536, '\0');
    if (fds[1].revents & POLLIN) {
        // What came meanwhile, a bounded number at a time so that streams get their turn.
        for (int i = 0; i < 256; ++i) {
            sockaddr_storage from;
            iovec data{buffer.data(), buffer.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint32_t))];
            msghdr message{};
            message.msg_name = &from;
            message.msg_namelen = sizeof from;
            message.msg_iov = &data;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t n = recvmsg(m->udp, &message, 0);
            if (n < 0) break;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                    std::memcpy(&m->overflowed, CMSG_DATA(c), sizeof m->overflowed);
                }
            }
            Received r;
            r.kind = Received::Kind::Datagram;
            r.peer = AddressText(from);
            r.bytes.assign(buffer.data(), static_cast<size_t>(n));
            each(r);
        }
    }
    if (fds[2].revents & POLLIN) {
        for (;;) {
            sockaddr_storage from;
            socklen_t length = sizeof from;
            const int fd = accept4(m->tcp, reinterpret_cast<sockaddr*>(&from), &length,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) break;
            const std::string peer = AddressText(from);
            // A sender not allowed takes no room, not even for a moment.
            if (m->acceptCheck && !m->acceptCheck(peer)) {
                ::close(fd);
                continue;
            }
            int own = 0;
            auto oldestOwn = m->connections.end();
            for (auto it = m->connections.begin(); it != m->connections.end(); ++it) {
                if (it->second.peer != peer) continue;
                if (own++ == 0) oldestOwn = it;
            }
            if (own >= kMaxPerPeer) {
                m->Evict(oldestOwn, false, each);
            } else if (static_cast<int>(m->connections.size()) >= kMaxConnections) {
                // One that never sent anything goes first, then the one quiet longest.
                auto quietest = m->connections.begin();
                for (auto it = m->connections.begin(); it != m->connections.end(); ++it) {
                    const auto& c = it->second;
                    const auto& q = quietest->second;
                    if (c.spoke != q.spoke ? !c.spoke : c.active < q.active) quietest = it;
                }
                m->Evict(quietest, false, each);
            }
            m->connections[m->next] = {fd, peer, Impl::NowMs(), false};
            ++m->next;
        }
    }
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (!fds[3 + i].revents) continue;
        const auto it = m->connections.find(numbers[i]);
        if (it == m->connections.end()) continue;  // dropped meanwhile
        const ssize_t n = recv(it->second.fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        Received r;
        r.connection = it->first;
        r.peer = it->second.peer;
        if (n > 0) {
            it->second.active = Impl::NowMs();
            it->second.spoke = true;
            r.kind = Received::Kind::Stream;
            r.bytes.assign(buffer.data(), static_cast<size_t>(n));
            each(r);
        } else {
            r.kind = Received::Kind::Closed;
            m->CloseConnection(it);
            each(r);
        }
    }
    // Held open and silent: a sender that says nothing gives its room back.
    const std::int64_t now = Impl::NowMs();
    for (auto it = m->connections.begin(); it != m->connections.end();) {
        auto next = std::next(it);
        const std::int64_t quiet = now - it->second.active;
        if (quiet > (it->second.spoke ? kIdleMs : kSilentMs)) m->Evict(it, true, each);
        it = next;
    }
    return true;
}

void NetworkReceiver::SetAcceptCheck(std::function<bool(const std::string& peer)> check) {
    m->acceptCheck = std::move(check);
}

namespace {

// An address as 16 bytes (IPv4 as mapped IPv6) for the comparison of networks.
bool AddressBytes(const std::string& text, unsigned char (&bytes)[16], bool& v4) {
    in_addr a4;
    in6_addr a6;
    if (inet_pton(AF_INET, text.c_str(), &a4) == 1) {
        std::memset(bytes, 0, 10);
        bytes[10] = bytes[11] = 0xFF;
        std::memcpy(bytes + 12, &a4, 4);
        v4 = true;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &a6) == 1) {
        std::memcpy(bytes, &a6, 16);
        v4 = IN6_IS_ADDR_V4MAPPED(&a6);
        return true;
    }
    return false;
}

std::string Trim(const std::string& s) {
    const size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    return s.substr(begin, s.find_last_not_of(" \t") - begin + 1);
}

}  // namespace

bool IsNumericAddress(const std::string& text) {
    unsigned char bytes[16];
    bool v4 = false;
    return AddressBytes(text, bytes, v4);
}

bool AddressAllowed(const std::string& address, const std::string& list, std::string* bad) {
    unsigned char peer[16];
    bool peerV4 = false;
    if (!AddressBytes(address, peer, peerV4)) return false;
    bool allowed = false;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = list.find(',', start);
        const std::string item = Trim(
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        start = comma == std::string::npos ? list.size() + 1 : comma + 1;
        if (item.empty()) continue;
        const size_t slash = item.find('/');
        unsigned char net[16];
        bool netV4 = false;
        int prefix = -1;
        bool valid = AddressBytes(item.substr(0, slash), net, netV4);
        if (valid && slash != std::string::npos) {
            const std::string bits = item.substr(slash + 1);
            valid = !bits.empty() && bits.size() <= 3 &&
                    bits.find_first_not_of("0123456789") == std::string::npos;
            prefix = valid ? std::stoi(bits) : -1;
            valid = valid && prefix <= (netV4 ? 32 : 128);
        }
        if (!valid) {
            if (bad && bad->empty()) *bad = item;
            continue;
        }
        const int bitsToCompare = prefix < 0 ? 128 : (netV4 ? prefix + 96 : prefix);
        bool same = true;
        for (int b = 0; b < bitsToCompare && same; ++b) {
            const int mask = 0x80 >> (b % 8);
            same = (peer[b / 8] & mask) == (net[b / 8] & mask);
        }
        allowed = allowed || same;
    }
    return allowed;
}

}  // namespace platform

#pragma once

#include <cstdint>
#include <functional>
#include <string>

// A UDP socket and a TCP listener on one address and port, for services that receive (the syslog
// receiver): every wait bounded, a thread can wake the waiting one, and what a peer sends never
// blocks the others.
namespace platform {

struct Received {
    enum class Kind { Datagram, Stream, Closed };
    Kind kind = Kind::Datagram;
    int connection = 0;  // the TCP connection, for Stream and Closed
    std::string peer;    // the sender's address, "127.0.0.1" or "::1"
    std::string bytes;
    // Closed by the receiver: to make room for another (evicted), or silent too long.
    bool evicted = false;
    bool idle = false;
};

class NetworkReceiver {
public:
    NetworkReceiver();
    ~NetworkReceiver();
    NetworkReceiver(const NetworkReceiver&) = delete;
    NetworkReceiver& operator=(const NetworkReceiver&) = delete;

    // Binds both sockets to the address (IPv4 or IPv6, numeric) and port (0: one the system
    // picks that both can have); false with the system's last error (Windows code) when either
    // cannot be had.
    bool Open(const std::string& address, std::uint16_t port);
    void Close();
    // The port both sockets are bound to while open.
    std::uint16_t Port() const;

    // Judges a TCP peer when its connection is accepted: one refused is closed at once and
    // takes no room.
    void SetAcceptCheck(std::function<bool(const std::string& peer)> check);

    // Waits at most timeoutMs; hands each datagram, each piece of a stream and each closed
    // connection to the callback. A peer has at most kMaxPerPeer connections (a new one closes
    // its own oldest); when all kMaxConnections are taken, one that never sent anything, else the
    // one quiet longest, makes room. A connection that never sent anything is closed after
    // kSilentMs, one that did after kIdleMs without a byte. False when woken (Wake) or when there
    // is nothing to wait on. Without streams, the connections are left unread: their senders wait
    // (TCP's own flow control) while the caller has no room.
    bool Wait(unsigned timeoutMs, const std::function<void(const Received&)>& each,
              bool streams = true);
    // The datagrams the system dropped because the socket's buffer was full, since Open, as
    // known when the last datagram was taken (a count that wraps at 2^32). Read by the waiting
    // thread.
    std::uint32_t Overflowed() const;
    // From any thread: the current or next Wait returns at once.
    void Wake();
    // Ends a connection (a peer that is not allowed).
    void Drop(int connection);

    static constexpr int kMaxConnections = 1024;
    static constexpr int kMaxPerPeer = 16;
    static constexpr unsigned kSilentMs = 20000;
    static constexpr unsigned kIdleMs = 15 * 60 * 1000;

private:
    bool OpenOn(const std::string& address, std::uint16_t port);

    struct Impl;
    Impl* m;
};

// Whether the text is a numeric IPv4 or IPv6 address.
bool IsNumericAddress(const std::string& text);

// Whether an address lies in a list of addresses and networks ("127.0.0.1, 10.0.0.0/8, ::1");
// false for a list that cannot be read. Malformed items are reported in bad (when given).
bool AddressAllowed(const std::string& address, const std::string& list,
                    std::string* bad = nullptr);

}  // namespace platform

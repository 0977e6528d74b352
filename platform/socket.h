#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/errors.h"

// TCP client sockets with every wait bounded, for the SMTP client. Errors are Windows Sockets
// codes (10061 refused, 10060 timed out, ...), kept as the thread's socket error.
namespace platform {

// The Windows Sockets code for a Linux errno value.
int WsaErrorFromErrno(int err);

// Start-ups of the socket library: counted like WSAStartup / WSACleanup.
void SocketLibraryStartup();
bool SocketLibraryCleanup();  // false when nothing was started
int SocketLibraryStartups();

// What a bounded wait came to.
enum class WaitResult { Ready, TimedOut, Aborted, Failed };

// Called between polls of every wait (the message pump); returns true to abort the wait.
using WaitHook = std::function<bool()>;

// Looks a host name up (a dotted address is taken as it is); the wait is bounded by the
// time-out, the hook runs between polls. address is an IPv4 address in network order.
WaitResult ResolveHost(const std::string& host, unsigned timeoutMs, const WaitHook& hook,
                       std::uint32_t& address, int& error);

class TcpClient {
public:
    TcpClient() = default;
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // Connects without blocking and waits, polling every 2 ms, at most timeoutMs.
    WaitResult Connect(std::uint32_t address, std::uint16_t port, unsigned timeoutMs,
                       const WaitHook& hook, int& error);
    bool Connected() const { return m_fd >= 0 && m_connected; }

    // Sends every byte, waiting as needed, in at most timeoutMs in all.
    WaitResult Send(const std::string& bytes, unsigned timeoutMs, const WaitHook& hook, int& error);

    // Waits until data or the end of the stream arrives; appends what came to `into`.
    // Ready with nothing appended means the peer closed the connection.
    WaitResult Receive(std::string& into, size_t maxBytes, unsigned timeoutMs, const WaitHook& hook,
                       int& error);

    void Close();

private:
    int m_fd = -1;
    bool m_connected = false;
};

}  // namespace platform

#pragma once

#include <cstdint>
#include <string>

// What a service manager (systemd) hears from a program it runs: readiness, a status line and the
// watchdog's keep-alive, through the socket it names in NOTIFY_SOCKET. Without one, nothing is
// sent.
namespace platform {

// Sends one notification ("READY=1", "STATUS=...", "WATCHDOG=1", "STOPPING=1", lines joined by
// "\n"); false when there is no manager to tell or it could not be told.
bool NotifyServiceManager(const std::string& state);

// The interval the manager's watchdog expects a keep-alive within, in microseconds; 0 when it
// keeps no watch on this process.
std::uint64_t ServiceWatchdogMicroseconds();

}  // namespace platform

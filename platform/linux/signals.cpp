#include "platform/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace platform {
namespace {

int g_pipe[2] = {-1, -1};
int g_reload[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    // Only an async-signal-safe write: the event loop does the rest.
    ssize_t ignored = write(g_pipe[1], &byte, 1);
    (void)ignored;
}

void OnReload(int) {
    const char byte = 1;
    ssize_t ignored = write(g_reload[1], &byte, 1);
    (void)ignored;
}

}  // namespace

int TerminationRequests() {
    if (g_pipe[0] >= 0) return g_pipe[0];
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    return g_pipe[0];
}

int ReloadRequests() {
    if (g_reload[0] >= 0) return g_reload[0];
    if (pipe2(g_reload, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    struct sigaction action {};
    action.sa_handler = OnReload;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
    return g_reload[0];
}

}  // namespace platform

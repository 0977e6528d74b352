#include "platform/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <initializer_list>

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

// The pipe the handler writes to, made once, with the handler installed for the signals.
int SignalPipe(int (&fds)[2], void (*handler)(int), std::initializer_list<int> signals) {
    if (fds[0] >= 0) return fds[0];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : signals) sigaction(signal, &action, nullptr);
    return fds[0];
}

}  // namespace

int TerminationRequests() { return SignalPipe(g_pipe, OnSignal, {SIGTERM, SIGINT}); }

int ReloadRequests() { return SignalPipe(g_reload, OnReload, {SIGHUP}); }

}  // namespace platform

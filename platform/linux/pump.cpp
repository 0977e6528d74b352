#include "platform/pump.h"

#include <atomic>
#include <thread>
#include <utility>

#include "platform/clock.h"

namespace platform {
namespace {

std::function<void()> g_pump;

}  // namespace

void ProcessMessages() {
    if (g_pump) g_pump();
}

void SetMessagePump(std::function<void()> pump) { g_pump = std::move(pump); }

void RunWhilePumping(const std::function<void()>& work) {
    static bool running = false;  // only this thread starts calls
    while (running) {
        ProcessMessages();
        Sleep(5);
    }
    running = true;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
    });
    while (!done) {
        ProcessMessages();
        Sleep(5);
    }
    worker.join();
    running = false;
}

}  // namespace platform

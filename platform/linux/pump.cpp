#include "platform/pump.h"

#include <chrono>
#include <exception>
#include <future>
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
    // Woken the moment the work ends, not at the next pump: many short calls in a row (a tick's
    // mails) would otherwise each wait out part of a pump interval.
    std::promise<void> finished;
    std::future<void> ended = finished.get_future();
    std::thread worker([&] {
        try {
            work();
            finished.set_value();
        } catch (...) {
            finished.set_exception(std::current_exception());
        }
    });
    while (ended.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
        ProcessMessages();
    }
    worker.join();
    running = false;
    ended.get();  // the work's own exception, in the caller's thread
}

}  // namespace platform

#include "platform/pump.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

namespace platform {
namespace {

std::atomic<bool> g_abandoned{false};
std::mutex g_mutex;
std::function<void()> g_pump;
std::thread::id g_pumpThread;

}  // namespace

void ProcessMessages() {
    std::function<void()> pump;
    {
        std::lock_guard lock(g_mutex);
        if (!g_pump || std::this_thread::get_id() != g_pumpThread) return;
        pump = g_pump;
    }
    pump();
}

void AbandonWaits(bool abandon) { g_abandoned = abandon; }

bool WaitsAbandoned() { return g_abandoned; }

void SetMessagePump(std::function<void()> pump) {
    std::lock_guard lock(g_mutex);
    g_pump = std::move(pump);
    g_pumpThread = std::this_thread::get_id();
}

bool OnPumpThread() {
    std::lock_guard lock(g_mutex);
    return g_pump && std::this_thread::get_id() == g_pumpThread;
}

void RunWhilePumping(const std::function<void()>& work) {
    if (!OnPumpThread()) {
        work();
        return;
    }
    // Each call has its own worker and its own end: a call made by a handler that runs while
    // this one waits returns when its own work is done, never waiting on a flag of another.
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> ended = finished->get_future();
    std::thread worker([&work, finished] {
        try {
            work();
            finished->set_value();
        } catch (...) {
            finished->set_exception(std::current_exception());
        }
    });
    // Woken the moment the work ends, not at the next pump: many short calls in a row would
    // otherwise each wait out part of a pump interval.
    while (ended.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
        ProcessMessages();
    }
    worker.join();
    ended.get();  // the work's own exception, in the caller's thread
}

}  // namespace platform

#include "platform/freshness.h"

#include <time.h>

#include <atomic>

namespace platform {
namespace {

std::atomic<std::uint64_t> g_localChanges{0};

}  // namespace

std::int64_t CoarseMilliseconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::uint64_t LocalMachineChanges() { return g_localChanges.load(std::memory_order_relaxed); }

void NoteLocalMachineChange() { g_localChanges.fetch_add(1, std::memory_order_relaxed); }

}  // namespace platform

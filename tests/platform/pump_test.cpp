#include "platform/pump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace platform;

// The windows are served while the call runs, its result and its exception reach the caller,
// and a call after a failed one runs as usual.
TEST(PumpTest, ABlockingCallRunsWhileMessagesAreProcessed) {
    std::atomic<int> pumped{0};
    SetMessagePump([&] { ++pumped; });
    int result = 0;
    // The call ends only once the pump has run: it cannot end without messages processed.
    RunWhilePumping([&] {
        while (pumped.load() == 0) std::this_thread::yield();
        result = 42;
    });
    EXPECT_EQ(result, 42);
    EXPECT_GT(pumped.load(), 0);

    EXPECT_THROW(RunWhilePumping([] { throw std::runtime_error("library failed"); }),
                 std::runtime_error);
    RunWhilePumping([&] { result = 7; });
    EXPECT_EQ(result, 7);
    SetMessagePump(nullptr);
}

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

// A handler that runs while a call waits makes a call of its own (a send test pressed while
// mail goes out): both end, whichever finishes first. Off the window's thread nothing pumps.
TEST(PumpTest, ACallMadeWhileAnotherWaitsEndsAndNothingPumpsElsewhere) {
    std::atomic<bool> innerDone{false};
    bool nested = false;
    SetMessagePump([&] {
        if (nested) return;
        nested = true;
        RunWhilePumping([&] { innerDone = true; });
    });
    bool outerDone = false;
    // The outer call cannot end before the inner one has run.
    RunWhilePumping([&] {
        while (!innerDone) std::this_thread::yield();
        outerDone = true;
    });
    EXPECT_TRUE(outerDone);

    std::thread other([] {
        EXPECT_FALSE(OnPumpThread());
        const auto self = std::this_thread::get_id();
        std::thread::id ranOn;
        RunWhilePumping([&] { ranOn = std::this_thread::get_id(); });
        EXPECT_EQ(ranOn, self);
        ProcessMessages();  // not this thread's pump: nothing happens
    });
    other.join();
    SetMessagePump(nullptr);
}

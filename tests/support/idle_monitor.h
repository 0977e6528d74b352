#pragma once

#include "core/monitor.h"

// A monitor's timer and dialog locks with nobody behind them, for tests and benchmarks that
// drive the ticks themselves.
struct NoTimer : WatchTimer {
    void SetInterval(unsigned) override {}
    void SetEnabled(bool) override {}
};
struct NoLocks : DialogLocks {
    void Lock() override {}
    void Unlock() override {}
};

#pragma once

#include <string>

#include "session/window_queue.h"

// A window for a session that runs without one: it shows nothing; the caller dispatches.
class QuietView : public SessionView {
public:
    void RequestDispatch() override {}
    void AddLogLine(int, const platform::SystemTime&, const std::string&) override {}
    void SetWatchInterval(unsigned) override {}
    void SetWatchEnabled(bool) override {}
    void LockDialogs() override {}
    void UnlockDialogs() override {}
};

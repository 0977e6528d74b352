#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ingest/event_source.h"
#include "platform/filewatch.h"

// Immediate checks: a thread that waits on the files of the machine's logs and, a short quiet
// time after a burst of writes, asks for a check.
class ChangeWatch : public EventSource {
public:
    // changed: any thread calls it, once per burst.
    explicit ChangeWatch(std::function<void()> changed) : m_changed(std::move(changed)) {}
    ~ChangeWatch() override { Stop(); }
    ChangeWatch(const ChangeWatch&) = delete;
    ChangeWatch& operator=(const ChangeWatch&) = delete;

    void Apply(const ExtensionSettings& options) override;
    // Watching before this returns: a write that follows is never missed.
    void Start();
    void Stop() override;
    bool Running() const override { return m_thread.joinable(); }

private:
    void Run();

    std::function<void()> m_changed;
    std::thread m_thread;
    std::atomic<bool> m_quit{false};
    std::unique_ptr<platform::FileWatcher> m_watcher;  // while the thread runs
    // The thread's own once it runs.
    std::vector<std::string> m_files;
    bool m_kernel = false;  // inotify watches them
    std::string m_stamp;    // what they were at the last look, when it does not
};

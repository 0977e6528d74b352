#include "session/change_watch.h"

#include <chrono>
#include <string>
#include <vector>

#include "config/settings.h"
#include "eventlog/catalog.h"
#include "platform/machine/eventlog_writer.h"

namespace {

// The files of the logs the machine has now.
std::vector<std::string> LogFiles() {
    std::vector<std::string> logs, files;
    ListLogs(logs);
    for (const std::string& log : logs) files.push_back(platform::EventLogFilePath(log));
    return files;
}

}  // namespace

void ChangeWatch::Apply(const ExtensionSettings& options) {
    if (options.Immediate) {
        Start();
    } else {
        Stop();
    }
}

void ChangeWatch::Start() {
    if (m_thread.joinable()) return;
    m_quit = false;
    m_watcher = std::make_unique<platform::FileWatcher>();
    m_watcher->Watch(LogFiles());
    m_thread = std::thread([this] { Run(); });
}

void ChangeWatch::Stop() {
    if (!m_thread.joinable()) return;
    m_quit = true;
    m_watcher->Wake();
    m_thread.join();
    m_watcher.reset();
}

void ChangeWatch::Run() {
    platform::FileWatcher& watcher = *m_watcher;
    constexpr unsigned kQuietMs = 200;   // a burst of writes becomes one check
    constexpr unsigned kBurstMs = 1000;  // however long the burst goes on
    constexpr int kRefreshEvery = 10;    // waits of a second between looks for new logs
    int waits = kRefreshEvery;
    while (!m_quit) {
        // A log registered later is watched from the next look.
        if (waits-- <= 0) {
            watcher.Watch(LogFiles());
            waits = kRefreshEvery;
        }
        if (!watcher.Wait(1000)) continue;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBurstMs);
        while (!m_quit && std::chrono::steady_clock::now() < until && watcher.Wait(kQuietMs)) {
        }
        if (m_quit) break;
        m_changed();
    }
}

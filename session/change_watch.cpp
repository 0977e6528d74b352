#include "session/change_watch.h"

#include <chrono>
#include <string>
#include <vector>

#include "config/settings.h"
#include "eventlog/catalog.h"
#include "platform/files.h"
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
    m_files = LogFiles();
    m_kernel = m_watcher->Watch(m_files);
    m_stamp = m_kernel ? std::string() : platform::FilesStamp(m_files);
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
    constexpr unsigned kQuietMs = 200;                   // a burst of writes becomes one check
    constexpr unsigned kBurstMs = 1000;                  // however long the burst goes on
    constexpr auto kRefresh = std::chrono::seconds(10);  // between looks for new logs
    auto refreshAt = std::chrono::steady_clock::now() + kRefresh;
    while (!m_quit) {
        // A log registered later is watched from the next look.
        if (std::chrono::steady_clock::now() >= refreshAt) {
            m_files = LogFiles();
            m_kernel = watcher.Watch(m_files);
            refreshAt = std::chrono::steady_clock::now() + kRefresh;
        }
        bool changed = watcher.Wait(1000);
        // Without the kernel's word (no inotify left for this user, say) the files' stamps
        // are compared every second instead.
        if (!m_kernel && !m_quit) {
            std::string now = platform::FilesStamp(m_files);
            changed = changed || now != m_stamp;
            m_stamp.swap(now);
        }
        if (!changed) continue;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBurstMs);
        while (!m_quit && std::chrono::steady_clock::now() < until && watcher.Wait(kQuietMs)) {
        }
        if (m_quit) break;
        m_changed();
    }
}

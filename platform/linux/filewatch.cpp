#include "platform/filewatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/codepage.h"
#include "platform/files.h"

namespace platform {

FileWatcher::FileWatcher()
    : m_inotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), m_wake(eventfd(0, EFD_CLOEXEC)) {}

FileWatcher::~FileWatcher() {
    if (m_inotify >= 0) close(m_inotify);
    if (m_wake >= 0) close(m_wake);
}

bool FileWatcher::Watch(const std::vector<std::string>& paths) {
    if (m_inotify < 0) return false;
    std::vector<std::string> folders;
    m_names.clear();
    for (const std::string& path : paths) {
        const std::string native = PathToNative(path);
        const size_t slash = native.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : native.substr(0, slash);
        m_names.push_back(native.substr(slash == std::string::npos ? 0 : slash + 1));
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
            folders.push_back(folder);
        }
    }
    // The folders, not the files: a log replaced or made anew is seen as well as one written.
    // The new set is in place before the old one goes, so that no write falls between (a folder
    // watched already keeps its descriptor).
    std::vector<int> watches;
    for (const std::string& folder : folders) {
        const int wd = inotify_add_watch(m_inotify, folder.c_str(),
                                         IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE);
        if (wd >= 0 && std::find(watches.begin(), watches.end(), wd) == watches.end()) {
            watches.push_back(wd);
        }
    }
    for (int wd : m_watches) {
        if (std::find(watches.begin(), watches.end(), wd) == watches.end()) {
            inotify_rm_watch(m_inotify, wd);
        }
    }
    m_watches.swap(watches);
    return !m_watches.empty();
}

bool FileWatcher::Wait(unsigned milliseconds) {
    // Without inotify the wait still takes its time (or ends at Wake), so a caller's loop does
    // not spin.
    struct pollfd fds[2] = {{m_wake, POLLIN, 0}, {m_inotify, POLLIN, 0}};
    const nfds_t count = m_inotify >= 0 ? 2 : 1;
    const int n = poll(fds, count, static_cast<int>(milliseconds));
    if (n <= 0) return false;
    if (fds[0].revents & POLLIN) {
        std::uint64_t wakes;
        ssize_t ignored = read(m_wake, &wakes, sizeof wakes);
        (void)ignored;
        return false;
    }
    // Every event waiting is read; one naming a watched file is a change.
    bool changed = false;
    alignas(struct inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t got = read(m_inotify, buffer, sizeof buffer);
        if (got <= 0) break;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            // An overflowed queue may have dropped the very change.
            if ((event->mask & IN_Q_OVERFLOW) ||
                (event->len > 0 && std::find(m_names.begin(), m_names.end(),
                                             std::string(event->name)) != m_names.end())) {
                changed = true;
            }
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
    return changed;
}

void FileWatcher::Wake() {
    if (m_wake < 0) return;
    const std::uint64_t one = 1;
    ssize_t ignored = write(m_wake, &one, sizeof one);
    (void)ignored;
}

}  // namespace platform

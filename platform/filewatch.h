#pragma once

#include <string>
#include <vector>

// Changes to a set of files, as the kernel tells of them (inotify): a file written, replaced or
// created under one of the names. For a check that should run the moment a log changes.
namespace platform {

class FileWatcher {
public:
    FileWatcher();
    ~FileWatcher();
    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

    // The files to watch (their folders are watched, the names picked out); replaces the set.
    // False when the kernel watches nothing.
    bool Watch(const std::vector<std::string>& paths);
    // Waits at most the time for a change to one of the files; true when one came. Wake ends
    // the wait early (false then).
    bool Wait(unsigned milliseconds);
    // Ends a Wait running on another thread.
    void Wake();

private:
    int m_inotify = -1;
    int m_wake = -1;
    std::vector<int> m_watches;
    std::vector<std::string> m_names;  // the watched files' names
};

}  // namespace platform

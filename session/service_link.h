#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/instance.h"

// A service and a window of one user on the same folders. The service holds a lock of its own
// and says, in files of the user's private runtime folder, which folders it watches, what it is
// doing and the lines of its log; the window finds it there, shows what it says and asks it to
// read the configuration again after a dialog saved it.
namespace service_link {

struct State {
    long pid = 0;
    std::string config;  // the configuration folder, as ConfigDirectory() gives it
    std::string status;  // what the service manager is told (UTF-8)
};

struct LogLine {
    int level = 0;
    platform::SystemTime time{};
    std::string text;  // CP932, as the program log holds it
};

// The service's side.
class Publisher {
public:
    Publisher() = default;
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // Takes the service's lock and says where the service is; false when another holds it.
    bool Start(const std::string& configFolder);
    void SetStatus(const std::string& status);
    // Appends a line for a window to show; the file starts anew past a megabyte.
    void AddLogLine(int level, const platform::SystemTime& time, const std::string& text);
    // Removes what it said (also when it ends).
    void Stop();

private:
    void WriteState();

    platform::SingleInstance m_lock;
    State m_state;
    bool m_started = false;
};

// The window's side: whether a service of this user runs now, and what it says of itself.
bool FindService(State& state);
// Asks it to read its configuration files again; false when it is gone.
bool AskReload(const State& state);

// The lines the service added to its log since the last look (the last ones when it started).
class LogFollower {
public:
    std::vector<LogLine> ReadNew();

private:
    std::uint64_t m_offset = 0;
    std::uint64_t m_file = 0;  // which file was read (its inode)
    bool m_started = false;
};

}  // namespace service_link

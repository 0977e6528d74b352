#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

// A program a test starts and stops by its PID: run without a shell, its output thrown away, with
// environment values of the test's added to its own.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& environment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    // Waits up to the time for the program to end; its exit code, or -1 while it still runs
    // (or when it ended by a signal).
    int Wait(int milliseconds);
    bool Running();
    // SIGTERM, then SIGKILL when it has not ended after a while; waits for it.
    void Stop();

private:
    pid_t m_pid = -1;
    bool m_ended = false;
    int m_status = 0;
};

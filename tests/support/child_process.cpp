#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& environment) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
        for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() { Stop(); }

int ChildProcess::Wait(int milliseconds) {
    for (int waited = 0; !m_ended && m_pid > 0; waited += 10) {
        const pid_t r = waitpid(m_pid, &m_status, WNOHANG);
        if (r == m_pid) {
            m_ended = true;
            break;
        }
        if (waited >= milliseconds) return -1;
        usleep(10000);
    }
    return m_ended && WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
}

bool ChildProcess::Running() { return m_pid > 0 && Wait(0) == -1 && !m_ended; }

void ChildProcess::Stop() {
    if (m_pid <= 0 || m_ended) return;
    kill(m_pid, SIGTERM);
    if (Wait(5000) == -1 && !m_ended) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &m_status, 0);
        m_ended = true;
    }
}

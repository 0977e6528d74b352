#include "platform/linux/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace platform {

PreparedProgram::PreparedProgram(std::vector<std::string> argv) : m_argv(std::move(argv)) {
    for (std::string& word : m_argv) m_pointers.push_back(word.data());
    m_pointers.push_back(nullptr);
    m_search = !m_argv.empty() && m_argv[0].find('/') == std::string::npos;
}

void PreparedProgram::ExecInChild(int errorPipe, const Setup& setup) const {
    sigset_t all;
    sigemptyset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) signal(sig, SIG_DFL);
    }
    if (setup.inFd >= 0 && setup.inFd != 0) dup2(setup.inFd, 0);
    if (setup.outFd >= 0) {
        if (setup.outFd != 1) dup2(setup.outFd, 1);
        if (setup.outFd != 2) dup2(setup.outFd, 2);
    }
    if (setup.newGroup) setpgid(0, 0);
    if (setup.workFolder && chdir(setup.workFolder) != 0) {
        int ignored = chdir("/");
        (void)ignored;
    }
    // Files of the parent (sockets, the log, locks) are none of the program's business.
    if (close_range(3, UINT_MAX, CLOSE_RANGE_CLOEXEC) != 0) {
        const long last = sysconf(_SC_OPEN_MAX);
        for (int fd = 3; fd < (last > 0 && last < 65536 ? last : 65536); ++fd) {
            if (fd != errorPipe) close(fd);
        }
        fcntl(errorPipe, F_SETFD, FD_CLOEXEC);
    }
    int err = EINVAL;
    if (!m_argv.empty() && !m_argv[0].empty()) {
        if (m_search) {
            execvp(m_pointers[0], m_pointers.data());
        } else {
            execv(m_pointers[0], m_pointers.data());
        }
        err = errno;
    }
    ssize_t ignored = write(errorPipe, &err, sizeof err);
    (void)ignored;
    _exit(127);
}

int ReadExecError(int readFd) {
    int err = 0;
    for (;;) {
        const ssize_t n = read(readFd, &err, sizeof err);
        if (n < 0 && errno == EINTR) continue;
        return n == static_cast<ssize_t>(sizeof err) ? err : 0;
    }
}

DWORD ExecErrorCode(int err) {
    switch (err) {
        case ENOENT: return kErrorFileNotFound;
        case ENOTDIR: return kErrorPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR: return kErrorAccessDenied;
        case ENOEXEC:
        case ELIBBAD:
        case EINVAL: return kErrorBadExeFormat;
        default: return ErrorFromErrno(err);
    }
}

pid_t SpawnProgram(const PreparedProgram& program, const PreparedProgram::Setup& setup,
                   DWORD& error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = ErrorFromErrno(errno);
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        program.ExecInChild(fds[1], setup);
    }
    const int forkErrno = errno;
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        error = ErrorFromErrno(forkErrno);
        return -1;
    }
    const int err = ReadExecError(fds[0]);
    close(fds[0]);
    if (err != 0) {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        error = ExecErrorCode(err);
        return -1;
    }
    error = kErrorSuccess;
    return pid;
}

}  // namespace platform

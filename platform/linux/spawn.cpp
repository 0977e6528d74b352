#include "platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace platform {

PreparedProgram::PreparedProgram(std::vector<std::string> argv) : m_argv(std::move(argv)) {
    for (std::string& word : m_argv) m_pointers.push_back(word.data());
    m_pointers.push_back(nullptr);
    if (m_argv.empty()) return;
    m_path = m_argv[0];
    // A bare name is looked up here, in the absolute folders of PATH only (never the current
    // folder), and run as the file found: execvp would hand a file without "#!" to /bin/sh.
    if (m_path.find('/') != std::string::npos || m_path.empty()) return;
    const char* env = std::getenv("PATH");
    const std::string path = env && *env ? env : "/usr/local/bin:/usr/bin:/bin";
    for (size_t at = 0; at <= path.size();) {
        size_t end = path.find(':', at);
        if (end == std::string::npos) end = path.size();
        const std::string folder = path.substr(at, end - at);
        at = end + 1;
        if (folder.empty() || folder[0] != '/') continue;
        const std::string candidate = folder + "/" + m_argv[0];
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            m_path = candidate;
            return;
        }
    }
    m_path.clear();  // found nowhere
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
    int err = m_argv.empty() || m_argv[0].empty() ? EINVAL : ENOENT;
    if (!m_path.empty()) {
        execv(m_path.c_str(), m_pointers.data());
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

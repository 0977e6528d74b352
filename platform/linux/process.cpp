#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <wordexp.h>

#include <cerrno>
#include <mutex>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/spawn.h"

namespace platform {

struct ProcessObject {
    pid_t pid = -1;
    bool ended = false;
    int status = 0;
};

namespace {

// Children whose handles were closed while they ran: collected whenever a process call comes.
std::mutex g_unwaitedMutex;
std::vector<pid_t> g_unwaited;

void CollectClosedChildren() {
    std::lock_guard lock(g_unwaitedMutex);
    std::erase_if(g_unwaited, [](pid_t pid) {
        int status;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        return r == pid || (r < 0 && errno == ECHILD);
    });
}

enum class Reaped { Ended, Running, Failed };

Reaped Reap(ProcessObject& p) {
    if (p.ended) return Reaped::Ended;
    for (;;) {
        int status;
        const pid_t r = waitpid(p.pid, &status, WNOHANG);
        if (r == p.pid) {
            p.ended = true;
            p.status = status;
            return Reaped::Ended;
        }
        if (r == 0) return Reaped::Running;
        if (errno == EINTR) continue;
        FailFromErrno();
        return Reaped::Failed;
    }
}

std::int64_t NowMilliseconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line, Backslashes backslashes) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string word;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            const unsigned char c = static_cast<unsigned char>(line[i]);
            if (IsDBCSLeadByte(c) && i + 1 < line.size()) {
                // A second byte of 0x5C is no backslash.
                word.append(line.substr(i, 2));
                i += 2;
            } else if (c == '\\' && backslashes == Backslashes::EscapeQuotes) {
                size_t n = 0;
                while (i < line.size() && line[i] == '\\') {
                    ++n;
                    ++i;
                }
                if (i < line.size() && line[i] == '"') {
                    word.append(n / 2, '\\');
                    if (n % 2 == 1) {
                        word += '"';
                        ++i;
                    }
                } else {
                    word.append(n, '\\');
                }
            } else if (c == '"') {
                // Inside quotes, a doubled quote stands for one.
                if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    word += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                word += static_cast<char>(c);
                ++i;
            }
        }
        words.push_back(std::move(word));
    }
    return words;
}

bool ShellWords(std::string_view line, std::vector<std::string>& words) {
    wordexp_t w;
    if (wordexp(PathToNative(std::string(line)).c_str(), &w, WRDE_NOCMD) != 0) {
        SetLastError(kErrorBadExeFormat);
        return false;
    }
    words.clear();
    for (size_t i = 0; i < w.we_wordc; ++i) words.push_back(NativeToPath(w.we_wordv[i]));
    wordfree(&w);
    return true;
}

bool CreateProcessArgv(const std::vector<std::string>& argv, HPROCESS* process) {
    CollectClosedChildren();
    std::vector<std::string> native;
    native.reserve(argv.size());
    for (const std::string& word : argv) native.push_back(PathToNative(word));
    if (native.empty() || native[0].empty()) {
        SetLastError(kErrorFileNotFound);
        return false;
    }
    const PreparedProgram program(std::move(native));
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    PreparedProgram::Setup setup;
    setup.inFd = devNull;
    DWORD error = kErrorSuccess;
    bool ok = false;
    if (process) {
        const pid_t pid = SpawnProgram(program, setup, error);
        if (pid > 0) {
            *process = new ProcessObject{pid};
            ok = true;
        }
    } else {
        // Started through a short-lived middle process, so that the program belongs to init and
        // nobody here has to collect it.
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            error = ErrorFromErrno(errno);
        } else {
            const pid_t middle = fork();
            if (middle == 0) {
                setsid();
                const pid_t pid = fork();
                if (pid == 0) program.ExecInChild(fds[1], setup);
                if (pid < 0) {
                    int err = errno;
                    ssize_t ignored = write(fds[1], &err, sizeof err);
                    (void)ignored;
                }
                _exit(0);
            }
            const int forkErrno = errno;
            close(fds[1]);
            if (middle < 0) {
                error = ErrorFromErrno(forkErrno);
            } else {
                const int err = ReadExecError(fds[0]);
                int status;
                while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
                }
                error = err ? ExecErrorCode(err) : kErrorSuccess;
                ok = err == 0;
            }
            close(fds[0]);
        }
    }
    if (devNull >= 0) close(devNull);
    // A program in a folder that does not exist is a missing path, as Windows tells it.
    if (!ok && error == kErrorFileNotFound && argv[0].find('/') != std::string::npos &&
        !DirectoryExists(ExtractFilePath(argv[0]))) {
        error = kErrorPathNotFound;
    }
    if (!ok) SetLastError(error);
    return ok;
}

DWORD GetProcessId(HPROCESS process) {
    return process && process->pid > 0 ? static_cast<DWORD>(process->pid) : 0;
}

DWORD WaitForSingleObject(HPROCESS process, DWORD milliseconds) {
    if (!process) {
        SetLastError(kErrorInvalidHandle);
        return kWaitFailed;
    }
    Reaped state = Reap(*process);
    if (state != Reaped::Running) return state == Reaped::Ended ? kWaitObject0 : kWaitFailed;
    const std::int64_t deadline = NowMilliseconds() + milliseconds;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, process->pid, 0));
    for (;;) {
        const std::int64_t left = deadline - NowMilliseconds();
        if (milliseconds != kInfinite && left <= 0) break;
        if (pidfd >= 0) {
            struct pollfd p = {pidfd, POLLIN, 0};
            const int timeout = milliseconds == kInfinite ? -1 : static_cast<int>(left);
            if (poll(&p, 1, timeout) < 0 && errno != EINTR) break;
        } else {
            struct timespec pause = {0, 5 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        state = Reap(*process);
        if (state != Reaped::Running) break;
    }
    if (pidfd >= 0) close(pidfd);
    if (state == Reaped::Running) state = Reap(*process);
    if (state == Reaped::Running) return kWaitTimeout;
    return state == Reaped::Ended ? kWaitObject0 : kWaitFailed;
}

DWORD ExitCodeFromWaitStatus(int status) {
    if (WIFEXITED(status)) return static_cast<DWORD>(WEXITSTATUS(status));
    if (!WIFSIGNALED(status)) return 1;
    switch (WTERMSIG(status)) {
        case SIGSEGV:
        case SIGBUS: return 0xC0000005;  // access violation
        case SIGILL: return 0xC000001D;  // illegal instruction
        case SIGFPE: return 0xC0000094;  // integer divide by zero
        case SIGABRT: return 3;          // what abort() ends with
        case SIGINT: return 0xC000013A;  // ended by Ctrl+C
        default: return 1;               // what a forced end gives
    }
}

bool GetExitCodeProcess(HPROCESS process, DWORD& exitCode) {
    if (!process) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    const Reaped state = Reap(*process);
    if (state == Reaped::Failed) return false;
    if (state == Reaped::Running) {
        exitCode = kStillActive;
        return true;
    }
    exitCode = ExitCodeFromWaitStatus(process->status);
    return true;
}

bool CloseHandle(HPROCESS process) {
    if (!process) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (Reap(*process) == Reaped::Running) {
        std::lock_guard lock(g_unwaitedMutex);
        g_unwaited.push_back(process->pid);
    }
    delete process;
    CollectClosedChildren();
    return true;
}

}  // namespace platform

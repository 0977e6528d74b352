#include "platform/supervisor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/spawn.h"

namespace platform {

namespace {

bool ParseSigned(std::string_view text, long long& value) {
    bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 19) return false;
    unsigned long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    value = negative ? -static_cast<long long>(v) : static_cast<long long>(v);
    return true;
}

RunRecord ParseRecord(std::string_view text) {
    RunRecord s;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const size_t eq = line.find('=');
        long long v = 0;
        if (eq == std::string_view::npos || !ParseSigned(line.substr(eq + 1), v)) continue;
        const std::string_view key = line.substr(0, eq);
        if (key == "pid") s.pid = static_cast<long>(v);
        if (key == "start") s.processStart = static_cast<unsigned long long>(v);
        if (key == "monitor") s.monitor = static_cast<long>(v);
        if (key == "monitorstart") s.monitorStart = static_cast<unsigned long long>(v);
        if (key == "started") s.started = v;
        if (key == "stopping") s.stopping = v;
        if (key == "paused") s.paused = v != 0;
        if (key == "status") {
            s.hasStatus = true;
            s.status = static_cast<int>(v);
        }
        if (key == "exit") {
            s.hasExitCode = true;
            s.exitCode = static_cast<DWORD>(v);
        }
    }
    return s;
}

std::string FormatRecord(const RunRecord& s) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer,
                  "pid=%ld\nstart=%llu\nmonitor=%ld\nmonitorstart=%llu\nstarted=%lld\n"
                  "stopping=%lld\npaused=%d\n",
                  s.pid, s.processStart, s.monitor, s.monitorStart,
                  static_cast<long long>(s.started), static_cast<long long>(s.stopping),
                  s.paused ? 1 : 0);
    std::string text = buffer;
    if (s.hasStatus) text += "status=" + std::to_string(s.status) + "\n";
    if (s.hasExitCode) text += "exit=" + std::to_string(s.exitCode) + "\n";
    return text;
}

void WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        size -= static_cast<size_t>(n);
    }
}

// What the monitor tells the starter.
struct StartReport {
    int execErrno;
    long pid;
    long monitor;
};

// The monitor: starts the service, reports, waits for its end and writes down how it ended.
[[noreturn]] void RunMonitor(const PreparedProgram& program, const PreparedProgram::Setup& setup,
                             int reportFd, const char* statePath) {
    int errorPipe[2];
    StartReport report = {EAGAIN, 0, static_cast<long>(getpid())};
    if (pipe2(errorPipe, O_CLOEXEC) != 0) {
        report.execErrno = errno;
        WriteAll(reportFd, &report, sizeof report);
        _exit(0);
    }
    const pid_t child = fork();
    if (child == 0) {
        close(errorPipe[0]);
        program.ExecInChild(errorPipe[1], setup);
    }
    close(errorPipe[1]);
    report.execErrno = child < 0 ? errno : ReadExecError(errorPipe[0]);
    report.pid = child;
    WriteAll(reportFd, &report, sizeof report);
    // Nothing of the program stays open here: its locks and sockets are not ours to hold.
    close_range(0, UINT_MAX, 0);
    if (child < 0) _exit(0);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) _exit(0);
    }
    // The starter holds the lock until it has written the state down.
    const int fd = open(statePath, O_RDWR | O_CLOEXEC);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(0);
    char text[1024];
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n > 0) {
        text[n] = '\0';
        char mine[32];
        std::snprintf(mine, sizeof mine, "pid=%ld\n", static_cast<long>(child));
        // Only the run this monitor belongs to.
        if (std::strncmp(text, mine, std::strlen(mine)) == 0) {
            char line[48];
            const int len = std::snprintf(line, sizeof line, "status=%d\n", status);
            if (lseek(fd, 0, SEEK_END) >= 0) WriteAll(fd, line, static_cast<size_t>(len));
        }
    }
    _exit(0);
}

}  // namespace

ProcessState InspectProcess(long pid) {
    ProcessState info;
    if (pid <= 0) return info;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return info;
    char buffer[1024];
    const ssize_t n = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    if (n <= 0) return info;
    buffer[n] = '\0';
    // The name in parentheses may hold anything, parentheses too: fields follow the last ')'.
    const char* p = std::strrchr(buffer, ')');
    if (!p || p[1] != ' ') return info;
    const char state = p[2];
    info.ended = state == 'Z' || state == 'X' || state == 'x';
    info.halted = state == 't' || state == 'T';
    // Field 22 (start time) is the 20th after the state.
    const char* field = p + 2;
    for (int i = 0; i < 19 && field; ++i) {
        field = std::strchr(field, ' ');
        if (field) ++field;
    }
    if (!field) return info;
    info.start = std::strtoull(field, nullptr, 10);
    info.exists = true;
    return info;
}

long OwnProcessId() { return static_cast<long>(getpid()); }

bool SameProcess(long pid, unsigned long long start, const ProcessState& state) {
    return pid > 0 && state.exists && (start == 0 || state.start == start);
}

void SignalRun(long pid, RunSignal signal) {
    if (pid <= 0) return;
    const int sig = signal == RunSignal::Terminate ? SIGTERM
                    : signal == RunSignal::Kill    ? SIGKILL
                    : signal == RunSignal::Halt    ? SIGSTOP
                                                   : SIGCONT;
    if (kill(static_cast<pid_t>(-pid), sig) != 0) kill(static_cast<pid_t>(pid), sig);
}

std::int64_t BootMilliseconds() {
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

EndOfRun DescribeEnd(int status) {
    EndOfRun end;
    end.exited = WIFEXITED(status);
    if (end.exited) end.exitCode = static_cast<DWORD>(WEXITSTATUS(status));
    end.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    return end;
}

RunRecordFile::~RunRecordFile() {
    if (m_fd >= 0) close(m_fd);
}

bool RunRecordFile::OpenShared(const std::string& path) { return Open(path, false); }

bool RunRecordFile::OpenExclusive(const std::string& path) { return Open(path, true); }

bool RunRecordFile::Open(const std::string& path, bool exclusive) {
    m_path = path;
    const std::string native = PathToNative(path);
    if (exclusive) {
        if (!ForceDirectories(ExtractFilePath(path))) return false;
        m_fd = open(native.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    } else {
        m_fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0 && errno == ENOENT) return true;
    }
    if (m_fd < 0) return FailFromErrno();
    while (flock(m_fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) return FailFromErrno();
    }
    return true;
}

RunRecord RunRecordFile::Read() const {
    if (m_fd < 0) return RunRecord();
    std::string text;
    char buffer[1024];
    for (off_t at = 0;;) {
        const ssize_t n = pread(m_fd, buffer, sizeof buffer, at);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
        at += n;
        if (text.size() > 65536) break;
    }
    return ParseRecord(text);
}

bool RunRecordFile::Write(const RunRecord& record) {
    const std::string text = FormatRecord(record);
    if (ftruncate(m_fd, 0) != 0) return FailFromErrno();
    if (pwrite(m_fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        return FailFromErrno();
    }
    return true;
}

bool StartDetached(const std::vector<std::string>& argv, const std::string& workFolder,
                   const std::string& logPath, RunRecordFile& file, RunRecord& run) {
    std::vector<std::string> native;
    for (const std::string& word : argv) native.push_back(PathToNative(word));
    const PreparedProgram program(std::move(native));
    const std::string statePath = PathToNative(file.m_path);
    const std::string nativeWork = PathToNative(workFolder);
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int logFd =
        open(PathToNative(logPath).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    PreparedProgram::Setup setup;
    setup.inFd = devNull;
    setup.outFd = logFd >= 0 ? logFd : devNull;
    setup.newGroup = true;
    setup.workFolder = nativeWork.c_str();

    int reportPipe[2];
    if (pipe2(reportPipe, O_CLOEXEC) != 0) {
        FailFromErrno();
        if (devNull >= 0) close(devNull);
        if (logFd >= 0) close(logFd);
        return false;
    }
    const int stateFd = file.m_fd;
    const pid_t middle = fork();
    if (middle == 0) {
        // A session of its own, left at once: the monitor belongs to init and outlives us.
        close(reportPipe[0]);
        close(stateFd);
        setsid();
        if (fork() == 0) RunMonitor(program, setup, reportPipe[1], statePath.c_str());
        _exit(0);
    }
    const int forkErrno = errno;
    close(reportPipe[1]);
    if (devNull >= 0) close(devNull);
    if (logFd >= 0) close(logFd);
    StartReport report = {0, 0, 0};
    bool reported = false;
    if (middle > 0) {
        int status;
        while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
        }
        for (size_t got = 0; got < sizeof report;) {
            const ssize_t n =
                read(reportPipe[0], reinterpret_cast<char*>(&report) + got, sizeof report - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
            reported = got == sizeof report;
        }
    }
    close(reportPipe[0]);
    if (middle < 0 || !reported || report.execErrno != 0) {
        RunRecord failed;
        failed.hasExitCode = true;
        failed.exitCode = middle < 0  ? ErrorFromErrno(forkErrno)
                          : !reported ? kErrorGenFailure
                                      : ExecErrorCode(report.execErrno);
        file.Write(failed);
        SetLastError(failed.exitCode);
        return false;
    }
    run = RunRecord();
    run.pid = report.pid;
    run.processStart = InspectProcess(report.pid).start;
    run.monitor = report.monitor;
    run.monitorStart = InspectProcess(report.monitor).start;
    run.started = BootMilliseconds();
    return file.Write(run);
}

}  // namespace platform

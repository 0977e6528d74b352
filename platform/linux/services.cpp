#include "platform/services.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <wordexp.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/linux/spawn.h"
#include "platform/machine.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/registry_files.h"

namespace platform {

namespace {

constexpr std::string_view kServicesKey = "SYSTEM\\CurrentControlSet\\Services";
// A service counts as starting for this long after its process began.
constexpr std::int64_t kStartPendingMs = 500;
// A service that has not ended this long after its stop is killed: the machine's
// WaitToKillServiceTimeout (a text of milliseconds), 20 s by default.
std::int64_t StopTimeoutMs() {
    std::string text;
    if (ReadMachineString("SYSTEM\\CurrentControlSet\\Control", "WaitToKillServiceTimeout", text)) {
        char* end = nullptr;
        const long long ms = std::strtoll(text.c_str(), &end, 10);
        if (end != text.c_str() && ms > 0) return ms;
    }
    return 20000;
}
constexpr DWORD kStartDisabled = 4;

struct Definition {
    std::string name;
    std::string displayName;
    std::string imagePath;
    std::vector<std::string> dependencies;
    DWORD acceptedControls = kServiceAcceptStop;
    DWORD startType = 3;
    DWORD type = kServiceWin32OwnProcess;
};

// What the machine keeps of a service's run, in its state file.
struct RunState {
    long pid = 0;
    unsigned long long processStart = 0;  // the process's start time, from /proc
    long monitor = 0;
    unsigned long long monitorStart = 0;
    std::int64_t started = 0;   // boot-clock milliseconds
    std::int64_t stopping = 0;  // when the stop was sent, 0 for none
    bool paused = false;
    bool hasStatus = false;  // the wait status of the ended process
    int status = 0;
    bool hasExitCode = false;  // a start that failed before any process ran
    DWORD exitCode = 0;
};

std::int64_t BootMilliseconds() {
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// ---- Registry ----

std::vector<std::string> MultiStrings(const std::string& data) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < data.size()) {
        const size_t end = data.find('\0', pos);
        const size_t stop = end == std::string::npos ? data.size() : end;
        if (stop == pos) break;
        out.push_back(data.substr(pos, stop - pos));
        pos = stop + 1;
    }
    return out;
}

bool ReadDefinition(HKEY services, const std::string& keyName, Definition& def) {
    UniqueKey key;
    if (RegOpenKeyEx(services, keyName, key.Out()) != kErrorSuccess) return false;
    def = Definition();
    def.name = keyName;
    if (!RegReadString(key.Get(), "ImagePath", def.imagePath)) return false;
    if (!RegReadString(key.Get(), "DisplayName", def.displayName) || def.displayName.empty()) {
        def.displayName = keyName;
    }
    DWORD type = 0;
    std::string data;
    if (RegQueryValueEx(key.Get(), "DependOnService", type, data) == kErrorSuccess &&
        type == kRegMultiSz) {
        def.dependencies = MultiStrings(data);
    }
    RegReadDword(key.Get(), "AcceptedControls", def.acceptedControls);
    RegReadDword(key.Get(), "Start", def.startType);
    RegReadDword(key.Get(), "Type", def.type);
    return true;
}

// Every service of the machine, in key order.
bool AllDefinitions(std::vector<Definition>& out) {
    out.clear();
    UniqueKey services;
    const DWORD opened = RegOpenKeyEx(HKEY_LOCAL_MACHINE, kServicesKey, services.Out());
    if (opened == kErrorFileNotFound) return true;
    if (opened != kErrorSuccess) {
        SetLastError(opened);
        return false;
    }
    std::string name;
    for (DWORD i = 0; RegEnumKeyEx(services.Get(), i, name) == kErrorSuccess; ++i) {
        Definition def;
        if (ReadDefinition(services.Get(), name, def)) out.push_back(std::move(def));
    }
    return true;
}

// One service by key name, letter case ignored; 1060 when there is none.
bool FindDefinition(std::string_view name, Definition& def) {
    std::vector<Definition> all;
    if (!AllDefinitions(all)) return false;
    for (Definition& candidate : all) {
        if (EqualsNoCase(candidate.name, name)) {
            def = std::move(candidate);
            return true;
        }
    }
    SetLastError(kErrorServiceDoesNotExist);
    return false;
}

bool IsWin32Service(const Definition& def) { return (def.type & 0x30) != 0; }

// ---- State files ----

std::string StateFolder() { return MachineRoot() + "services/"; }

std::string StatePath(const std::string& name) {
    std::string upper = name;
    for (size_t i = 0; i < upper.size(); ++i) {
        if (IsDBCSLeadByte(static_cast<unsigned char>(upper[i]))) {
            ++i;
        } else {
            upper[i] = AsciiUpper(upper[i]);
        }
    }
    return StateFolder() + upper + ".state";
}

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

RunState ParseState(std::string_view text) {
    RunState s;
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

std::string FormatState(const RunState& s) {
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

// A service's state file, open and locked while the object lives.
class StateFile {
public:
    ~StateFile() {
        if (m_fd >= 0) close(m_fd);
    }

    // Opens for reading with a shared lock; a missing file reads as "never started".
    bool OpenShared(const std::string& name) { return Open(name, false); }
    // Opens, creating the file and its folder, with an exclusive lock.
    bool OpenExclusive(const std::string& name) { return Open(name, true); }

    RunState Read() const {
        if (m_fd < 0) return RunState();
        std::string text;
        char buffer[1024];
        for (off_t at = 0;;) {
            const ssize_t n = pread(m_fd, buffer, sizeof buffer, at);
            if (n <= 0) break;
            text.append(buffer, static_cast<size_t>(n));
            at += n;
            if (text.size() > 65536) break;
        }
        return ParseState(text);
    }

    bool Write(const RunState& state) {
        const std::string text = FormatState(state);
        if (ftruncate(m_fd, 0) != 0) return FailFromErrno();
        if (pwrite(m_fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
            return FailFromErrno();
        }
        return true;
    }

    int Fd() const { return m_fd; }

private:
    bool Open(const std::string& name, bool exclusive) {
        const std::string path = PathToNative(StatePath(name));
        if (exclusive) {
            if (!ForceDirectories(StateFolder())) return false;
            m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        } else {
            m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (m_fd < 0 && errno == ENOENT) return true;
        }
        if (m_fd < 0) return FailFromErrno();
        while (flock(m_fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
            if (errno != EINTR) return FailFromErrno();
        }
        return true;
    }

    int m_fd = -1;
};

// ---- Processes ----

struct ProcessInfo {
    bool exists = false;
    char state = 0;
    unsigned long long start = 0;
};

ProcessInfo Inspect(long pid) {
    ProcessInfo info;
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
    info.state = p[2];
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

bool SameProcess(long pid, unsigned long long start, const ProcessInfo& info) {
    return pid > 0 && info.exists && (start == 0 || info.start == start);
}

void SignalGroup(long pid, int sig) {
    if (pid <= 0) return;
    if (kill(static_cast<pid_t>(-pid), sig) != 0) kill(static_cast<pid_t>(pid), sig);
}

DWORD EndedExitCode(const RunState& s) {
    if (WIFEXITED(s.status)) return static_cast<DWORD>(WEXITSTATUS(s.status));
    // A signal after our stop is the stop itself, unless it had to be the kill that follows a
    // stop not heeded in time; any other is a crash.
    if (s.stopping == 0) return kErrorProcessAborted;
    return WIFSIGNALED(s.status) && WTERMSIG(s.status) == SIGKILL ? kErrorServiceRequestTimeout
                                                                  : kErrorSuccess;
}

// The status a run state stands for now. May nudge the process: a stop that is not heeded in
// time becomes a kill, a lost pause or continue is sent again.
ServiceStatus Evaluate(const Definition& def, const RunState& s) {
    ServiceStatus st;
    st.serviceType = def.type;
    if (s.pid <= 0) {
        st.currentState = kServiceStopped;
        st.win32ExitCode = s.hasExitCode ? s.exitCode : kErrorServiceNeverStarted;
        return st;
    }
    const ProcessInfo info = Inspect(s.pid);
    const bool alive = SameProcess(s.pid, s.processStart, info) && info.state != 'Z' &&
                       info.state != 'X' && info.state != 'x';
    const std::int64_t now = BootMilliseconds();
    if (!alive) {
        if (s.hasStatus) {
            st.currentState = kServiceStopped;
            st.win32ExitCode = EndedExitCode(s);
            return st;
        }
        // Ended, and the monitor is about to write down how.
        const ProcessInfo monitor = Inspect(s.monitor);
        if (SameProcess(s.monitor, s.monitorStart, monitor) && monitor.state != 'Z') {
            st.currentState = s.stopping != 0 ? kServiceStopPending : kServiceStartPending;
            return st;
        }
        st.currentState = kServiceStopped;
        st.win32ExitCode = kErrorProcessAborted;
        return st;
    }
    st.processId = static_cast<DWORD>(s.pid);
    if (s.stopping != 0) {
        if (now - s.stopping > StopTimeoutMs()) SignalGroup(s.pid, SIGKILL);
        st.currentState = kServiceStopPending;
        return st;
    }
    if (now - s.started < kStartPendingMs) {
        st.currentState = kServiceStartPending;
        return st;
    }
    const bool halted = info.state == 'T' || info.state == 't';
    if (s.paused) {
        if (!halted) SignalGroup(s.pid, SIGSTOP);
        st.currentState = halted ? kServicePaused : kServicePausePending;
    } else {
        if (halted) SignalGroup(s.pid, SIGCONT);
        st.currentState = halted ? kServiceContinuePending : kServiceRunning;
    }
    st.controlsAccepted = def.acceptedControls & (kServiceAcceptStop | kServiceAcceptPauseContinue);
    return st;
}

bool StatusOf(const Definition& def, ServiceStatus& status) {
    StateFile file;
    if (!file.OpenShared(def.name)) return false;
    status = Evaluate(def, file.Read());
    return true;
}

bool IsActive(const ServiceStatus& status) { return status.currentState != kServiceStopped; }

// ---- Starting ----

bool LooksLikeWindowsPath(std::string_view word) {
    if (!word.empty() && word[0] == '"') word.remove_prefix(1);
    return (word.size() >= 3 && word[1] == ':' && (word[2] == '\\' || word[2] == '/')) ||
           word.find('\\') != std::string_view::npos;
}

// The words of an ImagePath: a Windows command line when it names a Windows path, else a Linux
// one (quotes, escapes and variables as a shell reads them, but no commands run).
bool CommandWords(const std::string& imagePath, std::vector<std::string>& words) {
    const std::string expanded = ExpandMachineEnvironment(imagePath);
    const size_t first = expanded.find_first_not_of(" \t");
    if (first == std::string::npos) {
        SetLastError(kErrorFileNotFound);
        return false;
    }
    std::string_view rest(expanded);
    rest.remove_prefix(first);
    if (LooksLikeWindowsPath(rest.substr(0, rest.find(' ')))) {
        words = SplitCommandLine(expanded);
        if (!words.empty()) words[0] = MapMachinePath(words[0]);
        return !words.empty();
    }
    wordexp_t w;
    if (wordexp(PathToNative(expanded).c_str(), &w, WRDE_NOCMD) != 0) {
        SetLastError(kErrorBadExeFormat);
        return false;
    }
    words.clear();
    for (size_t i = 0; i < w.we_wordc; ++i) words.push_back(NativeToPath(w.we_wordv[i]));
    wordfree(&w);
    if (words.empty()) {
        SetLastError(kErrorFileNotFound);
        return false;
    }
    return true;
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

bool StartDefinition(const Definition& def, std::set<std::string>& starting);

bool StartDependencies(const Definition& def, std::set<std::string>& starting) {
    for (const std::string& name : def.dependencies) {
        Definition dependency;
        if (!FindDefinition(name, dependency)) {
            SetLastError(kErrorServiceDependencyDeleted);
            return false;
        }
        ServiceStatus status;
        if (!StatusOf(dependency, status)) {
            SetLastError(kErrorServiceDependencyFail);
            return false;
        }
        if (IsActive(status)) continue;
        if (!StartDefinition(dependency, starting)) {
            SetLastError(GetLastError() == kErrorCircularDependency ? kErrorCircularDependency
                                                                    : kErrorServiceDependencyFail);
            return false;
        }
    }
    return true;
}

bool StartDefinition(const Definition& def, std::set<std::string>& starting) {
    std::string upper = def.name;
    for (char& c : upper) c = AsciiUpper(c);
    if (!starting.insert(upper).second) {
        SetLastError(kErrorCircularDependency);
        return false;
    }
    if (def.startType == kStartDisabled) {
        SetLastError(kErrorServiceDisabled);
        return false;
    }
    {
        ServiceStatus status;
        if (!StatusOf(def, status)) return false;
        if (IsActive(status)) {
            SetLastError(status.currentState == kServiceStopPending ? kErrorServiceCannotAcceptCtrl
                                                                    : kErrorServiceAlreadyRunning);
            return false;
        }
    }
    if (!StartDependencies(def, starting)) return false;

    StateFile file;
    if (!file.OpenExclusive(def.name)) return false;
    RunState previous = file.Read();
    if (IsActive(Evaluate(def, previous))) {
        SetLastError(kErrorServiceAlreadyRunning);
        return false;
    }
    std::vector<std::string> words;
    if (!CommandWords(def.imagePath, words)) {
        RunState failed;
        failed.hasExitCode = true;
        failed.exitCode = GetLastError();
        file.Write(failed);
        SetLastError(failed.exitCode);
        return false;
    }
    std::vector<std::string> native;
    for (const std::string& word : words) native.push_back(PathToNative(word));
    const PreparedProgram program(std::move(native));
    const std::string statePath = PathToNative(StatePath(def.name));
    const std::string logPath = statePath.substr(0, statePath.size() - 6) + ".log";
    const std::string workFolder = PathToNative(MapMachinePath("%SystemRoot%\\system32"));
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    PreparedProgram::Setup setup;
    setup.inFd = devNull;
    setup.outFd = logFd >= 0 ? logFd : devNull;
    setup.newGroup = true;
    setup.workFolder = workFolder.c_str();

    int reportPipe[2];
    if (pipe2(reportPipe, O_CLOEXEC) != 0) {
        FailFromErrno();
        if (devNull >= 0) close(devNull);
        if (logFd >= 0) close(logFd);
        return false;
    }
    const int stateFd = file.Fd();
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
        RunState failed;
        failed.hasExitCode = true;
        failed.exitCode = middle < 0  ? ErrorFromErrno(forkErrno)
                          : !reported ? kErrorGenFailure
                                      : ExecErrorCode(report.execErrno);
        file.Write(failed);
        SetLastError(failed.exitCode);
        return false;
    }
    RunState run;
    run.pid = report.pid;
    run.processStart = Inspect(report.pid).start;
    run.monitor = report.monitor;
    run.monitorStart = Inspect(report.monitor).start;
    run.started = BootMilliseconds();
    return file.Write(run);
}

}  // namespace

struct ServiceObject {
    bool manager = false;
    Definition def;
};

namespace {

// A handle of the kind a call needs; else the last error says it is not one.
bool IsManager(SC_HANDLE handle) {
    if (handle && handle->manager) return true;
    SetLastError(kErrorInvalidHandle);
    return false;
}

bool IsService(SC_HANDLE handle) {
    if (handle && !handle->manager) return true;
    SetLastError(kErrorInvalidHandle);
    return false;
}

}  // namespace

SC_HANDLE OpenSCManager() {
    if (!EnsureMachine()) return nullptr;
    return new ServiceObject{true, Definition()};
}

SC_HANDLE OpenService(SC_HANDLE manager, std::string_view serviceName) {
    if (!IsManager(manager)) return nullptr;
    Definition def;
    if (serviceName.empty() || !FindDefinition(serviceName, def)) {
        if (serviceName.empty()) SetLastError(kErrorServiceDoesNotExist);
        return nullptr;
    }
    return new ServiceObject{false, std::move(def)};
}

bool CloseServiceHandle(SC_HANDLE handle) {
    if (!handle) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    delete handle;
    return true;
}

bool GetServiceKeyName(SC_HANDLE manager, std::string_view displayName, std::string& keyName) {
    if (!IsManager(manager)) return false;
    std::vector<Definition> all;
    if (!AllDefinitions(all)) return false;
    for (const Definition& def : all) {
        if (EqualsNoCase(def.displayName, displayName)) {
            keyName = def.name;
            return true;
        }
    }
    SetLastError(kErrorServiceDoesNotExist);
    return false;
}

bool QueryServiceStatus(SC_HANDLE service, ServiceStatus& status) {
    if (!IsService(service)) return false;
    return StatusOf(service->def, status);
}

bool StartService(SC_HANDLE service) {
    if (!IsService(service)) return false;
    // The registry may have changed since the handle was opened.
    Definition def;
    if (!FindDefinition(service->def.name, def)) return false;
    std::set<std::string> starting;
    return StartDefinition(def, starting);
}

bool EnumDependentServices(SC_HANDLE service, DWORD filter, std::vector<ServiceEntry>& out) {
    out.clear();
    if (!IsService(service)) return false;
    std::vector<Definition> all;
    if (!AllDefinitions(all)) return false;
    std::vector<const Definition*> order;
    std::set<std::string> seen;
    // Depth first: the ones that depend on a dependent come before it.
    auto visit = [&](auto& self, const std::string& name) -> void {
        for (const Definition& def : all) {
            bool depends = false;
            for (const std::string& needed : def.dependencies)
                depends |= EqualsNoCase(needed, name);
            if (!depends) continue;
            std::string upper = def.name;
            for (char& c : upper) c = AsciiUpper(c);
            if (!seen.insert(upper).second) continue;
            self(self, def.name);
            order.push_back(&def);
        }
    };
    std::string self = service->def.name;
    for (char& c : self) c = AsciiUpper(c);
    seen.insert(self);
    visit(visit, service->def.name);
    for (const Definition* def : order) {
        ServiceEntry entry{def->name, def->displayName, {}};
        if (!StatusOf(*def, entry.status)) return false;
        const bool active = IsActive(entry.status);
        if ((active && (filter & kServiceActive)) || (!active && (filter & kServiceInactive))) {
            out.push_back(std::move(entry));
        }
    }
    return true;
}

bool EnumServicesStatus(SC_HANDLE manager, DWORD filter, std::vector<ServiceEntry>& out) {
    out.clear();
    if (!IsManager(manager)) return false;
    std::vector<Definition> all;
    if (!AllDefinitions(all)) return false;
    for (const Definition& def : all) {
        if (!IsWin32Service(def)) continue;
        ServiceEntry entry{def.name, def.displayName, {}};
        if (!StatusOf(def, entry.status)) return false;
        const bool active = IsActive(entry.status);
        if ((active && (filter & kServiceActive)) || (!active && (filter & kServiceInactive))) {
            out.push_back(std::move(entry));
        }
    }
    return true;
}

bool ControlService(SC_HANDLE service, DWORD control, ServiceStatus& status) {
    if (!IsService(service)) return false;
    Definition def;
    if (!FindDefinition(service->def.name, def)) return false;
    if (control == kServiceControlStop) {
        std::vector<ServiceEntry> dependents;
        if (!EnumDependentServices(service, kServiceActive, dependents)) return false;
        if (!dependents.empty()) {
            SetLastError(kErrorDependentServicesRunning);
            return false;
        }
    }
    StateFile file;
    if (!file.OpenExclusive(def.name)) return false;
    RunState run = file.Read();
    status = Evaluate(def, run);
    if (control == kServiceControlInterrogate) {
        if (!IsActive(status)) {
            SetLastError(kErrorServiceNotActive);
            return false;
        }
        return true;
    }
    if (control < kServiceControlStop || control > kServiceControlContinue) {
        SetLastError(kErrorInvalidServiceControl);
        return false;
    }
    if (!IsActive(status)) {
        SetLastError(kErrorServiceNotActive);
        return false;
    }
    const DWORD needed =
        control == kServiceControlStop ? kServiceAcceptStop : kServiceAcceptPauseContinue;
    if (status.currentState == kServiceStartPending || status.currentState == kServiceStopPending) {
        SetLastError(kErrorServiceCannotAcceptCtrl);
        return false;
    }
    if (!(def.acceptedControls & needed)) {
        SetLastError(kErrorInvalidServiceControl);
        return false;
    }
    switch (control) {
        case kServiceControlStop:
            // A paused process hears the stop only once it goes on.
            SignalGroup(run.pid, SIGTERM);
            SignalGroup(run.pid, SIGCONT);
            run.stopping = BootMilliseconds();
            break;
        case kServiceControlPause:
            SignalGroup(run.pid, SIGSTOP);
            run.paused = true;
            break;
        case kServiceControlContinue:
            SignalGroup(run.pid, SIGCONT);
            run.paused = false;
            break;
    }
    if (!file.Write(run)) return false;
    status = Evaluate(def, run);
    return true;
}

bool QueryServiceConfig(SC_HANDLE service, ServiceConfig& config) {
    if (!IsService(service)) return false;
    Definition def;
    if (!FindDefinition(service->def.name, def)) return false;
    config.serviceName = def.name;
    config.displayName = def.displayName;
    config.commandLine = def.imagePath;
    config.dependencies = def.dependencies;
    config.acceptedControls = def.acceptedControls;
    config.startType = def.startType;
    return true;
}

bool CreateService(SC_HANDLE manager, const ServiceConfig& config) {
    if (!IsManager(manager)) return false;
    if (config.serviceName.empty() || config.serviceName.size() > 256 ||
        config.serviceName.find_first_of("\\/") != std::string::npos ||
        config.commandLine.empty()) {
        SetLastError(kErrorInvalidName);
        return false;
    }
    std::vector<Definition> all;
    if (!AllDefinitions(all)) return false;
    const std::string& display =
        config.displayName.empty() ? config.serviceName : config.displayName;
    for (const Definition& def : all) {
        if (EqualsNoCase(def.name, config.serviceName)) {
            SetLastError(kErrorServiceExists);
            return false;
        }
        if (EqualsNoCase(def.displayName, display) || EqualsNoCase(def.name, display)) {
            SetLastError(kErrorDuplicateServiceName);
            return false;
        }
    }
    const std::string key = SjisToUtf8(std::string(kServicesKey) + "\\" + config.serviceName);
    std::string lines = RegKeyLine(key);
    lines += RegDwordLine("Type", kServiceWin32OwnProcess);
    lines += RegDwordLine("Start", config.startType);
    lines += RegDwordLine("ErrorControl", 1);
    lines += RegExpandStringLine("ImagePath", SjisToUtf8(config.commandLine));
    lines += RegStringLine("DisplayName", SjisToUtf8(display));
    lines += RegDwordLine("AcceptedControls", config.acceptedControls);
    if (!config.dependencies.empty()) {
        std::vector<std::string> names;
        for (const std::string& name : config.dependencies) names.push_back(SjisToUtf8(name));
        lines += RegMultiStringLine("DependOnService", names);
    }
    return AppendMachineRegistry(lines);
}

bool DeleteService(SC_HANDLE service) {
    if (!IsService(service)) return false;
    ServiceStatus status;
    if (!QueryServiceStatus(service, status)) return false;
    if (IsActive(status)) {
        SetLastError(kErrorServiceCannotAcceptCtrl);
        return false;
    }
    const std::string key = SjisToUtf8(std::string(kServicesKey) + "\\" + service->def.name);
    if (!AppendMachineRegistry(RegDeleteKeyLine(key))) return false;
    const std::string state = StatePath(service->def.name);
    DeleteFile(state);
    DeleteFile(state.substr(0, state.size() - 6) + ".log");
    return true;
}

}  // namespace platform

#include "session/service_link.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/codepage.h"
#include "platform/files.h"

namespace service_link {

namespace {

constexpr char kLockName[] = "Quorvik-service";
constexpr off_t kLogLimit = 1 << 20;
constexpr size_t kFirstLines = 200;  // what a window that opens later shows of the past

std::string FileOf(const char* extension) {
    const std::string folder = platform::PrivateRuntimeFolder();
    if (folder.empty()) return std::string();
    return folder + "/" + kLockName + "-" + std::to_string(static_cast<unsigned>(getuid())) +
           extension;
}

// A log line on one line of the file: its own line ends cannot break it.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
    return out;
}

std::string Unescaped(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return out;
}

bool ParseLine(std::string_view line, LogLine& out) {
    const size_t levelEnd = line.find('\t');
    const size_t timeEnd = line.find('\t', levelEnd == std::string_view::npos ? 0 : levelEnd + 1);
    if (levelEnd == std::string_view::npos || timeEnd == std::string_view::npos) return false;
    out.level = std::atoi(std::string(line.substr(0, levelEnd)).c_str());
    platform::SystemTime& t = out.time;
    const std::string time(line.substr(levelEnd + 1, timeEnd - levelEnd - 1));
    if (std::sscanf(time.c_str(), "%d-%d-%d %d:%d:%d.%d", &t.year, &t.month, &t.day, &t.hour,
                    &t.minute, &t.second, &t.milliseconds) != 7) {
        return false;
    }
    out.text = Unescaped(line.substr(timeEnd + 1));
    return true;
}

}  // namespace

Publisher::~Publisher() { Stop(); }

bool Publisher::Start(const std::string& configFolder) {
    if (!m_lock.Acquire(kLockName)) return false;
    m_state.pid = static_cast<long>(getpid());
    m_state.config = configFolder;
    m_started = true;
    WriteState();
    return true;
}

void Publisher::SetStatus(const std::string& status) {
    if (!m_started || status == m_state.status) return;
    m_state.status = status;
    WriteState();
}

void Publisher::WriteState() {
    const std::string path = FileOf(".state");
    if (path.empty()) return;
    std::string status = m_state.status;
    for (char& c : status) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    platform::WritePrivateFileAtomically(platform::NativeToPath(path),
                                         "pid=" + std::to_string(m_state.pid) + "\nconfig=" +
                                             m_state.config + "\nstatus=" + status + "\n");
}

void Publisher::AddLogLine(int level, const platform::SystemTime& t, const std::string& text) {
    if (!m_started) return;
    const std::string path = FileOf(".log");
    if (path.empty()) return;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size > kLogLimit) {
        rename(path.c_str(), (path + ".old").c_str());
    }
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    char head[64];
    std::snprintf(head, sizeof head, "%d\t%04d-%02d-%02d %02d:%02d:%02d.%03d\t", level, t.year,
                  t.month, t.day, t.hour, t.minute, t.second, t.milliseconds);
    const std::string line = head + Escaped(text) + "\n";
    if (write(fd, line.data(), line.size()) < 0) {
        // A window misses a line; the journal and the log file still have it.
    }
    close(fd);
}

void Publisher::Stop() {
    if (!m_started) return;
    m_started = false;
    const std::string path = FileOf(".state");
    if (!path.empty()) unlink(path.c_str());
    m_lock.Release();
}

bool FindService(State& state) {
    // The lock says whether it runs (the kernel drops it with the process); the file, what it
    // said of itself.
    platform::SingleInstance probe;
    if (probe.Acquire(kLockName)) return false;
    const std::string path = FileOf(".state");
    std::string text;
    if (path.empty() || !platform::ReadWholeFile(platform::NativeToPath(path), text)) return false;
    state = State();
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.rfind("pid=", 0) == 0) state.pid = std::atol(line.c_str() + 4);
        if (line.rfind("config=", 0) == 0) state.config = line.substr(7);
        if (line.rfind("status=", 0) == 0) state.status = line.substr(7);
    }
    return state.pid > 0;
}

bool AskReload(const State& state) {
    return state.pid > 0 && kill(static_cast<pid_t>(state.pid), SIGHUP) == 0;
}

std::vector<LogLine> LogFollower::ReadNew() {
    std::vector<LogLine> lines;
    const std::string path = FileOf(".log");
    if (path.empty()) return lines;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return lines;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return lines;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    // A new file (the old one grew too long): from its start; a window just opened: the end.
    if (m_file != static_cast<std::uint64_t>(st.st_ino) || size < m_offset) m_offset = 0;
    m_file = static_cast<std::uint64_t>(st.st_ino);
    std::string bytes(static_cast<size_t>(size - m_offset), '\0');
    const ssize_t got = pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(m_offset));
    close(fd);
    if (got <= 0) return lines;
    bytes.resize(static_cast<size_t>(got));
    // Only whole lines: the rest is read when its end is written.
    const size_t whole = bytes.rfind('\n');
    if (whole == std::string::npos) return lines;
    bytes.resize(whole + 1);
    m_offset += bytes.size();
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t end = bytes.find('\n', at);
        LogLine line;
        if (ParseLine(std::string_view(bytes).substr(at, end - at), line)) lines.push_back(line);
        at = end + 1;
    }
    if (!m_started && lines.size() > kFirstLines) {
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(kFirstLines));
    }
    m_started = true;
    return lines;
}

}  // namespace service_link

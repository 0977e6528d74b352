// Changes to an .evt file: appending records (wrapping when the file is full), clearing, and the
// header fields the tools set. Each holds the exclusive lock and marks the file dirty while the
// records change, so a crash leaves the end-of-file record as the one to trust.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/freshness.h"
#include "platform/machine/evt/evt_file.h"
#include "platform/supervisor.h"

namespace platform::evt {
namespace {

bool PWrite(int fd, std::uint64_t offset, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n =
            pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FailFromErrno();
        done += static_cast<size_t>(n);
    }
    return true;
}

// A writer's view of the state is not kept: the next use of the file reads it anew.
struct ForgetState {
    bool& known;
    ~ForgetState() { known = false; }
};

std::string EmptyLog(const Header& header) {
    Eof eof{kHeaderSize, kHeaderSize, header.currentNumber, header.oldestNumber};
    return EncodeHeader(header) + EncodeEof(eof);
}

}  // namespace

std::string FormatReadMark(long pid, unsigned long long start, std::uint32_t read) {
    return "Pid=" + std::to_string(pid) + "\r\nStart=" + std::to_string(start) +
           "\r\nRead=" + std::to_string(read) + "\r\n";
}

bool ParseReadMark(std::string_view text, long& pid, unsigned long long& start,
                   std::uint32_t& read) {
    bool hasPid = false, hasRead = false;
    start = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = line.substr(0, eq);
        std::int64_t value = 0;
        if (!ParseDecimal(line.substr(eq + 1), value) || value < 0) continue;
        if (key == "Pid" && value > 0 && value < 0x7FFFFFFF) {
            pid = static_cast<long>(value);
            hasPid = true;
        } else if (key == "Start") {
            start = static_cast<unsigned long long>(value);
        } else if (key == "Read" && value <= 0xFFFFFFFF) {
            read = static_cast<std::uint32_t>(value);
            hasRead = true;
        }
    }
    return hasPid && hasRead;
}

bool EvtFile::OpenForWriting(const std::string& path, std::uint32_t maxSize) {
    m_path = path;
    ForceDirectories(ExtractFilePath(path));
    m_fd = open(PathToNative(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) return FailFromErrno();
    m_writable = true;
    Lock lock(*this, LOCK_EX);
    struct stat st;
    if (fstat(m_fd, &st) != 0) return FailFromErrno();
    if (st.st_size != 0) return true;
    // Just created: an empty log.
    NoteLocalWrite();
    Header header;
    header.maxSize = maxSize;
    return PWrite(m_fd, 0, EmptyLog(header));
}

bool EvtFile::WriteCircular(std::uint32_t offset, std::string_view bytes) {
    const std::uint64_t room = m_state.fileSize - offset;
    if (bytes.size() <= room) return PWrite(m_fd, offset, bytes);
    return PWrite(m_fd, offset, bytes.substr(0, room)) &&
           PWrite(m_fd, kHeaderSize, bytes.substr(room));
}

// Writes the end-of-file record and the header of a state, the header last and clean.
bool EvtFile::CommitState(State& s) {
    const std::string eofBytes = EncodeEof(Eof{s.start, s.end, s.current, s.oldest});
    if (!WriteCircular(s.end, eofBytes)) return false;
    s.header.startOffset = s.start;
    s.header.endOffset = s.end;
    s.header.currentNumber = s.current;
    s.header.oldestNumber = s.oldest;
    s.header.flags &= ~kFlagDirty;
    return PWrite(m_fd, 0, EncodeHeader(s.header));
}

bool EvtFile::Append(Record record) {
    if (!m_writable) {
        SetLastError(kErrorAccessDenied);
        return false;
    }
    Lock lock(*this, LOCK_EX);
    ForgetState forget{m_stateKnown};
    NoteLocalWrite();
    if (!LoadState()) return false;
    State s = m_state;
    record.number = s.current;
    const std::string bytes = EncodeRecord(record);
    const auto length = static_cast<std::uint32_t>(bytes.size());

    const bool wrapped = (s.header.flags & kFlagWrapped) != 0;
    const std::uint64_t linearEnd = static_cast<std::uint64_t>(s.end) + length + kEofSize;
    if (!wrapped && s.start == kHeaderSize && s.end >= s.start &&
        linearEnd <= std::max<std::uint64_t>(s.header.maxSize, m_state.fileSize)) {
        if (linearEnd > m_state.fileSize) m_state.fileSize = linearEnd;
    } else {
        // The file is full: from now on it is a ring of fixed size.
        if (!wrapped) {
            const std::uint64_t capacity =
                std::max<std::uint64_t>(s.header.maxSize & ~3u, m_state.fileSize);
            if (ftruncate(m_fd, static_cast<off_t>(capacity)) != 0) return FailFromErrno();
            m_state.fileSize = capacity;
            s.fileSize = capacity;
            s.header.flags |= kFlagWrapped;
        }
        const std::uint32_t region = s.Region();
        if (length + kEofSize > region) {
            SetLastError(kErrorLogFileFull);
            return false;
        }
        // Free the oldest records until the new one and the end-of-file record fit.
        auto used = [&] {
            return s.Empty() ? 0u
                             : (s.end >= s.start ? s.end - s.start : region - (s.start - s.end));
        };
        while (region - used() < length + kEofSize && !s.Empty()) {
            // Nothing the watch has not read yet gives way.
            if (!MayOverwrite(s.oldest)) {
                SetLastError(kErrorLogFileFull);
                return false;
            }
            std::string head;
            if (!ReadCircular(s.start, 4, head)) return false;
            const std::uint32_t oldLength = Le32(head, 0);
            if (oldLength < kMinRecordSize || oldLength > region) {
                SetLastError(kErrorEventLogFileCorrupt);
                return false;
            }
            s.start = Advance(s.start, oldLength);
            ++s.oldest;
        }
    }
    if (s.Empty()) {
        s.start = s.end;
        s.oldest = record.number;
    }
    // Dirty while the record's bytes take the place of the old end-of-file record.
    std::string dirty;
    AppendLe32(dirty, s.header.flags | kFlagDirty);
    if (!PWrite(m_fd, 36, dirty)) return false;
    if (!WriteCircular(s.end, bytes)) return false;
    s.end = Advance(s.end, length);
    ++s.current;
    return CommitState(s);
}

bool EvtFile::MayOverwrite(std::uint32_t number) {
    struct stat st;
    const std::string markPath = PathToNative(m_path + ".watch");
    if (stat(markPath.c_str(), &st) != 0) {
        m_marked = false;
        m_markKey.clear();
        return true;
    }
    // Read again when the file changed, and the watcher looked at again every second.
    const std::string key = std::to_string(st.st_ino) + ':' + std::to_string(st.st_size) + ':' +
                            std::to_string(st.st_mtim.tv_sec) + '.' +
                            std::to_string(st.st_mtim.tv_nsec) + ':' +
                            std::to_string(CoarseMilliseconds() / 1000);
    if (key != m_markKey) {
        m_markKey = key;
        std::string text;
        m_marked = false;
        long pid = 0;
        unsigned long long start = 0;
        std::uint32_t read = 0;
        if (ReadWholeFile(m_path + ".watch", text) && ParseReadMark(text, pid, start, read)) {
            const ProcessState watcher = InspectProcess(pid);
            m_marked = SameProcess(pid, start, watcher) && !watcher.ended;
            m_mark = read;
        }
    }
    return !m_marked || static_cast<std::int32_t>(m_mark - number) >= 0;
}

bool EvtFile::Clear() {
    Lock lock(*this, LOCK_EX);
    ForgetState forget{m_stateKnown};
    NoteLocalWrite();
    if (!LoadState()) return false;
    Header header;
    header.maxSize = m_state.header.maxSize;
    header.retention = m_state.header.retention;
    if (ftruncate(m_fd, kHeaderSize + kEofSize) != 0) return FailFromErrno();
    return PWrite(m_fd, 0, EmptyLog(header));
}

bool EvtFile::SetMaxSize(std::uint32_t bytes) {
    Lock lock(*this, LOCK_EX);
    ForgetState forget{m_stateKnown};
    NoteLocalWrite();
    if (!LoadState()) return false;
    State s = m_state;
    s.header.maxSize = bytes;
    return CommitState(s);
}

bool EvtFile::Grow(std::uint32_t bytes) {
    Lock lock(*this, LOCK_EX);
    ForgetState forget{m_stateKnown};
    if (!LoadState()) return false;
    if ((m_state.header.flags & kFlagWrapped) || m_state.header.maxSize >= bytes) return true;
    NoteLocalWrite();
    State s = m_state;
    s.header.maxSize = bytes;
    return CommitState(s);
}

bool EvtFile::SetNextNumber(std::uint32_t number) {
    Lock lock(*this, LOCK_EX);
    ForgetState forget{m_stateKnown};
    NoteLocalWrite();
    if (!LoadState()) return false;
    State s = m_state;
    if (!s.Empty()) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    s.current = number;
    return CommitState(s);
}

}  // namespace platform::evt

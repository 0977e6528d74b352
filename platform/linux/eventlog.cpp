#include "platform/eventlog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>

#include "platform/accounts.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/linux/evt_format.h"
#include "platform/machine.h"
#include "platform/registry.h"

namespace platform {

using evt::kEofSize;
using evt::kHeaderSize;

namespace {

// Where the records of a file stand, from its header or, in a dirty file, from its
// end-of-file record.
struct LogState {
    evt::Header header;
    std::uint32_t start = kHeaderSize;
    std::uint32_t end = kHeaderSize;
    std::uint32_t current = 1;
    std::uint32_t oldest = 0;
    std::uint64_t fileSize = 0;  // the circular region is [kHeaderSize, fileSize)

    bool Empty() const { return start == end; }
    std::uint32_t Count() const { return Empty() ? 0 : current - oldest; }
    std::uint32_t Region() const { return static_cast<std::uint32_t>(fileSize) - kHeaderSize; }
};

// Holds an advisory lock on the file for one operation.
class FileLock {
public:
    FileLock(int fd, int operation) : m_fd(fd) {
        while (flock(m_fd, operation) != 0 && errno == EINTR) {
        }
    }
    ~FileLock() { flock(m_fd, LOCK_UN); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int m_fd;
};

bool PRead(int fd, std::uint64_t offset, size_t size, std::string& out) {
    out.resize(size);
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, out.data() + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            out.resize(done);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

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

}  // namespace

// One open .evt file: its state, a read-ahead window and the index from record number to
// offset that makes reading the newest records cost the same in any size of file.
struct EventLog {
    int fd = -1;
    bool writable = false;
    std::string path;
    std::string logName;

    LogState state;
    bool stateKnown = false;
    std::uint32_t eofHint = 0;  // where the end-of-file record was last found

    // Read-ahead window of the file, valid while the state is unchanged.
    std::string window;
    std::uint64_t windowStart = 0;
    std::string lastKey;  // what the file looked like when the window was read

    // Offsets of the records numbered firstNumber, firstNumber + 1, ...
    std::deque<std::uint32_t> offsets;
    std::uint32_t firstNumber = 0;
    std::uint32_t nextOffset = kHeaderSize;  // after the last indexed record
    bool indexDamaged = false;

    // Where a sequential read goes on.
    std::uint32_t sequentialNumber = 0;
    bool sequentialStarted = false;

    ~EventLog() {
        if (fd >= 0) close(fd);
    }

    // Records already converted to the ANSI layout, by number; an entry counts only while the
    // record's bytes at its offset are still the same.
    struct Converted {
        std::uint32_t offset;
        std::uint64_t hash;
        std::uint64_t generation;  // the file as it was when the bytes were last checked
        std::string ansi;
    };
    std::uint64_t generation = 0;  // counts the changes LoadState has seen
    std::unordered_map<std::uint32_t, Converted> converted;

    bool LoadState();
    bool ReadBytes(std::uint64_t offset, size_t size, std::string& out);
    bool ReadCircular(std::uint32_t offset, std::uint32_t size, std::string& out);
    bool View(std::uint32_t offset, std::uint32_t size, std::string& scratch,
              std::string_view& out);
    std::uint32_t Advance(std::uint32_t offset, std::uint32_t by) const;
    bool RecordAt(std::uint32_t offset, std::uint32_t expectedNumber, std::string& scratch,
                  std::string_view& record);
    void UpdateIndex();
    bool FindRecord(std::uint32_t number, std::string& scratch, std::string_view& record,
                    std::uint32_t& offset);
    const std::string* AnsiOf(std::uint32_t number);
};

bool EventLog::ReadBytes(std::uint64_t offset, size_t size, std::string& out) {
    if (offset >= windowStart && offset + size <= windowStart + window.size()) {
        out.assign(window, static_cast<size_t>(offset - windowStart), size);
        return true;
    }
    constexpr size_t kWindow = 256 * 1024;
    if (size > kWindow / 2) return PRead(fd, offset, size, out);
    windowStart = offset;
    PRead(fd, offset, kWindow, window);  // a short read near the end is expected
    if (window.size() < size) return false;
    out.assign(window, 0, size);
    return true;
}

std::uint32_t EventLog::Advance(std::uint32_t offset, std::uint32_t by) const {
    std::uint64_t next = static_cast<std::uint64_t>(offset) + by;
    if (next >= state.fileSize) next = next - state.fileSize + kHeaderSize;
    return static_cast<std::uint32_t>(next);
}

bool EventLog::ReadCircular(std::uint32_t offset, std::uint32_t size, std::string& out) {
    if (offset < kHeaderSize || offset >= state.fileSize || size > state.Region()) return false;
    std::uint64_t first = std::min<std::uint64_t>(size, state.fileSize - offset);
    if (!ReadBytes(offset, static_cast<size_t>(first), out)) return false;
    if (first < size) {
        std::string rest;
        if (!ReadBytes(kHeaderSize, static_cast<size_t>(size - first), rest)) return false;
        out += rest;
    }
    return true;
}

bool EventLog::LoadState() {
    std::string bytes;
    if (!PRead(fd, 0, kHeaderSize, bytes)) {
        SetLastError(kErrorEventLogFileCorrupt);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) return FailFromErrno();
    // The header, size, time and identity of the file tell whether anything changed; a clean
    // file that has not changed keeps its state.
    std::string key = bytes;
    for (std::uint64_t v :
         {static_cast<std::uint64_t>(st.st_size), static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::uint64_t>(st.st_mtim.tv_sec),
          static_cast<std::uint64_t>(st.st_mtim.tv_nsec)}) {
        key.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
    if (stateKnown && key == lastKey && !(state.header.flags & evt::kFlagDirty)) return true;
    if (key != lastKey) {
        window.clear();
        windowStart = 0;
        lastKey = key;
        ++generation;
    }
    stateKnown = false;
    LogState s;
    s.fileSize = static_cast<std::uint64_t>(st.st_size);
    if (!evt::ParseHeader(bytes, s.header) || s.fileSize < kHeaderSize + kEofSize ||
        s.fileSize > 0xFFFFFFFFull) {
        SetLastError(kErrorEventLogFileCorrupt);
        return false;
    }
    s.start = s.header.startOffset;
    s.end = s.header.endOffset;
    s.current = s.header.currentNumber;
    s.oldest = s.header.oldestNumber;
    if (s.header.flags & evt::kFlagDirty) {
        // The header is stale; the end-of-file record holds the truth. Look where it was last,
        // then walk the region from the header's end offset.
        if (s.fileSize != state.fileSize) eofHint = 0;
        std::uint32_t region = static_cast<std::uint32_t>(s.fileSize) - kHeaderSize;
        state.fileSize = s.fileSize;
        bool found = false;
        std::string eofBytes;
        evt::Eof eof;
        auto tryAt = [&](std::uint32_t offset) {
            return ReadCircular(offset, kEofSize, eofBytes) && evt::ParseEof(eofBytes, eof) &&
                   eof.endOffset == offset;
        };
        if (eofHint >= kHeaderSize && tryAt(eofHint)) {
            found = true;
        } else {
            std::uint32_t from = (s.end >= kHeaderSize && s.end < s.fileSize) ? s.end : kHeaderSize;
            from -= (from - kHeaderSize) % 4;
            for (std::uint32_t walked = 0; walked < region && !found; walked += 4) {
                std::uint32_t at = from + walked;
                if (at >= s.fileSize)
                    at = at - static_cast<std::uint32_t>(s.fileSize) + kHeaderSize;
                found = tryAt(at);
            }
        }
        if (!found) {
            SetLastError(kErrorEventLogFileCorrupt);
            return false;
        }
        eofHint = eof.endOffset;
        s.start = eof.startOffset;
        s.end = eof.endOffset;
        s.current = eof.currentNumber;
        s.oldest = eof.oldestNumber;
    }
    if (s.start < kHeaderSize || s.start >= s.fileSize || s.end < kHeaderSize ||
        s.end >= s.fileSize) {
        SetLastError(kErrorEventLogFileCorrupt);
        return false;
    }
    state = s;
    stateKnown = true;
    return true;
}

// A range of the circular region: a view of the read-ahead window when it lies in one piece,
// else a copy in scratch.
bool EventLog::View(std::uint32_t offset, std::uint32_t size, std::string& scratch,
                    std::string_view& out) {
    if (offset < kHeaderSize || offset >= state.fileSize || size > state.Region()) return false;
    if (offset + static_cast<std::uint64_t>(size) <= state.fileSize) {
        constexpr size_t kWindow = 256 * 1024;
        const bool inWindow = offset >= windowStart && offset + static_cast<std::uint64_t>(size) <=
                                                           windowStart + window.size();
        if (!inWindow && size <= kWindow / 2) {
            windowStart = offset;
            PRead(fd, offset, kWindow, window);  // a short read near the end is expected
        }
        if (offset >= windowStart &&
            offset + static_cast<std::uint64_t>(size) <= windowStart + window.size()) {
            out = std::string_view(window).substr(static_cast<size_t>(offset - windowStart), size);
            return true;
        }
    }
    if (!ReadCircular(offset, size, scratch)) return false;
    out = scratch;
    return true;
}

// The record at an offset, checked whole, with the number it must carry.
bool EventLog::RecordAt(std::uint32_t offset, std::uint32_t expectedNumber, std::string& scratch,
                        std::string_view& record) {
    std::string_view head;
    if (!View(offset, 12, scratch, head)) return false;
    const std::uint32_t length = evt::ReadU32(head.data());
    if (length < evt::kMinRecordSize || length % 4 != 0 || length > state.Region() - kEofSize ||
        evt::ReadU32(head.data() + 4) != evt::kSignature ||
        evt::ReadU32(head.data() + 8) != expectedNumber) {
        return false;
    }
    if (!View(offset, length, scratch, record)) return false;
    return evt::ReadU32(record.data() + length - 4) == length;
}

void EventLog::UpdateIndex() {
    const std::uint32_t count = state.Count();
    // Keep what is still valid: the oldest record must stand where the index has it.
    std::uint32_t skip = state.oldest - firstNumber;
    bool keep = !offsets.empty() && skip <= offsets.size() &&
                (skip < offsets.size() ? offsets[skip] == state.start : nextOffset == state.start);
    if (keep) {
        offsets.erase(offsets.begin(), offsets.begin() + skip);
        firstNumber = state.oldest;
        if (offsets.size() > count) offsets.resize(count);
    } else {
        offsets.clear();
        converted.clear();
        firstNumber = state.oldest;
        nextOffset = state.start;
        indexDamaged = false;
    }
    if (state.Empty()) {
        offsets.clear();
        nextOffset = state.start;
        return;
    }
    // Walk the records not yet indexed; the walk can never cover more than the region.
    std::string scratch;
    std::string_view bytes;
    std::uint64_t walked = 0;
    while (offsets.size() < count && !indexDamaged) {
        const std::uint32_t number = firstNumber + static_cast<std::uint32_t>(offsets.size());
        if (!RecordAt(nextOffset, number, scratch, bytes)) {
            // A writer may leave the end of the region unused when a record did not fit there.
            if (nextOffset != kHeaderSize && RecordAt(kHeaderSize, number, scratch, bytes)) {
                nextOffset = kHeaderSize;
            } else {
                indexDamaged = true;
                break;
            }
        }
        const auto length = static_cast<std::uint32_t>(bytes.size());
        walked += length;
        if (walked > state.Region()) {
            indexDamaged = true;
            break;
        }
        offsets.push_back(nextOffset);
        nextOffset = Advance(nextOffset, length);
    }
}

bool EventLog::FindRecord(std::uint32_t number, std::string& scratch, std::string_view& record,
                          std::uint32_t& offset) {
    const std::uint32_t count = state.Count();
    if (number - state.oldest >= count) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        UpdateIndex();
        std::uint32_t index = number - firstNumber;
        if (index < offsets.size() && RecordAt(offsets[index], number, scratch, record)) {
            offset = offsets[index];
            return true;
        }
        // The file changed under the index (a cleared and refilled log): index it anew once.
        offsets.clear();
        converted.clear();
    }
    SetLastError(kErrorEventLogFileCorrupt);
    return false;
}

// The record in the ANSI layout, converted once and reused while its bytes stay the same.
const std::string* EventLog::AnsiOf(std::uint32_t number) {
    // An unchanged file holds unchanged records: no need to look at the bytes again.
    auto known = converted.find(number);
    if (known != converted.end() && known->second.generation == generation)
        return &known->second.ansi;
    std::string scratch;
    std::string_view bytes;
    std::uint32_t offset = 0;
    if (!FindRecord(number, scratch, bytes, offset)) return nullptr;
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    auto it = converted.find(number);
    if (it != converted.end() && it->second.offset == offset && it->second.hash == hash) {
        it->second.generation = generation;
        return &it->second.ansi;
    }
    evt::Record record;
    if (!evt::DecodeRecord(bytes, record)) {
        SetLastError(kErrorEventLogFileCorrupt);
        return nullptr;
    }
    if (converted.size() >= 4096) converted.clear();
    Converted& slot = converted[number];
    slot = Converted{offset, hash, generation, evt::AnsiRecord(record)};
    return &slot.ansi;
}

namespace {

constexpr std::uint32_t kDefaultMaxSize = 0x80000;

std::string LogKeyPath(std::string_view logName) {
    return std::string(kEventLogKey) + "\\" + std::string(logName);
}

// The registry's spelling of a log name, or empty when no log has that name.
std::string RegisteredLogName(std::string_view logName) {
    HKEY key = nullptr;
    if (logName.empty() || logName.find('\\') != std::string_view::npos ||
        RegOpenKeyEx(HKEY_LOCAL_MACHINE, kEventLogKey, key) != kErrorSuccess) {
        return std::string();
    }
    std::string found;
    std::string name;
    std::string wanted = SjisToUtf8(logName);
    for (DWORD i = 0; RegEnumKeyEx(key, i, name) == kErrorSuccess; ++i) {
        std::string utf8 = SjisToUtf8(name);
        if (EqualsNoCase(utf8, wanted)) {
            found = name;
            break;
        }
    }
    RegCloseKey(key);
    return found;
}

bool OpenFile(EventLog& log, bool writable) {
    int flags = O_CLOEXEC | (writable ? (O_RDWR | O_CREAT) : O_RDONLY);
    log.fd = open(SjisToUtf8(log.path).c_str(), flags, 0666);
    if (log.fd < 0) return FailFromErrno();
    log.writable = writable;
    return true;
}

// Makes an empty log in a file that has no header yet (just created).
bool InitializeIfNew(EventLog& log, std::uint32_t maxSize) {
    struct stat st;
    if (fstat(log.fd, &st) != 0) return FailFromErrno();
    if (st.st_size != 0) return true;
    evt::Header header;
    header.maxSize = maxSize;
    evt::Eof eof{kHeaderSize, kHeaderSize, header.currentNumber, header.oldestNumber};
    return PWrite(log.fd, 0, evt::EncodeHeader(header) + evt::EncodeEof(eof));
}

std::uint32_t ConfiguredMaxSize(std::string_view logName) {
    DWORD size = 0;
    if (ReadMachineDword(LogKeyPath(logName), "MaxSize", size) && size >= 0x10000) return size;
    return kDefaultMaxSize;
}

EventLog* OpenLogForWriting(std::string_view logName) {
    auto log = std::make_unique<EventLog>();
    log->logName = std::string(logName);
    log->path = EventLogFilePath(logName);
    ForceDirectories(ExtractFilePath(log->path));
    if (!OpenFile(*log, true)) return nullptr;
    FileLock lock(log->fd, LOCK_EX);
    if (!InitializeIfNew(*log, ConfiguredMaxSize(logName))) return nullptr;
    return log.release();
}

// Writes the header and end-of-file record of a state, the header last and clean.
bool CommitState(EventLog& log, LogState& s) {
    evt::Eof eof{s.start, s.end, s.current, s.oldest};
    std::string eofBytes = evt::EncodeEof(eof);
    std::uint32_t first =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(kEofSize, log.state.fileSize - s.end));
    if (!PWrite(log.fd, s.end, std::string_view(eofBytes).substr(0, first))) return false;
    if (first < kEofSize &&
        !PWrite(log.fd, kHeaderSize, std::string_view(eofBytes).substr(first))) {
        return false;
    }
    s.header.startOffset = s.start;
    s.header.endOffset = s.end;
    s.header.currentNumber = s.current;
    s.header.oldestNumber = s.oldest;
    s.header.flags &= ~evt::kFlagDirty;
    return PWrite(log.fd, 0, evt::EncodeHeader(s.header));
}

bool WriteCircular(EventLog& log, std::uint32_t offset, std::string_view bytes) {
    std::uint64_t room = log.state.fileSize - offset;
    if (bytes.size() <= room) return PWrite(log.fd, offset, bytes);
    return PWrite(log.fd, offset, bytes.substr(0, room)) &&
           PWrite(log.fd, kHeaderSize, bytes.substr(room));
}

bool AppendRecord(EventLog& log, evt::Record record) {
    FileLock lock(log.fd, LOCK_EX);
    if (!log.LoadState()) return false;
    LogState s = log.state;
    record.number = s.current;
    const std::string bytes = evt::EncodeRecord(record);
    const auto length = static_cast<std::uint32_t>(bytes.size());

    // Mark the file dirty while it changes, so that a crash leaves the end-of-file record as
    // the one to trust.
    std::string dirty;
    evt::PutU32(dirty, s.header.flags | evt::kFlagDirty);
    if (!PWrite(log.fd, 36, dirty)) return false;

    const bool wrapped = (s.header.flags & evt::kFlagWrapped) != 0;
    const std::uint64_t linearEnd = static_cast<std::uint64_t>(s.end) + length + kEofSize;
    if (!wrapped && s.start == kHeaderSize && s.end >= s.start &&
        linearEnd <= std::max<std::uint64_t>(s.header.maxSize, log.state.fileSize)) {
        if (linearEnd > log.state.fileSize) log.state.fileSize = linearEnd;
    } else {
        // The file is full: from now on it is a ring of fixed size.
        if (!wrapped) {
            std::uint64_t capacity =
                std::max<std::uint64_t>(s.header.maxSize & ~3u, log.state.fileSize);
            if (ftruncate(log.fd, static_cast<off_t>(capacity)) != 0) return FailFromErrno();
            log.state.fileSize = capacity;
            s.fileSize = capacity;
            s.header.flags |= evt::kFlagWrapped;
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
            std::string head;
            if (!log.ReadCircular(s.start, 4, head)) return false;
            std::uint32_t oldLength = evt::ReadU32(head.data());
            if (oldLength < evt::kMinRecordSize || oldLength > region) {
                SetLastError(kErrorEventLogFileCorrupt);
                return false;
            }
            s.start = log.Advance(s.start, oldLength);
            ++s.oldest;
        }
    }
    if (s.Empty()) {
        s.start = s.end;
        s.oldest = record.number;
    }
    if (!WriteCircular(log, s.end, bytes)) return false;
    s.end = log.Advance(s.end, length);
    ++s.current;
    return CommitState(log, s);
}

}  // namespace

std::string EventLogFilePath(std::string_view logName) {
    std::string file;
    if (!ReadMachineString(LogKeyPath(logName), "File", file) || file.empty()) {
        file = "%SystemRoot%\\system32\\config\\" + std::string(logName) + ".evt";
    }
    return MapMachinePath(ExpandMachineEnvironment(file));
}

bool CreateEventLogFile(std::string_view logName) {
    EventLog* log = OpenLogForWriting(logName);
    if (!log) return false;
    delete log;
    return true;
}

std::string LogOfSource(std::string_view sourceName) {
    HKEY key = nullptr;
    std::string result = "Application";
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kEventLogKey, key) != kErrorSuccess) return result;
    std::string logName;
    for (DWORD i = 0; RegEnumKeyEx(key, i, logName) == kErrorSuccess; ++i) {
        HKEY source = nullptr;
        if (RegOpenKeyEx(key, logName + "\\" + std::string(sourceName), source) == kErrorSuccess) {
            RegCloseKey(source);
            result = logName;
            break;
        }
    }
    RegCloseKey(key);
    return result;
}

EventLogHandle OpenEventLog(std::string_view server, std::string_view logName) {
    // The local computer, by no name, ".", or its own name; there is no other computer.
    std::string_view host =
        server.substr(server.rfind('\\') == std::string_view::npos ? 0 : server.rfind('\\') + 1);
    std::string local;
    if (!host.empty() && host != "." &&
        !(GetComputerName(local, 256) && EqualsNoCase(host, local))) {
        SetLastError(kErrorBadNetPath);
        return nullptr;
    }
    std::string name = RegisteredLogName(logName);
    if (name.empty()) name = RegisteredLogName("Application");
    if (name.empty()) {
        SetLastError(kErrorFileNotFound);
        return nullptr;
    }
    // The service creates a registered log's file when it is missing.
    if (!FileExists(EventLogFilePath(name)) && !CreateEventLogFile(name)) return nullptr;
    auto log = std::make_unique<EventLog>();
    log->logName = name;
    log->path = EventLogFilePath(name);
    if (!OpenFile(*log, false)) return nullptr;
    return log.release();
}

EventLogHandle OpenBackupEventLog(std::string_view, const std::string& path) {
    auto log = std::make_unique<EventLog>();
    log->path = path;
    if (!OpenFile(*log, false)) return nullptr;
    FileLock lock(log->fd, LOCK_SH);
    if (!log->LoadState()) return nullptr;
    return log.release();
}

bool GetNumberOfEventLogRecords(EventLogHandle log, DWORD& count) {
    if (!log) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    FileLock lock(log->fd, LOCK_SH);
    if (!log->LoadState()) return false;
    count = log->state.Count();
    return true;
}

bool GetOldestEventLogRecord(EventLogHandle log, DWORD& oldest) {
    if (!log) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    FileLock lock(log->fd, LOCK_SH);
    if (!log->LoadState()) return false;
    oldest = log->state.oldest;
    return true;
}

bool ReadEventLog(EventLogHandle log, DWORD flags, DWORD recordNumber, void* buffer,
                  DWORD bufferSize, DWORD* bytesRead, DWORD* needed) {
    if (bytesRead) *bytesRead = 0;
    if (needed) *needed = 0;
    if (!log) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    const bool seek = (flags & kEventLogSeekRead) != 0;
    const bool sequential = (flags & kEventLogSequentialRead) != 0;
    const bool forwards = (flags & kEventLogForwardsRead) != 0;
    const bool backwards = (flags & kEventLogBackwardsRead) != 0;
    if (seek == sequential || forwards == backwards || !buffer) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    FileLock lock(log->fd, LOCK_SH);
    if (!log->LoadState()) return false;
    const LogState& s = log->state;

    std::uint32_t number;
    if (seek) {
        number = recordNumber;
        if (number - s.oldest >= s.Count()) {
            SetLastError(kErrorInvalidParameter);
            return false;
        }
    } else {
        if (!log->sequentialStarted) {
            log->sequentialNumber = backwards ? s.current - 1 : s.oldest;
            log->sequentialStarted = true;
        }
        number = log->sequentialNumber;
        if (s.Empty() || number - s.oldest >= s.Count()) {
            SetLastError(kErrorHandleEof);
            return false;
        }
    }

    auto* out = static_cast<char*>(buffer);
    DWORD used = 0;
    for (;;) {
        const std::string* converted = log->AnsiOf(number);
        if (!converted) {
            if (used > 0) break;  // give what was read; the damage shows at the next read
            return false;
        }
        const std::string& ansi = *converted;
        if (ansi.size() > bufferSize - used) {
            if (used == 0) {
                if (needed) *needed = static_cast<DWORD>(ansi.size());
                SetLastError(kErrorInsufficientBuffer);
                return false;
            }
            break;
        }
        std::memcpy(out + used, ansi.data(), ansi.size());
        used += static_cast<DWORD>(ansi.size());
        number = backwards ? number - 1 : number + 1;
        if (number - s.oldest >= s.Count()) break;
    }
    log->sequentialNumber = number;
    log->sequentialStarted = true;
    if (bytesRead) *bytesRead = used;
    return true;
}

bool CloseEventLog(EventLogHandle log) {
    if (!log) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    delete log;
    return true;
}

bool ClearEventLog(EventLogHandle log) {
    if (!log) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (log->logName.empty()) {  // a backup file is read only
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    EventLog* writer = OpenLogForWriting(log->logName);
    if (!writer) return false;
    std::unique_ptr<EventLog> owner(writer);
    FileLock lock(writer->fd, LOCK_EX);
    if (!writer->LoadState()) return false;
    evt::Header header;
    header.maxSize = writer->state.header.maxSize;
    header.retention = writer->state.header.retention;
    evt::Eof eof{kHeaderSize, kHeaderSize, header.currentNumber, header.oldestNumber};
    if (ftruncate(writer->fd, kHeaderSize + kEofSize) != 0) return FailFromErrno();
    return PWrite(writer->fd, 0, evt::EncodeHeader(header) + evt::EncodeEof(eof));
}

bool ReportEvent(std::string_view sourceName, const EventToWrite& event) {
    std::string logName = LogOfSource(sourceName);
    std::unique_ptr<EventLog> log(OpenLogForWriting(logName));
    if (!log) return false;
    evt::Record record;
    const std::int64_t now = NowUnixMilliseconds() / 1000;
    record.timeWritten = static_cast<std::uint32_t>(now);
    record.timeGenerated =
        static_cast<std::uint32_t>(event.timeGenerated >= 0 ? event.timeGenerated : now);
    record.eventId = event.eventId;
    record.type = event.type;
    record.category = event.category;
    record.source = SjisToUtf16(sourceName);
    std::string computer = event.computer;
    if (computer.empty() && !GetComputerName(computer)) computer = "";
    record.computer = SjisToUtf16(computer);
    record.sid = event.sid;
    for (const std::string& s : event.strings) record.strings.push_back(SjisToUtf16(s));
    record.data = event.data;
    if (record.strings.size() > 0xFFFF) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    return AppendRecord(*log, std::move(record));
}

bool SetEventLogMaxSize(std::string_view logName, DWORD bytes) {
    std::unique_ptr<EventLog> log(OpenLogForWriting(logName));
    if (!log) return false;
    FileLock lock(log->fd, LOCK_EX);
    if (!log->LoadState()) return false;
    LogState s = log->state;
    s.header.maxSize = bytes;
    return CommitState(*log, s);
}

bool SetEventLogNextRecord(std::string_view logName, DWORD number) {
    std::unique_ptr<EventLog> log(OpenLogForWriting(logName));
    if (!log) return false;
    FileLock lock(log->fd, LOCK_EX);
    if (!log->LoadState()) return false;
    LogState s = log->state;
    if (!s.Empty()) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    s.current = number;
    return CommitState(*log, s);
}

}  // namespace platform

#include "platform/machine/eventlog.h"

#include <cstring>
#include <memory>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/accounts.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/evt/evt_file.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry.h"

namespace platform {
namespace {

// The registry's spelling of a log name, or empty when no log has that name.
std::string RegisteredLogName(std::string_view logName) {
    UniqueKey key;
    if (logName.empty() || logName.find('\\') != std::string_view::npos ||
        RegOpenKeyEx(HKEY_LOCAL_MACHINE, kEventLogKey, key.Out()) != kErrorSuccess) {
        return std::string();
    }
    std::string name;
    for (DWORD i = 0; RegEnumKeyEx(key.Get(), i, name) == kErrorSuccess; ++i) {
        if (EqualsNoCase(name, logName)) return name;
    }
    return std::string();
}

// A zero-terminated text starting at pos, ending at the limit at the latest; pos moves past
// its terminator.
std::string_view TakeText(std::string_view record, size_t& pos, size_t limit) {
    if (pos >= limit) return std::string_view();
    const size_t zero = record.find('\0', pos);
    const size_t stop = (zero == std::string_view::npos || zero > limit) ? limit : zero;
    std::string_view text = record.substr(pos, stop - pos);
    pos = stop + 1;
    return text;
}

// The first bytes of a file, fewer when it is shorter.
bool ReadFilePrefix(const std::string& path, size_t size, std::string& out) {
    File file;
    if (!file.Open(path, File::Access::Read, File::Disposition::OpenExisting, File::Share::Read))
        return false;
    out.resize(size);
    size_t read = 0;
    if (!file.Read(out.data(), size, &read)) return false;
    out.resize(read);
    return true;
}

// Puts a record after the used bytes of the buffer. When it does not fit: false, and for the
// first record of a read, error 122 with *needed set.
bool AppendRecord(const std::string& ansi, char* out, DWORD bufferSize, DWORD& used, DWORD* needed,
                  bool& failed) {
    if (ansi.size() > bufferSize - used) {
        if (used == 0) {
            if (needed) *needed = static_cast<DWORD>(ansi.size());
            SetLastError(kErrorInsufficientBuffer);
            failed = true;
        }
        return false;
    }
    std::memcpy(out + used, ansi.data(), ansi.size());
    used += static_cast<DWORD>(ansi.size());
    return true;
}

std::unique_ptr<EventLog> OpenEvtx(const std::string& path, std::string name) {
    auto log = std::make_unique<EventLog>();
    log->logName = std::move(name);
    log->evtx = std::make_unique<evtx::EvtxFile>();
    if (!log->evtx->Open(path)) return nullptr;
    return log;
}

// ReadEventLog of an .evtx file: numbers are record identifiers, which a damaged chunk can
// leave with gaps. A sequential read passes over a gap; a seek read of a number in one fails
// with ERROR_NOT_FOUND, so that a reader knows that the record is missing, not unreadable.
bool ReadEvtx(EventLog& log, bool seek, bool backwards, DWORD recordNumber, char* out,
              DWORD bufferSize, DWORD* bytesRead, DWORD* needed) {
    evtx::EvtxFile& file = *log.evtx;
    if (!file.Refresh()) return false;
    const evtx::State& s = file.CurrentState();
    std::uint32_t number = seek ? recordNumber : log.sequentialNumber;
    if (!seek && !log.sequentialStarted) number = backwards ? s.current - 1 : s.oldest;
    if (s.count == 0 || number < s.oldest || number >= s.current) {
        SetLastError(seek ? kErrorInvalidParameter : kErrorHandleEof);
        return false;
    }
    if (!seek) {
        number = file.Next(number, backwards);
        if (number == 0) {
            SetLastError(kErrorHandleEof);
            return false;
        }
    } else if (!file.Ansi(number)) {
        SetLastError(kErrorNotFound);
        return false;
    }
    DWORD used = 0;
    while (number != 0) {
        bool failed = false;
        const std::string* ansi = file.Ansi(number);
        if (!ansi) {
            // Its chunk changed since the last look: the next read sees the file anew.
            if (used > 0) break;
            SetLastError(kErrorNotFound);
            return false;
        }
        if (!AppendRecord(*ansi, out, bufferSize, used, needed, failed)) {
            if (failed) return false;
            break;
        }
        const std::uint32_t after = backwards ? number - 1 : number + 1;
        number = after == 0 || after >= s.current ? 0 : file.Next(after, backwards);
        if (seek) {
            log.sequentialNumber = after;
            break;
        }
        log.sequentialNumber = number == 0 ? after : number;
    }
    log.sequentialStarted = true;
    if (bytesRead) *bytesRead = used;
    return true;
}

}  // namespace

std::string EventLogKeyPath(std::string_view logName) {
    std::string path(kEventLogKey);
    path += '\\';
    path += logName;
    return path;
}

namespace {

// Marks no event's own data starts with by chance: the sender's rendering first, or as a fallback.
constexpr std::string_view kCarriedFirst("QuorvikCarried\x01", 15);
constexpr std::string_view kCarriedFallback("QuorvikCarried\x02", 15);

}  // namespace

std::string CarriedTextsData(const CarriedTexts& texts) {
    std::string data(texts.fallback ? kCarriedFallback : kCarriedFirst);
    for (const std::string* text : {&texts.category, &texts.user, &texts.description}) {
        data += std::to_string(text->size()) + ':' + *text;
    }
    return data;
}

bool ReadCarriedTexts(std::string_view data, CarriedTexts& texts) {
    const std::string_view mark = data.substr(0, kCarriedFirst.size());
    if (mark != kCarriedFirst && mark != kCarriedFallback) return false;
    texts.fallback = mark == kCarriedFallback;
    data.remove_prefix(mark.size());
    for (std::string* text : {&texts.category, &texts.user, &texts.description}) {
        const size_t colon = data.find(':');
        if (colon == std::string_view::npos || colon == 0 || colon > 9) return false;
        size_t length = 0;
        for (char c : data.substr(0, colon)) {
            if (c < '0' || c > '9') return false;
            length = length * 10 + static_cast<size_t>(c - '0');
        }
        data.remove_prefix(colon + 1);
        if (length > data.size()) return false;
        text->assign(data.substr(0, length));
        data.remove_prefix(length);
    }
    return true;
}

bool ParseEventLogRecord(std::string_view buffer, EventLogRecordParts& parts) {
    EventLogRecord& fixed = parts.fixed;
    if (buffer.size() < sizeof fixed + 4) return false;
    std::memcpy(&fixed, buffer.data(), sizeof fixed);
    if (fixed.Length < sizeof fixed + 4 || fixed.Length > buffer.size()) return false;
    const std::string_view record = buffer.substr(0, fixed.Length);
    const size_t limit = fixed.Length - 4;  // the trailing length is not content
    size_t pos = sizeof fixed;
    parts.source = TakeText(record, pos, limit);
    parts.computer = TakeText(record, pos, limit);
    const std::string_view content = record.substr(0, limit);
    parts.sid = fixed.UserSidLength > 0 && Fits(content, fixed.UserSidOffset, fixed.UserSidLength)
                    ? content.substr(fixed.UserSidOffset, fixed.UserSidLength)
                    : std::string_view();
    parts.data = fixed.DataLength > 0 && Fits(content, fixed.DataOffset, fixed.DataLength)
                     ? content.substr(fixed.DataOffset, fixed.DataLength)
                     : std::string_view();
    parts.strings.clear();
    size_t at = fixed.StringOffset;
    for (unsigned i = 0; i < fixed.NumStrings && at < limit; ++i) {
        parts.strings.push_back(TakeText(record, at, limit));
    }
    return true;
}

EventLogHandle OpenEventLog(std::string_view server, std::string_view logName) {
    // The local computer, by no name, ".", or its own name; there is no other computer.
    const size_t slash = server.rfind('\\');
    const std::string_view host = server.substr(slash == std::string_view::npos ? 0 : slash + 1);
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
    const std::string path = EventLogFilePath(name);
    if (IsEvtxFile(path)) return OpenEvtx(path, name).release();
    // The service creates a registered log's file when it is missing.
    if (!FileExists(path) && !CreateEventLogFile(name)) return nullptr;
    auto log = std::make_unique<EventLog>();
    log->logName = name;
    if (!log->file.OpenForReading(path)) return nullptr;
    return log.release();
}

EventLogHandle OpenBackupEventLog(std::string_view, const std::string& path) {
    std::string head;
    if (!ReadFilePrefix(path, 8, head)) return nullptr;
    if (head == std::string_view("ElfFile\0", 8)) {
        return OpenEvtx(path, std::string()).release();
    }
    auto log = std::make_unique<EventLog>();
    if (!log->file.OpenForReading(path) || !log->file.Refresh()) return nullptr;
    return log.release();
}

bool GetNumberOfEventLogRecords(EventLogHandle log, DWORD& count) {
    if (!log) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (log->evtx) {
        if (!log->evtx->Refresh()) return false;
        const evtx::State& s = log->evtx->CurrentState();
        // The span of the numbers, as a classic log's count is: a reader asks for oldest to
        // oldest + count - 1.
        count = s.count == 0 ? 0 : s.current - s.oldest;
        return true;
    }
    if (!log->file.Refresh()) return false;
    count = log->file.CurrentState().Count();
    return true;
}

bool GetOldestEventLogRecord(EventLogHandle log, DWORD& oldest) {
    if (!log) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (log->evtx) {
        if (!log->evtx->Refresh()) return false;
        oldest = log->evtx->CurrentState().oldest;
        return true;
    }
    if (!log->file.Refresh()) return false;
    oldest = log->file.CurrentState().oldest;
    return true;
}

bool GetNextEventLogRecord(EventLogHandle log, DWORD& next) {
    if (!log) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (log->evtx) {
        if (!log->evtx->Refresh()) return false;
        next = log->evtx->CurrentState().current;
        return true;
    }
    if (!log->file.Refresh()) return false;
    next = log->file.CurrentState().current;
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
    if (log->evtx) {
        return ReadEvtx(*log, seek, backwards, recordNumber, static_cast<char*>(buffer), bufferSize,
                        bytesRead, needed);
    }
    evt::EvtFile& file = log->file;
    // The state is read anew only when what the reader knows cannot answer: a sequential read
    // that starts or reaches the end, a number it does not hold.
    std::uint32_t number = seek ? recordNumber : log->sequentialNumber;
    if ((!seek && !log->sequentialStarted) || !file.Knows(number)) {
        if (!file.Refresh()) return false;
    }
    const evt::State& s = file.CurrentState();
    if (!seek && !log->sequentialStarted) {
        number = backwards ? s.current - 1 : s.oldest;
        log->sequentialStarted = true;
        log->sequentialNumber = number;
    }
    if (!s.Holds(number)) {
        SetLastError(seek ? kErrorInvalidParameter : kErrorHandleEof);
        return false;
    }

    auto* out = static_cast<char*>(buffer);
    DWORD used = 0;
    for (;;) {
        const std::string* ansi = file.Ansi(number);
        if (!ansi) {
            if (used > 0) break;  // give what was read; the damage shows at the next read
            return false;
        }
        bool failed = false;
        if (!AppendRecord(*ansi, out, bufferSize, used, needed, failed)) {
            if (failed) return false;
            break;
        }
        number = backwards ? number - 1 : number + 1;
        // A seek read is for one record (the system promises one or more); a sequential read
        // goes on while records fit.
        if (seek || !file.CurrentState().Holds(number)) break;
    }
    // A seek read moves the position of the sequential reads too.
    log->sequentialNumber = number;
    log->sequentialStarted = true;
    if (bytesRead) *bytesRead = used;
    return true;
}

bool GetEventDataNames(EventLogHandle log, DWORD recordNumber, std::vector<std::string>& names) {
    names.clear();
    if (!log || !log->evtx) return false;
    const evtx::Event* event = log->evtx->EventOf(recordNumber);
    if (!event) return false;
    for (const evtx::NamedValue& value : event->data) names.push_back(Utf16ToSjis(value.name));
    return true;
}

std::vector<std::string> EventLogFileWarnings(EventLogHandle log) {
    if (!log || !log->evtx) return {};
    return log->evtx->Warnings();
}

bool CloseEventLog(EventLogHandle log) {
    if (!log) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    delete log;
    return true;
}

}  // namespace platform

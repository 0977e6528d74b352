#include "platform/machine/eventlog_writer.h"

#include <memory>

#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/accounts.h"
#include "platform/machine/evt/evt_file.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry.h"
#include "platform/machine/registry_files.h"
#include "platform/supervisor.h"

namespace platform {
namespace {

constexpr std::uint32_t kDefaultMaxSize = 0x80000;

std::uint32_t ConfiguredMaxSize(std::string_view logName) {
    DWORD size = 0;
    if (ReadMachineDword(EventLogKeyPath(logName), "MaxSize", size) && size >= 0x10000) return size;
    return kDefaultMaxSize;
}

std::unique_ptr<evt::EvtFile> OpenForWriting(std::string_view logName) {
    const std::string path = EventLogFilePath(logName);
    // An .evtx log is read, never written: its format is another machine's to write.
    if (IsEvtxFile(path)) {
        SetLastError(kErrorNotSupported);
        return nullptr;
    }
    auto file = std::make_unique<evt::EvtFile>();
    if (!file->OpenForWriting(path, ConfiguredMaxSize(logName))) return nullptr;
    return file;
}

}  // namespace

std::string EventLogFilePath(std::string_view logName) {
    std::string file;
    if (!ReadMachineString(EventLogKeyPath(logName), "File", file) || file.empty()) {
        file = "%SystemRoot%\\system32\\config\\" + std::string(logName) + ".evt";
    }
    return MapMachinePath(ExpandMachineEnvironment(file));
}

bool IsEvtxFile(std::string_view path) {
    return path.size() >= 5 && EqualsAsciiNoCase(path.substr(path.size() - 5), ".evtx");
}

bool CreateEventLogFile(std::string_view logName) { return OpenForWriting(logName) != nullptr; }

std::string LogOfSource(std::string_view sourceName) {
    UniqueKey key;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kEventLogKey, key.Out()) != kErrorSuccess) {
        return "Application";
    }
    std::string logName;
    for (DWORD i = 0; RegEnumKeyEx(key.Get(), i, logName) == kErrorSuccess; ++i) {
        UniqueKey source;
        if (RegOpenKeyEx(key.Get(), logName + "\\" + std::string(sourceName), source.Out()) ==
            kErrorSuccess) {
            return logName;
        }
    }
    return "Application";
}

bool SetEventLogReadMark(std::string_view logName, DWORD newestRead) {
    const std::string path = EventLogFilePath(logName);
    if (IsEvtxFile(path)) return true;
    const long pid = OwnProcessId();
    return WritePrivateFileAtomically(
        path + ".watch", evt::FormatReadMark(pid, InspectProcess(pid).start, newestRead));
}

bool ClearEventLogReadMark(std::string_view logName) {
    const std::string path = EventLogFilePath(logName) + ".watch";
    return DeleteFile(path) || GetLastError() == kErrorFileNotFound ||
           GetLastError() == kErrorPathNotFound;
}

bool RepairEventLog(std::string_view logName, DWORD& kept) {
    kept = 0;
    const std::string path = EventLogFilePath(logName);
    if (IsEvtxFile(path) || !FileExists(path)) {
        SetLastError(kErrorSuccess);
        return false;
    }
    std::unique_ptr<evt::EvtFile> file = OpenForWriting(logName);
    std::uint32_t records = 0;
    if (!file || !file->Repair(records)) return false;
    kept = records;
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
    std::unique_ptr<evt::EvtFile> writer = OpenForWriting(log->logName);
    return writer && writer->Clear();
}

namespace {

// The record of an event, its texts converted from CP932 or from UTF-8.
evt::Record RecordOf(std::string_view sourceName, const EventToWrite& event, bool utf8) {
    auto text = [utf8](std::string_view s) { return utf8 ? Utf8ToUtf16(s) : SjisToUtf16(s); };
    evt::Record record;
    const std::int64_t now = NowUnixMilliseconds() / 1000;
    record.timeWritten = static_cast<std::uint32_t>(now);
    record.timeGenerated =
        static_cast<std::uint32_t>(event.timeGenerated >= 0 ? event.timeGenerated : now);
    record.eventId = event.eventId;
    record.type = event.type;
    record.category = event.category;
    record.source = text(sourceName);
    if (event.computer.empty()) {
        std::string computer;
        if (GetComputerName(computer)) record.computer = SjisToUtf16(computer);
    } else {
        record.computer = text(event.computer);
    }
    record.sid = event.sid;
    for (const std::string& s : event.strings) record.strings.push_back(text(s));
    record.data = event.data;
    return record;
}

}  // namespace

bool ReportEvent(std::string_view sourceName, const EventToWrite& event) {
    if (event.strings.size() > 0xFFFF) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    std::unique_ptr<evt::EvtFile> writer = OpenForWriting(LogOfSource(sourceName));
    return writer && writer->Append(RecordOf(sourceName, event, false));
}

namespace {

bool Register(std::string_view logName, std::string_view sourceName, std::string* owner,
              std::string_view categoryFile, DWORD categoryCount, bool shared) {
    const std::string logKey = std::string(kEventLogKey) + "\\" + std::string(logName);
    std::string lines;
    UniqueKey key;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, logKey, key.Out()) != kErrorSuccess) {
        lines += RegKeyLine(SjisToUtf8(logKey));
        lines += RegExpandStringLine(
            "File", "%SystemRoot%\\system32\\config\\" + SjisToUtf8(logName) + ".evt");
        lines += RegDwordLine("MaxSize", 0x80000);
        lines += RegDwordLine("Retention", 0);
    }
    if (!sourceName.empty()) {
        const std::string log = shared ? std::string(logName) : LogOfSource(sourceName);
        UniqueKey sourceKey;
        const bool known =
            RegOpenKeyEx(HKEY_LOCAL_MACHINE,
                         std::string(kEventLogKey) + "\\" + log + "\\" + std::string(sourceName),
                         sourceKey.Out()) == kErrorSuccess;
        if (known && !EqualsNoCase(log, logName)) {
            if (owner) *owner = log;
            SetLastError(kErrorInvalidParameter);
            return false;
        }
        if (!known) {
            lines += RegKeyLine(SjisToUtf8(logKey + "\\" + std::string(sourceName)));
            lines += RegExpandStringLine("EventMessageFile", std::string(kEventCreateMessageFile));
            lines += RegDwordLine("TypesSupported", 7);
            if (!categoryFile.empty()) {
                lines += RegExpandStringLine("CategoryMessageFile", std::string(categoryFile));
                lines += RegDwordLine("CategoryCount", categoryCount);
            }
        }
    }
    return lines.empty() || AppendMachineRegistry(lines);
}

}  // namespace

bool RegisterEventSource(std::string_view logName, std::string_view sourceName, std::string* owner,
                         std::string_view categoryFile, DWORD categoryCount) {
    return Register(logName, sourceName, owner, categoryFile, categoryCount, false);
}

bool RegisterEventSourceAlso(std::string_view logName, std::string_view sourceName,
                             std::string_view categoryFile, DWORD categoryCount) {
    return Register(logName, sourceName, nullptr, categoryFile, categoryCount, true);
}

struct EventLogWriter::Impl {
    std::unique_ptr<evt::EvtFile> file;
};

EventLogWriter::EventLogWriter() : m(new Impl) {}

EventLogWriter::~EventLogWriter() { delete m; }

bool EventLogWriter::Open(std::string_view logName) {
    m->file = OpenForWriting(logName);
    return m->file != nullptr;
}

bool EventLogWriter::Write(std::string_view sourceUtf8, const EventToWrite& event) {
    if (!m->file) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (event.strings.size() > 0xFFFF) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    return m->file->Append(RecordOf(sourceUtf8, event, true));
}

bool SetEventLogMaxSize(std::string_view logName, DWORD bytes) {
    std::unique_ptr<evt::EvtFile> writer = OpenForWriting(logName);
    return writer && writer->SetMaxSize(bytes);
}

bool GrowEventLog(std::string_view logName, DWORD bytes) {
    std::unique_ptr<evt::EvtFile> writer = OpenForWriting(logName);
    return writer && writer->Grow(bytes);
}

bool SetEventLogNextRecord(std::string_view logName, DWORD number) {
    std::unique_ptr<evt::EvtFile> writer = OpenForWriting(logName);
    return writer && writer->SetNextNumber(number);
}

}  // namespace platform

#include "ingest/log_writer.h"

#include <mutex>

#include "core/program_log.h"
#include "eventlog/catalog.h"
#include "ingest/syslog_message.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/machine.h"
#include "platform/machine/msgcompiler.h"

namespace {

bool ValidUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        i += n;
    }
    return true;
}

// A name the registry can hold as a key: printable ASCII without its separators, at most 48.
std::string SourceName(const std::string& application, bool blanks) {
    std::string name;
    for (char c : application) {
        if ((c > 0x20 || (blanks && c == ' ' && !name.empty())) && c < 0x7F && c != '\\' &&
            c != '[' && c != ']') {
            name += c;
        }
        if (name.size() == 48) break;
    }
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

// The facilities' names as categories 1 (kern) to 24 (local7), so that a watch entry can pick
// them from the list; made in the machine the first time it is needed.
constexpr std::string_view kFacilityFile = "%SystemRoot%\\system32\\quorvikfacility.dll";
constexpr platform::DWORD kFacilities = 24;

bool EnsureFacilityFile() {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    const std::string path =
        platform::MapMachinePath(platform::ExpandMachineEnvironment(kFacilityFile));
    if (platform::FileExists(path)) return true;
    std::string text = "MessageIdTypedef=WORD\r\n";
    for (platform::DWORD f = 0; f < kFacilities; ++f) {
        text += "MessageId=" + std::to_string(f + 1) + "\r\nLanguage=English\r\n" +
                SyslogFacilityName(static_cast<int>(f)) + "\r\n.\r\n";
    }
    platform::MessageCompileResult compiled;
    return platform::CompileMessageText(text, false, compiled) &&
           platform::WritePrivateFileAtomically(path, compiled.dll);
}

}  // namespace

bool IngestLogWriter::Open() {
    m_categories = EnsureFacilityFile();
    Register(m_fallback);
    Register(OwnSource());
    // What the log holds already is known and counts against the limit: a sender cannot add 256
    // more at every start.
    std::vector<std::string> sources;
    ListSources(m_log, sources);
    m_sources.clear();
    for (const std::string& name : sources) {
        if (name != m_fallback && name != OwnSource()) m_sources[name] = true;
    }
    if (m_maxBytes != 0) platform::GrowEventLog(m_log, m_maxBytes);
    return m_writer.Open(m_log);
}

bool IngestLogWriter::Write(const std::string& source, const platform::EventToWrite& event) {
    if (m_writer.Write(source, event)) return true;
    if (platform::GetLastError() != platform::kErrorEventLogFileCorrupt) return false;
    if (!MendBrokenLog(m_log)) return false;
    return m_writer.Write(source, event);
}

bool IngestLogWriter::Register(const std::string& name) {
    return m_categories ? platform::RegisterEventSourceAlso(m_log, name, kFacilityFile, kFacilities)
                        : platform::RegisterEventSourceAlso(m_log, name);
}

std::string TextAsUtf8(std::string_view bytes) {
    if (ValidUtf8(bytes)) return std::string(bytes);
    return platform::SjisToUtf8(bytes);
}

std::string IngestLogWriter::Source(const std::string& application, std::string& prefix,
                                    bool blanks) {
    const std::string name = SourceName(application, blanks);
    if (name.empty()) return m_fallback;
    const auto known = m_sources.find(name);
    if (known != m_sources.end() && known->second) return name;
    if (known == m_sources.end() && m_sources.size() < kMaxNewSources) {
        const bool registered = Register(name);
        m_sources[name] = registered;
        if (registered) return name;
    }
    prefix = name + ": ";
    return m_fallback;
}

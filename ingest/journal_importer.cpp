#include "ingest/journal_importer.h"

#include <chrono>
#include <map>
#include <memory>

#include "config/settings.h"
#include "core/program_log.h"
#include "eventlog/event_record.h"
#include "ingest/log_writer.h"
#include "ingest/syslog_message.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/accounts.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry.h"

namespace {

constexpr char kFallbackSource[] = "Journal";
// What a record's data holds before its entry's cursor.
constexpr std::string_view kCursorMark = "QVJ1:";
// Records of each log looked at for cursors at the start.
constexpr std::uint32_t kLookBack = 1000;
constexpr int kBatch = 1000;

bool EndsWith(const std::string& s, std::string_view end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

int Number(const std::string& text, int fallback) {
    std::int64_t n = 0;
    return platform::ParseDecimal(text, n) && n >= 0 && n <= 0x7FFFFFFF ? static_cast<int>(n)
                                                                        : fallback;
}

// The user's map, in the machine's registry: under HKLM\SOFTWARE\Quorvik\Journal\Log a value
// named after an identifier (or unit) names the log its entries go to; under ...\EventID a DWORD
// named after a MESSAGE_ID or an identifier gives their event id (1 to 1000). Looked up once per
// name until the registry changes.
class JournalMap {
public:
    std::string Log(const platform::JournalEntry& e) {
        Refresh();
        const std::string name = JournalSourceOf(e);
        auto it = m_logs.find(name);
        if (it == m_logs.end()) {
            std::string log;
            if (!platform::ReadMachineString(std::string(kMapKey) + "\\Log", name, log) ||
                log.empty() || log.find('\\') != std::string::npos) {
                log = JournalLogOf(e);
            }
            it = m_logs.emplace(name, log).first;
        }
        return it->second;
    }
    platform::DWORD EventId(const platform::JournalEntry& e, const std::string& source) {
        Refresh();
        const std::string name = e.messageId.empty() ? source : e.messageId;
        auto it = m_ids.find(name);
        if (it == m_ids.end()) {
            platform::DWORD id = 0;
            // 1 to 1000, as eventcreate's: the numbers the sources' message file renders.
            if (!platform::ReadMachineDword(std::string(kMapKey) + "\\EventID", name, id) ||
                id == 0 || id > 1000) {
                id = SyslogEventId(e.messageId, source);
            }
            it = m_ids.emplace(name, id).first;
        }
        return it->second;
    }

private:
    static constexpr std::string_view kMapKey = "SOFTWARE\\Quorvik\\Journal";
    void Refresh() {
        const std::uint64_t generation = platform::RegistryGeneration();
        if (generation == m_generation) return;
        m_generation = generation;
        m_logs.clear();
        m_ids.clear();
    }
    std::uint64_t m_generation = ~0ull;
    std::map<std::string, std::string> m_logs;
    std::map<std::string, platform::DWORD> m_ids;
};

}  // namespace

std::string JournalLogOf(const platform::JournalEntry& e) {
    if (e.transport == "kernel") return "System";
    // A service of the system: a unit that is no user's session, manager or scope.
    const bool systemService = !e.unit.empty() && e.userUnit.empty() &&
                               EndsWith(e.unit, ".service") && e.unit.rfind("user@", 0) != 0;
    return systemService ? "System" : "Application";
}

std::string JournalSourceOf(const platform::JournalEntry& e) {
    if (!e.identifier.empty()) return e.identifier;
    if (!e.unit.empty()) return e.unit;
    if (!e.command.empty()) return e.command;
    return "journal";
}

std::string JournalImporter::StatePath() { return DataDirectory() + "JOURNAL.DAT"; }

void JournalImporter::Apply(const ExtensionSettings& e) {
    if (!e.Journal) {
        Stop();
        return;
    }
    JournalOptions options;
    options.folder = platform::SjisToUtf8(e.JournalFolder);
    if (!Running() || !(options == m_options)) Start(options);
}

bool JournalImporter::Start(const JournalOptions& options) {
    Stop();
    m_options = options;
    if (!m_journal.Open(options.folder)) {
        LogMessage(kLogError, sjis(u8"ジャーナル(%s)を開けませんでした。%s").c_str(),
                   options.folder.empty() ? sjis(u8"このマシン").c_str() : options.folder.c_str(),
                   platform::SystemErrorText(platform::GetLastError()).c_str());
        return false;
    }
    m_progress.Reset();
    m_stop = false;
    m_thread = std::thread([this] { Run(); });
    LogMessage(kLogInformation, sjis(u8"ジャーナル(%s)の取り込みを開始しました。").c_str(),
               options.folder.empty() ? sjis(u8"このマシン").c_str() : options.folder.c_str());
    return true;
}

void JournalImporter::Stop() {
    if (!m_thread.joinable()) return;
    m_stop = true;
    m_thread.join();
    m_journal.Close();
    LogMessage(kLogInformation, "%s", sjis(u8"ジャーナルの取り込みを終了しました。").c_str());
}

std::set<std::string> JournalImporter::CursorsInLogs() const {
    std::set<std::string> cursors;
    for (const char* name : {"System", "Application"}) {
        platform::UniqueEventLog log(OpenEventLogByName(name));
        platform::DWORD count = 0, oldest = 0;
        if (!log || !platform::GetNumberOfEventLogRecords(log.Get(), count) ||
            !platform::GetOldestEventLogRecord(log.Get(), oldest) || count == 0) {
            continue;
        }
        std::vector<char> buffer(65536);
        const std::uint32_t newest = oldest + count - 1;
        for (std::uint32_t i = 0; i < std::min(count, kLookBack); ++i) {
            platform::DWORD read = 0, needed = 0;
            if (!platform::ReadEventLog(
                    log.Get(), platform::kEventLogSeekRead | platform::kEventLogForwardsRead,
                    newest - i, buffer.data(), static_cast<platform::DWORD>(buffer.size()), &read,
                    &needed)) {
                continue;
            }
            platform::EventLogRecordParts parts;
            if (platform::ParseEventLogRecord(std::string_view(buffer.data(), read), parts) &&
                parts.data.substr(0, kCursorMark.size()) == kCursorMark) {
                cursors.insert(std::string(parts.data.substr(kCursorMark.size())));
            }
        }
    }
    return cursors;
}

void JournalImporter::Run() {
    // Where the last run stopped, when it read the same journal.
    std::string state, cursor;
    if (platform::ReadWholeFile(StatePath(), state)) {
        const std::string folderLine = "Folder=" + platform::ToHex(m_options.folder) + "\r\n";
        const size_t at = state.find("\r\nCursor=");
        if (state.rfind(folderLine, 0) == 0 && at != std::string::npos) {
            cursor = state.substr(at + 9);
            cursor = cursor.substr(0, cursor.find("\r\n"));
        }
    }
    if (!cursor.empty()) {
        if (!m_journal.SeekAfter(cursor)) {
            LogMessage(kLogWarning, "%s",
                       sjis(u8"ジャーナルに前回の位置がないため、それより後の最も古いエントリー"
                            u8"から取り込みます。")
                           .c_str());
        }
    } else if (m_options.folder.empty()) {
        m_journal.SeekTail();  // the machine's own: what comes from now on
    } else {
        m_journal.SeekHead();  // a copy: all it holds
    }
    std::set<std::string> done = CursorsInLogs();
    std::map<std::string, std::unique_ptr<IngestLogWriter>> writers;
    std::map<std::string, std::string> sids;  // by _UID
    JournalMap map;
    platform::JournalEntry e;
    bool saveFailed = false;
    while (!m_stop) {
        int taken = 0;
        std::string last;
        IngestCounts batch;  // told once the place after them is kept
        while (!m_stop && taken < kBatch && m_journal.Next(e)) {
            ++taken;
            // Written by a run that ended before it kept its place.
            if (!done.empty() && done.count(e.cursor)) {
                ++batch.skipped;
                last = e.cursor;
                continue;
            }
            done.clear();  // past them: what follows was never written
            const std::string log = map.Log(e);
            auto& writer = writers[log];
            if (!writer) {
                writer = std::make_unique<IngestLogWriter>(log, kFallbackSource);
                if (!writer->Open()) {
                    writers.erase(log);
                    ++batch.failed;
                    continue;
                }
            }
            std::string prefix;
            const std::string source = writer->Source(JournalSourceOf(e), prefix);
            platform::EventToWrite event;
            event.type = SyslogEventType(Number(e.priority, 6));
            const int facility = Number(e.facility, e.transport == "kernel" ? 0 : -1);
            event.category = static_cast<std::uint16_t>(facility + 1);
            event.eventId = map.EventId(e, source);
            event.computer = e.hostname;
            event.timeGenerated = e.realtimeUs > 0 ? e.realtimeUs / 1000000 : -1;
            if (!e.uid.empty()) {
                auto sid = sids.find(e.uid);
                if (sid == sids.end()) {
                    std::string found;
                    const int uid = Number(e.uid, -1);
                    if (uid < 0 || !platform::AccountSidOfUid(static_cast<unsigned>(uid), found))
                        found.clear();
                    sid = sids.emplace(e.uid, found).first;
                }
                event.sid = sid->second;
            }
            event.strings = {prefix + TextAsUtf8(e.message)};
            event.data = std::string(kCursorMark) + e.cursor;
            const bool written = writer->Write(source, event);
            last = e.cursor;
            ++batch.received;
            ++(written ? batch.written : batch.failed);
        }
        if (!last.empty()) {
            // The place after the records: a run killed in between finds them by their cursors.
            const bool saved = platform::WritePrivateFileAtomically(
                StatePath(),
                "Folder=" + platform::ToHex(m_options.folder) + "\r\nCursor=" + last + "\r\n");
            if (!saved && !saveFailed) {
                LogMessage(kLogWarning,
                           sjis(u8"ジャーナルの位置(%s)を保存できませんでした。%s").c_str(),
                           StatePath().c_str(),
                           platform::SystemErrorText(platform::GetLastError()).c_str());
            }
            saveFailed = !saved;
        }
        if (taken > 0) {
            m_progress.Update([&](IngestCounts& c) {
                c.received += batch.received;
                c.written += batch.written;
                c.failed += batch.failed;
                c.skipped += batch.skipped;
            });
        }
        if (taken < kBatch && !m_stop) m_journal.Wait(500);
    }
}

#include "ingest/journal_importer.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include "config/settings.h"
#include "core/program_log.h"
#include "eventlog/catalog.h"
#include "eventlog/event_record.h"
#include "ingest/log_writer.h"
#include "ingest/syslog_message.h"
#include "platform/bytes.h"
#include "platform/clock.h"
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
    // systemd itself (its unit is init.scope; PID 1 before it has one).
    if (e.unit == "init.scope" || (e.pid == "1" && e.userUnit.empty())) return "System";
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

bool ParseJournalCursor(const std::string& cursor, std::string& sequence, std::uint64_t& number,
                        std::int64_t& realtimeUs) {
    bool hasSequence = false, hasNumber = false;
    realtimeUs = 0;
    std::string_view rest(cursor);
    while (!rest.empty()) {
        const size_t end = rest.find(';');
        const std::string_view part = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (part.size() < 2 || part[1] != '=') continue;
        const std::string_view value = part.substr(2);
        std::uint64_t n = 0;
        bool hex = !value.empty() && value.size() <= 16;
        for (char c : value) {
            const int d = platform::HexDigitValue(c);
            if (d < 0) hex = false;
            n = n * 16 + static_cast<std::uint64_t>(d < 0 ? 0 : d);
        }
        if (part[0] == 's' && !value.empty()) {
            sequence = std::string(value);
            hasSequence = true;
        } else if (part[0] == 'i' && hex) {
            number = n;
            hasNumber = true;
        } else if (part[0] == 't' && hex) {
            realtimeUs = static_cast<std::int64_t>(n);
        }
    }
    return hasSequence && hasNumber;
}

bool JournalTaken::Has(const std::string& sequence, std::uint64_t number) const {
    const auto ranges = m_ranges.find(sequence);
    if (ranges == m_ranges.end()) return false;
    auto it = ranges->second.upper_bound(number);
    if (it == ranges->second.begin()) return false;
    --it;
    return number <= it->second;
}

void JournalTaken::Add(const std::string& sequence, std::uint64_t number) {
    auto& ranges = m_ranges[sequence];
    auto next = ranges.upper_bound(number);
    if (next != ranges.begin()) {
        auto before = std::prev(next);
        if (number <= before->second) return;
        if (before->second + 1 == number) {
            before->second = number;
            // Joined to the range after it.
            if (next != ranges.end() && next->first == number + 1) {
                before->second = next->second;
                ranges.erase(next);
            }
            return;
        }
    }
    if (next != ranges.end() && next->first == number + 1) {
        const std::uint64_t last = next->second;
        ranges.erase(next);
        ranges[number] = last;
        return;
    }
    ranges[number] = number;
}

std::string JournalTaken::Format() const {
    std::string text;
    for (const auto& [sequence, ranges] : m_ranges) {
        for (const auto& [first, last] : ranges) {
            text += "Taken=" + sequence + ":" + std::to_string(first) + "-" + std::to_string(last) +
                    "\r\n";
        }
    }
    return text;
}

void JournalTaken::Parse(std::string_view lines) {
    m_ranges.clear();
    while (!lines.empty()) {
        const size_t end = lines.find('\n');
        std::string_view line = lines.substr(0, end);
        lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.rfind("Taken=", 0) != 0) continue;
        line.remove_prefix(6);
        const size_t colon = line.rfind(':');
        const size_t dash = line.rfind('-');
        if (colon == std::string_view::npos || dash == std::string_view::npos || dash < colon ||
            colon == 0) {
            continue;
        }
        std::int64_t first = 0, last = 0;
        if (!platform::ParseDecimal(line.substr(colon + 1, dash - colon - 1), first) ||
            !platform::ParseDecimal(line.substr(dash + 1), last) || first < 0 || last < first) {
            continue;
        }
        const std::string sequence(line.substr(0, colon));
        for (auto& [from, to] : m_ranges[sequence]) {
            if (static_cast<std::uint64_t>(first) <= to + 1 &&
                from <= static_cast<std::uint64_t>(last) + 1) {
                first = std::min<std::int64_t>(first, static_cast<std::int64_t>(from));
                last = std::max<std::int64_t>(last, static_cast<std::int64_t>(to));
            }
        }
        auto& ranges = m_ranges[sequence];
        for (auto it = ranges.begin(); it != ranges.end();) {
            if (it->first >= static_cast<std::uint64_t>(first) &&
                it->second <= static_cast<std::uint64_t>(last)) {
                it = ranges.erase(it);
            } else {
                ++it;
            }
        }
        ranges[static_cast<std::uint64_t>(first)] = static_cast<std::uint64_t>(last);
    }
}

std::string JournalImporter::StatePath() { return DataDirectory() + "JOURNAL.DAT"; }

void JournalImporter::Apply(const ExtensionSettings& e) {
    if (!e.Journal) {
        Stop();
        return;
    }
    JournalOptions options;
    options.folder = platform::SjisToUtf8(e.JournalFolder);
    options.historyHours = e.JournalHistory;
    options.all = e.JournalAll;
    options.logBytes = static_cast<std::uint32_t>(e.IngestLogSize) << 20;
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
    // Every log a record could have gone to: the map may name any.
    std::vector<std::string> names;
    ListLogs(names);
    for (const std::string& name : names) {
        platform::UniqueEventLog log(OpenEventLogByName(name));
        platform::DWORD count = 0, oldest = 0;
        // A log a killed run left broken holds the newest cursors: mended first.
        if (log && !platform::GetNumberOfEventLogRecords(log.Get(), count) &&
            platform::GetLastError() == platform::kErrorEventLogFileCorrupt) {
            MendBrokenLog(name);
        }
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

bool JournalImporter::SaveState(const JournalTaken& taken, std::int64_t since) {
    const bool saved = platform::WritePrivateFileAtomically(
        StatePath(), "Folder=" + platform::ToHex(m_options.folder) +
                         "\r\nSince=" + std::to_string(since) + "\r\n" + taken.Format());
    if (!saved && !m_saveFailed) {
        LogMessage(kLogWarning, sjis(u8"ジャーナルの位置(%s)を保存できませんでした。%s").c_str(),
                   StatePath().c_str(),
                   platform::SystemErrorText(platform::GetLastError()).c_str());
    }
    m_saveFailed = !saved;
    return saved;
}

void JournalImporter::Run() {
    // What an earlier run of the same journal took, and since when it takes entries.
    JournalTaken taken;
    std::int64_t since = -1;
    std::string state;
    if (platform::ReadWholeFile(StatePath(), state) &&
        state.rfind("Folder=" + platform::ToHex(m_options.folder) + "\r\n", 0) == 0) {
        taken.Parse(state);
        const size_t at = state.find("\r\nSince=");
        std::int64_t value = 0;
        if (at != std::string::npos &&
            platform::ParseDecimal(state.substr(at + 8, state.find("\r\n", at + 8) - at - 8),
                                   value)) {
            since = value;
        }
        // A place kept by an earlier version: its entry and those before it were taken.
        const size_t cursorAt = state.find("\r\nCursor=");
        if (cursorAt != std::string::npos) {
            const std::string cursor =
                state.substr(cursorAt + 9, state.find("\r\n", cursorAt + 9) - cursorAt - 9);
            std::string sequence;
            std::uint64_t number = 0;
            std::int64_t time = 0;
            if (ParseJournalCursor(cursor, sequence, number, time)) {
                for (std::uint64_t n = number; n + 1000 > number && n > 0; --n)
                    taken.Add(sequence, n);
                if (since < 0) since = time;
            }
        }
    }
    const bool first = since < 0;
    if (first) {
        // The first import: from now on, the hours asked for, or everything.
        const std::int64_t now = platform::NowUnixMilliseconds() * 1000;
        since = m_options.all
                    ? 0
                    : now - static_cast<std::int64_t>(m_options.historyHours) * 3600 * 1000000;
    }
    // Records written by a run that ended before it kept them.
    for (const std::string& cursor : CursorsInLogs()) {
        std::string sequence;
        std::uint64_t number = 0;
        std::int64_t time = 0;
        if (ParseJournalCursor(cursor, sequence, number, time)) taken.Add(sequence, number);
    }
    if (first) SaveState(taken, since);

    std::map<std::string, std::unique_ptr<IngestLogWriter>> writers;
    std::map<std::string, std::string> sids;  // by _UID
    JournalMap map;
    ProgressLines progress(sjis(u8"ジャーナル"));
    platform::JournalEntry e;
    // The files are read from the time the import began (at most a week before the newest
    // entry taken), so that entries of a file that came late are found; then only what is
    // added.
    bool rescan = true;
    std::int64_t newest = since;
    bool failing = false;   // a write failed and is being tried again
    bool firstPass = true;  // the entries met again are counted once, in the first pass
    // A file came lately and may still be growing.
    std::chrono::steady_clock::time_point growingUntil;
    while (!m_stop) {
        if (rescan) {
            const std::int64_t week = std::int64_t{7} * 24 * 3600 * 1000000;
            const std::int64_t from = std::max(since, newest - week);
            if (from <= 0) {
                m_journal.SeekHead();
            } else {
                m_journal.SeekRealtime(from);
            }
            rescan = false;
        }
        int read = 0;
        IngestCounts batch;  // told once what it took is kept
        auto tell = [&] {
            m_progress.Update([&](IngestCounts& c) {
                c.received += batch.received;
                c.written += batch.written;
                c.unwritten += batch.unwritten;
                c.waits += batch.waits;
                c.skipped += batch.skipped;
            });
            batch = IngestCounts();
        };
        while (!m_stop && read < kBatch && m_journal.Next(e)) {
            ++read;
            std::string sequence;
            std::uint64_t number = 0;
            std::int64_t time = 0;
            if (!ParseJournalCursor(e.cursor, sequence, number, time)) {
                sequence = "?";
                number = 0;
            }
            if (e.realtimeUs < since) continue;
            if (number != 0 && taken.Has(sequence, number)) {
                if (firstPass) ++batch.skipped;
                continue;
            }
            ++batch.received;
            const std::string log = map.Log(e);
            auto& writer = writers[log];
            std::string prefix;
            platform::EventToWrite event;
            // Built once the writer is open: the source depends on the log's own sources.
            auto prepare = [&]() {
                const std::string source = writer->Source(JournalSourceOf(e), prefix);
                event = platform::EventToWrite();
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
                        if (uid < 0 ||
                            !platform::AccountSidOfUid(static_cast<unsigned>(uid), found))
                            found.clear();
                        sid = sids.emplace(e.uid, found).first;
                    }
                    event.sid = sid->second;
                }
                event.strings = {prefix + TextAsUtf8(e.message)};
                event.data = std::string(kCursorMark) + e.cursor;
                return source;
            };
            // Tried until the log takes it: the entry is never passed by.
            bool written = false;
            bool waited = false;
            while (!m_stop) {
                if (!writer) {
                    writer =
                        std::make_unique<IngestLogWriter>(log, kFallbackSource, m_options.logBytes);
                    if (!writer->Open()) writer.reset();
                }
                if (writer) {
                    const std::string source = prepare();
                    if (writer->Write(source, event)) {
                        written = true;
                        break;
                    }
                }
                const platform::DWORD error = platform::GetLastError();
                const bool full = error == platform::kErrorLogFileFull;
                if (!failing) {
                    failing = true;
                    if (!full) {
                        LogMessage(kLogError,
                                   sjis(u8"ジャーナルのエントリーを%sログに書き込めません。%s"
                                        u8"書き込めるようになるまで待って取り込みを続けます。")
                                       .c_str(),
                                   log.c_str(), platform::SystemErrorText(error).c_str());
                    }
                }
                if (full) {
                    if (!waited) ++batch.waits;
                    waited = true;
                    if (m_logFull) m_logFull();
                } else {
                    writer.reset();  // opened again at the next try
                }
                // What was taken so far is kept (and told) while this one waits.
                SaveState(taken, since);
                const std::uint64_t waiting = batch.received;
                batch.received = 0;
                tell();
                batch.received = waiting;
                for (int slept = 0; slept < (full ? 100 : 1000) && !m_stop; slept += 50)
                    platform::Sleep(50);
            }
            if (!written) {
                ++batch.unwritten;
                break;  // stopping: tried again at the next start
            }
            if (failing) {
                failing = false;
                LogMessage(kLogInformation, "%s",
                           sjis(u8"ジャーナルのエントリーの書き込みを再開しました。").c_str());
            }
            ++batch.written;
            if (number != 0) taken.Add(sequence, number);
            newest = std::max(newest, e.realtimeUs);
        }
        if (read > 0) {
            SaveState(taken, since);
            tell();
            progress.Update(m_progress.Get());
        }
        if (read < kBatch && !m_stop) {
            firstPass = false;
            // Files added to the folder (or the journal rotated): read from the start again.
            // A file copied into a folder grows after it appears: what it brings is looked for
            // again while it keeps growing (the machine's own journal only grows at its end).
            const auto change = m_journal.Wait(500);
            const auto now = std::chrono::steady_clock::now();
            if (change == platform::Journal::Change::Files ||
                (change == platform::Journal::Change::Appended && now < growingUntil)) {
                rescan = true;
                if (!m_options.folder.empty()) growingUntil = now + std::chrono::seconds(5);
            }
            progress.Update(m_progress.Get());
        }
    }
    progress.Update(m_progress.Get(), true);
}

#include "ingest/syslog_receiver.h"

#include <chrono>
#include <map>
#include <vector>

#include "config/settings.h"
#include "core/program_log.h"
#include "eventlog/catalog.h"
#include "ingest/log_writer.h"
#include "ingest/syslog_message.h"
#include "ingest/windows_event.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/eventlog_writer.h"

namespace {

// The source of messages whose application cannot have a source of its own, and of the lines
// the receiver itself writes.
constexpr char kFallbackSource[] = "Syslog";
// The source of a forwarded event whose provider cannot have a source of its own.
constexpr char kForwardedSource[] = "Forwarded";
constexpr std::int64_t kWarnEverySeconds = 60;

std::int64_t SteadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void SyslogReceiver::Apply(const ExtensionSettings& e) {
    if (!e.Syslog) {
        Stop();
        return;
    }
    SyslogOptions options;
    options.bind = e.SyslogBind;
    options.port = static_cast<std::uint16_t>(e.SyslogPort);
    options.allow = e.SyslogAllow;
    options.log = e.SyslogLog;
    options.logBytes = static_cast<std::uint32_t>(e.IngestLogSize) << 20;
    if (!Running() || !(options == m_asked)) Start(options);
}

bool SyslogReceiver::Start(const SyslogOptions& options) {
    Stop();
    m_asked = options;
    m_options = options;
    if (m_options.allow.empty()) {
        // The bind address's own; a receiver open to every address is open to this machine.
        const bool any = options.bind == "0.0.0.0" || options.bind == "::";
        m_options.allow = any ? "127.0.0.0/8, ::1" : options.bind;
    }
    const std::string& log = m_options.log;
    // Registered before the receiving starts, so that monitoring started next watches the log.
    m_writer = std::make_unique<IngestLogWriter>(log, kFallbackSource, m_options.logBytes);
    if (!m_writer->Open()) {
        LogMessage(kLogError, sjis(u8"Syslogを記録する%sログに書き込めません。%s").c_str(),
                   log.c_str(), platform::SystemErrorText(platform::GetLastError()).c_str());
        m_writer.reset();
        return false;
    }
    if (!m_receiver.Open(m_options.bind, m_options.port)) {
        const platform::DWORD error = platform::GetLastError();
        LogMessage(kLogError, sjis(u8"Syslogの受信を開始できませんでした(%s ポート%u)。%s").c_str(),
                   m_options.bind.c_str(), static_cast<unsigned>(m_options.port),
                   platform::SystemErrorText(error).c_str());
        m_writer.reset();
        platform::SetLastError(error);
        return false;
    }
    m_options.port = m_receiver.Port();  // the system's choice, when 0 was asked for
    {
        std::lock_guard lock(m_mutex);
        m_queue.clear();
        m_queueBytes = 0;
        m_refusedPeers.clear();
    }
    m_progress.Reset();
    m_receiver.SetAcceptCheck([this](const std::string& peer) { return Allowed(peer); });
    m_evictionTold = false;
    m_stop = false;
    m_writing = std::thread([this] { Write(); });
    m_receiving = std::thread([this] { Receive(); });
    LogMessage(kLogInformation,
               sjis(u8"Syslogの受信を開始しました(%s ポート%u、UDPとTCP、%sログ)。").c_str(),
               m_options.bind.c_str(), static_cast<unsigned>(m_options.port), log.c_str());
    return true;
}

void SyslogReceiver::Stop() {
    if (!m_receiving.joinable()) return;
    m_stop = true;
    m_receiver.Wake();
    m_receiving.join();
    m_changed.notify_all();
    m_writing.join();
    m_receiver.Close();
    m_channels.clear();
    m_forwarded.clear();
    m_writer.reset();
    LogMessage(kLogInformation, "%s", sjis(u8"Syslogの受信を終了しました。").c_str());
}

bool SyslogReceiver::Allowed(const std::string& peer) {
    if (platform::AddressAllowed(peer, m_options.allow)) return true;
    m_progress.Update([](IngestCounts& c) { ++c.refused; });
    bool tell = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_refusedPeers.size() < 64) tell = m_refusedPeers.insert(peer).second;
    }
    if (tell) {
        LogMessage(kLogWarning,
                   sjis(u8"Syslogの送信元%sは許可されていないため、受信しません。").c_str(),
                   peer.c_str());
    }
    return false;
}

void SyslogReceiver::Take(const std::string& peer, std::string bytes, bool stream) {
    bool taken = false;
    {
        std::lock_guard lock(m_mutex);
        // A stream's messages are always taken: its reading stops while the queue is full, so
        // it overshoots by one read at most.
        if (stream || (m_queue.size() < m_options.queueMessages &&
                       m_queueBytes + bytes.size() <= m_options.queueBytes)) {
            m_queueBytes += bytes.size();
            m_queue.push_back({peer, std::move(bytes)});
            taken = true;
        }
    }
    m_progress.Update([taken](IngestCounts& c) { ++(taken ? c.received : c.dropped); });
    if (taken) m_changed.notify_all();
}

void SyslogReceiver::Receive() {
    std::map<int, SyslogFramer> streams;
    std::vector<std::string> messages;
    std::uint32_t overflowed = 0;
    while (!m_stop) {
        // A full queue leaves TCP unread, so that its senders wait rather than lose messages;
        // UDP cannot wait, and what does not fit is dropped and counted.
        bool full = false;
        {
            std::lock_guard lock(m_mutex);
            full =
                m_queue.size() >= m_options.queueMessages || m_queueBytes >= m_options.queueBytes;
        }
        const bool waited = m_receiver.Wait(
            full ? 50 : 500,
            [&](const platform::Received& r) {
                using Kind = platform::Received::Kind;
                if (r.kind == Kind::Datagram) {
                    if (Allowed(r.peer)) Take(r.peer, r.bytes, false);
                    return;
                }
                messages.clear();
                if (r.kind == Kind::Closed) {
                    // Once a run: a crowd of connections pushes senders out.
                    if (r.evicted && !m_evictionTold) {
                        m_evictionTold = true;
                        LogMessage(kLogWarning,
                                   sjis(u8"Syslogの接続が多すぎるため、%sからの接続を閉じました。"
                                        u8"(送信元ごとに%d、全体で%d接続まで)")
                                       .c_str(),
                                   r.peer.c_str(), platform::NetworkReceiver::kMaxPerPeer,
                                   platform::NetworkReceiver::kMaxConnections);
                    }
                    const auto it = streams.find(r.connection);
                    if (it == streams.end()) return;
                    it->second.Finish(messages);
                    streams.erase(it);
                } else {
                    auto it = streams.find(r.connection);
                    if (it == streams.end()) {
                        // A connection is judged once, at its first bytes.
                        if (!Allowed(r.peer)) {
                            m_receiver.Drop(r.connection);
                            return;
                        }
                        it = streams.emplace(r.connection, SyslogFramer()).first;
                    }
                    const unsigned cut = it->second.Truncated();
                    it->second.Feed(r.bytes, messages);
                    if (it->second.Truncated() != cut) {
                        const unsigned more = it->second.Truncated() - cut;
                        m_progress.Update([more](IngestCounts& c) { c.truncated += more; });
                    }
                }
                for (std::string& m : messages) Take(r.peer, std::move(m), true);
            },
            !full);
        if (m_receiver.Overflowed() != overflowed) {
            const std::uint32_t more = m_receiver.Overflowed() - overflowed;
            overflowed = m_receiver.Overflowed();
            m_progress.Update([more](IngestCounts& c) { c.overflowed += more; });
        }
        // A wait that failed (not one woken to stop) must not turn into a busy loop.
        if (!waited && !m_stop) platform::Sleep(10);
    }
}

IngestLogWriter* SyslogReceiver::ForwardedLog(const std::string& channel) {
    if (const auto seen = m_channels.find(channel); seen != m_channels.end()) return seen->second;
    // The machine's own spelling of a log it has; another channel becomes a log of its own.
    std::string name = platform::Utf8ToSjis(LogNameOfChannel(channel));
    std::vector<std::string> logs;
    ListLogs(logs);
    for (const std::string& log : logs) {
        if (platform::EqualsNoCase(log, name)) name = log;
    }
    const std::string key = platform::FoldCase(name);
    const auto it = m_forwarded.find(key);
    if (it != m_forwarded.end()) return m_channels[channel] = it->second.get();
    if (m_forwarded.size() >= kMaxForwardedLogs) {
        if (!m_forwardLimitTold) {
            m_forwardLimitTold = true;
            LogMessage(kLogWarning,
                       sjis(u8"転送されたWindowsのイベントのログが%zu個を超えたため、%sのイベント"
                            u8"はSyslogのログに記録します。")
                           .c_str(),
                       kMaxForwardedLogs, name.c_str());
        }
        return nullptr;
    }
    auto writer = std::make_unique<IngestLogWriter>(name, kForwardedSource, m_options.logBytes);
    if (!writer->Open()) {
        LogMessage(kLogError,
                   sjis(u8"転送されたWindowsのイベントを%sログに書き込めません。%s").c_str(),
                   name.c_str(), platform::SystemErrorText(platform::GetLastError()).c_str());
        return nullptr;
    }
    return m_channels[channel] = m_forwarded.emplace(key, std::move(writer)).first->second.get();
}

void SyslogReceiver::WriteOne(IngestLogWriter& syslogWriter, const Pending& pending) {
    const int year = platform::GetLocalTime().year;
    SyslogMessage m = ParseSyslogMessage(pending.bytes, year);
    // A BSD time has no year: one of late December read in January is last year's.
    if (!m.rfc5424 && m.time > platform::NowUnixMilliseconds() / 1000 + 86400)
        m = ParseSyslogMessage(pending.bytes, year - 1);
    platform::EventToWrite event;
    std::string source;
    IngestLogWriter* target = nullptr;
    ForwardedEvent forwarded;
    // A Windows machine's event goes to the log it names, as the event it was there.
    if (ParseForwardedEvent(m, pending.bytes, forwarded) &&
        (target = ForwardedLog(forwarded.log)) != nullptr) {
        std::string prefix;
        source = target->Source(forwarded.source, prefix, true);
        event.type = forwarded.type;
        event.eventId = forwarded.eventId;
        event.computer = !forwarded.computer.empty() ? forwarded.computer
                         : m.hostname.empty()        ? pending.peer
                                                     : TextAsUtf8(m.hostname);
        if (forwarded.time >= 0 && forwarded.time <= 0xFFFFFFFFll) {
            event.timeGenerated = forwarded.time;
        }
        event.strings = forwarded.strings;
        platform::CarriedTexts carried;
        carried.category = platform::Utf8ToSjis(forwarded.category);
        carried.user = platform::Utf8ToSjis(forwarded.user);
        carried.description = platform::Utf8ToSjis(prefix + forwarded.description);
        event.data = platform::CarriedTextsData(carried);
    } else {
        target = &syslogWriter;
        event.type = SyslogEventType(m.severity);
        event.category = static_cast<std::uint16_t>(m.facility + 1);
        event.eventId = SyslogEventId(m.msgId, m.appName);
        event.computer = m.hostname.empty() ? pending.peer : TextAsUtf8(m.hostname);
        if (m.time >= 0 && m.time <= 0xFFFFFFFFll) event.timeGenerated = m.time;
        std::string prefix;
        source = syslogWriter.Source(m.appName, prefix);
        std::string description = prefix + TextAsUtf8(m.text);
        if (!m.structuredData.empty()) description += "\r\n" + TextAsUtf8(m.structuredData);
        event.strings = {description};
    }
    IngestLogWriter& writer = *target;
    bool written = writer.Write(source, event);
    // A log full of records the watch has not read: the message waits for them to be read
    // (the queue behind it fills, and what it cannot hold is dropped and counted).
    bool waited = false;
    while (!written && platform::GetLastError() == platform::kErrorLogFileFull && !m_stop) {
        if (!waited) m_progress.Update([](IngestCounts& c) { ++c.waits; });
        waited = true;
        if (m_logFull) m_logFull();
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait_for(lock, std::chrono::milliseconds(100), [&] { return m_stop.load(); });
        }
        written = writer.Write(source, event);
    }
    if (!written && platform::GetLastError() == platform::kErrorLogFileFull) {
        m_progress.Update([](IngestCounts& c) { ++c.unwritten; });
        return;
    }
    const bool malformed = !m.problem.empty();
    m_progress.Update([&](IngestCounts& c) {
        ++(written ? c.written : c.failed);
        if (malformed) ++c.malformed;
    });
}

void SyslogReceiver::Write() {
    IngestLogWriter& writer = *m_writer;
    ProgressLines progress("Syslog");
    IngestCounts told;  // what the warnings said so far
    std::int64_t lastWarning = 0;
    auto warn = [&](bool atEnd) {
        const IngestCounts now = GetCounts();
        if (now.dropped == told.dropped && now.overflowed == told.overflowed &&
            now.malformed == told.malformed && now.failed == told.failed &&
            now.truncated == told.truncated) {
            return;
        }
        if (!atEnd && SteadySeconds() - lastWarning < kWarnEverySeconds) return;
        lastWarning = SteadySeconds();
        if (now.dropped != told.dropped) {
            const bool waited = now.waits != told.waits;
            LogMessage(kLogWarning,
                       sjis(waited ? u8"Syslogのメッセージ%llu件は、ログのチェックを待つ間に受信の"
                                     u8"待ち行列が満杯になったため破棄しました。"
                                   : u8"Syslogのメッセージ%llu件は、書き込みが追いつかないため破棄"
                                     u8"しました。")
                           .c_str(),
                       static_cast<unsigned long long>(now.dropped - told.dropped));
        }
        if (now.overflowed != told.overflowed) {
            LogMessage(kLogWarning,
                       sjis(u8"Syslogのメッセージ%llu件は、UDPの受信バッファーが満杯のためシステム"
                            u8"が破棄しました。")
                           .c_str(),
                       static_cast<unsigned long long>(now.overflowed - told.overflowed));
        }
        if (const std::uint64_t lost =
                now.dropped + now.overflowed - told.dropped - told.overflowed) {
            // Said in the log too, where a watch entry can see it.
            platform::EventToWrite e;
            e.type = 2;
            e.eventId = 1;
            e.strings = {platform::SjisToUtf8(platform::StringPrintf(
                sjis(u8"Quorvik: Syslogのメッセージ%llu件を破棄しました。").c_str(),
                static_cast<unsigned long long>(lost)))};
            writer.Write(writer.OwnSource(), e);
        }
        if (now.malformed != told.malformed) {
            LogMessage(kLogWarning,
                       sjis(u8"Syslogのメッセージ%llu件は形式が正しくないため、そのまま記録しまし"
                            u8"た。")
                           .c_str(),
                       static_cast<unsigned long long>(now.malformed - told.malformed));
        }
        if (now.truncated != told.truncated) {
            LogMessage(kLogWarning,
                       sjis(u8"Syslogのメッセージ%llu件は長すぎるため、先頭の%uKBだけを記録しまし"
                            u8"た。")
                           .c_str(),
                       static_cast<unsigned long long>(now.truncated - told.truncated),
                       static_cast<unsigned>(kSyslogMaxMessage / 1024));
        }
        if (now.failed != told.failed) {
            LogMessage(kLogError,
                       sjis(u8"Syslogのメッセージ%llu件を記録できませんでした。%s").c_str(),
                       static_cast<unsigned long long>(now.failed - told.failed),
                       platform::SystemErrorText(platform::GetLastError()).c_str());
        }
        told = now;
    };
    for (;;) {
        std::deque<Pending> batch;
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait_for(lock, std::chrono::seconds(1),
                               [&] { return m_stop || !m_queue.empty(); });
            // What was received is written before the thread ends.
            if (m_queue.empty() && m_stop) break;
            batch.swap(m_queue);
            m_queueBytes = 0;
        }
        for (const Pending& p : batch) {
            // Stopping while the log waits for the watch: what is left is counted, not written.
            if (m_stop && GetCounts().unwritten > 0) {
                m_progress.Update([](IngestCounts& c) { ++c.unwritten; });
                continue;
            }
            WriteOne(writer, p);
        }
        warn(false);
        progress.Update(GetCounts());
    }
    warn(true);
    progress.Update(GetCounts(), true);
}

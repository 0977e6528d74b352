#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "ingest/event_source.h"
#include "ingest/log_writer.h"
#include "platform/receiver.h"

// What the receiver is told by the settings.
struct SyslogOptions {
    std::string bind = "127.0.0.1";
    std::uint16_t port = 5514;   // 0: one the system picks (Options() says which)
    std::string allow;           // addresses and networks; empty: the bind address's own
    std::string log = "Syslog";  // CP932, as the settings hold it
    // What may wait to be written before new messages are dropped (and counted).
    size_t queueMessages = 50000;
    size_t queueBytes = 32u << 20;
    std::uint32_t logBytes = 0;  // the size the log is grown to (0: as it is)

    bool operator==(const SyslogOptions&) const = default;
};

// Receives syslog messages over UDP and TCP and writes each into a log of the machine as a
// record: source = APP-NAME (or TAG), computer = HOSTNAME (or the sender's address), type from the
// severity, category from the facility, the structured data kept in the description. One thread
// receives, another writes, so that a slow disk never makes a sender wait for long; when the
// queue between them is full, TCP senders are left to wait (unread) and datagrams that do not
// fit are dropped and counted. A message that follows no form is written whole, as text, with a
// warning.
class SyslogReceiver : public EventSource {
public:
    SyslogReceiver() = default;
    ~SyslogReceiver() override { Stop(); }
    SyslogReceiver(const SyslogReceiver&) = delete;
    SyslogReceiver& operator=(const SyslogReceiver&) = delete;

    // Started again only when what it listens on or writes to changed.
    void Apply(const ExtensionSettings& options) override;
    // Registers the log, binds the port and starts both threads; false (with the system's last
    // error, and a line in the program log) when the port cannot be had.
    bool Start(const SyslogOptions& options);
    void Stop() override;
    bool Running() const override { return m_receiving.joinable(); }
    const SyslogOptions& Options() const { return m_options; }
    // Called (on the writing thread) while the log is full of records the watch has not read:
    // the writer waits, and asks for a check through this.
    void SetLogFullHandler(std::function<void()> handler) { m_logFull = std::move(handler); }

    // Received are the messages of senders that are allowed.
    IngestCounts GetCounts() const { return m_progress.Get(); }
    // Waits until at least count records were written or failed; false after timeoutMs without.
    bool WaitForWritten(std::uint64_t count, unsigned timeoutMs) const {
        return m_progress.WaitForRecords(count, timeoutMs);
    }

private:
    struct Pending {
        std::string peer;
        std::string bytes;
    };
    void Receive();
    void Write();
    void Take(const std::string& peer, std::string bytes, bool stream);
    bool Allowed(const std::string& peer);
    void WriteOne(IngestLogWriter& writer, const Pending& pending);
    // The writer of the log a forwarded Windows event names (made and registered on first
    // sight); nullptr when no more logs may be made.
    IngestLogWriter* ForwardedLog(const std::string& channel);
    static constexpr size_t kMaxForwardedLogs = 64;

    SyslogOptions m_options;
    SyslogOptions m_asked;  // as the settings gave them, before the defaults were filled in
    platform::NetworkReceiver m_receiver;
    std::unique_ptr<IngestLogWriter> m_writer;
    // The logs forwarded Windows events go to, by name; used by the writing thread alone.
    std::map<std::string, std::unique_ptr<IngestLogWriter>> m_forwarded;
    std::map<std::string, IngestLogWriter*> m_channels;  // as senders spell them
    bool m_forwardLimitTold = false;
    std::thread m_receiving, m_writing;
    std::atomic<bool> m_stop{false};

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::deque<Pending> m_queue;
    size_t m_queueBytes = 0;
    std::set<std::string> m_refusedPeers;  // told once each (a bounded number)
    bool m_evictionTold = false;           // on the receiving thread
    IngestProgress m_progress;
    std::function<void()> m_logFull;
};

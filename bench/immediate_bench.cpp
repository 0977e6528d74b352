// From an event written to the machine's log to a loopback mail server accepting its report, with
// immediate checks on and 100 watch entries: the median and the 95th percentile over 200 events,
// one at a time (the watch interval's timer never fires in this time).
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_machine.h"
#include "bench/quiet_view.h"
#include "config/lists.h"
#include "config/settings.h"
#include "eventlog/catalog.h"
#include "platform/files.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry_files.h"
#include "session/watch_session.h"
#include "tests/support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

// A mail server on loopback that takes every mail and notes when it took each.
class Sink {
public:
    Sink() {
        m_listener = ListenOnLoopback("127.0.0.1", 0, &m_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~Sink() {
        m_stop = true;
        m_thread.join();
        close(m_listener);
    }
    std::uint16_t Port() const { return m_port; }
    size_t Taken() {
        std::lock_guard lock(m_mutex);
        return m_taken.size();
    }
    Clock::time_point TakenAt(size_t i) {
        std::lock_guard lock(m_mutex);
        return m_taken[i];
    }

private:
    void Serve() {
        while (!m_stop) {
            const int fd = AcceptWithin(m_listener, 20);
            if (fd >= 0) Talk(fd);
        }
    }
    void Say(int fd, const char* text) { send(fd, text, std::strlen(text), MSG_NOSIGNAL); }
    void Talk(int fd) {
        Say(fd, "220 sink\r\n");
        std::string buffer;
        bool data = false;
        char chunk[4096];
        while (!m_stop) {
            struct pollfd p {
                fd, POLLIN, 0
            };
            if (poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            buffer.append(chunk, static_cast<size_t>(n));
            for (;;) {
                if (data) {
                    const size_t end = buffer.find("\r\n.\r\n");
                    if (end == std::string::npos) break;
                    buffer.erase(0, end + 5);
                    data = false;
                    {
                        std::lock_guard lock(m_mutex);
                        m_taken.push_back(Clock::now());
                    }
                    Say(fd, "250 queued\r\n");
                    continue;
                }
                const size_t eol = buffer.find("\r\n");
                if (eol == std::string::npos) break;
                const std::string line = buffer.substr(0, eol);
                buffer.erase(0, eol + 2);
                if (line.rfind("DATA", 0) == 0) {
                    data = true;
                    Say(fd, "354 go\r\n");
                } else if (line.rfind("QUIT", 0) == 0) {
                    Say(fd, "221 bye\r\n");
                    close(fd);
                    return;
                } else {
                    Say(fd, "250 ok\r\n");
                }
            }
        }
        close(fd);
    }

    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<Clock::time_point> m_taken;
    std::thread m_thread;
};

}  // namespace

int main() {
    constexpr int kEvents = 200;
    const std::string folder = PrepareBenchMachine();
    platform::SetExecutableDirectory(folder);
    EmptyBenchLog();
    platform::AppendMachineRegistry(
        platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\Application\\Latency") +
        platform::RegExpandStringLine("EventMessageFile",
                                      std::string(platform::kEventCreateMessageFile)));
    Sink sink;
    Settings settings;
    settings.Interval = 60;
    settings.SenderName = "Quorvik";
    settings.MailAddr = "quorvik@example.jp";
    settings.SMTPServer = "127.0.0.1";
    settings.SMTPPort = sink.Port();
    settings.TimeOut = 5;
    settings.Enable = false;
    SaveSettings(settings);
    ExtensionSettings extension;
    extension.Immediate = true;
    SaveExtensionSettings(extension);
    // The benchmark's hundred entries (none matches these events) and one that does.
    WatchList watches = MakeBenchWatches();
    watches.pop_back();
    auto entry = std::make_unique<WatchEntry>();
    entry->EventNum = 100;
    entry->MailSubject = "latency";
    entry->LogName = "Application";
    entry->SourceName = "Latency";
    entry->Category = AnyValueText();
    entry->AddrList = {"ops@example.jp"};
    watches.push_back(std::move(entry));
    WatchList existing;
    LoadWatchList(existing);
    SaveWatchList(watches);
    AddressList addresses;
    LoadAddressList(addresses);

    QuietView view;
    WatchSession session;
    session.SetView(&view);
    session.Load();
    session.ApplyExtensions();
    session.Start();
    session.WaitUntilIdle();
    std::vector<double> latencies;
    for (int i = 0; i < kEvents; ++i) {
        platform::EventToWrite e;
        e.eventId = 1;
        e.strings = {"event " + std::to_string(i)};
        const Clock::time_point written = Clock::now();
        platform::ReportEvent("Latency", e);
        const Clock::time_point limit = written + std::chrono::seconds(30);
        while (sink.Taken() <= static_cast<size_t>(i) && Clock::now() < limit) {
            session.Dispatch();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (sink.Taken() <= static_cast<size_t>(i)) {
            std::printf("event %d: no mail within 30 s\n", i);
            return 1;
        }
        latencies.push_back(
            std::chrono::duration<double, std::milli>(sink.TakenAt(i) - written).count());
        session.WaitUntilIdle();
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf(
        "event to accepted mail, %d events, 100 entries: median %.0f ms, 95th percentile "
        "%.0f ms, worst %.0f ms\n",
        kEvents, latencies[latencies.size() / 2], latencies[latencies.size() * 95 / 100],
        latencies.back());
    return 0;
}

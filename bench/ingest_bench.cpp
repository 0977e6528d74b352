// Journal entries and syslog messages taken per second into the machine's logs while a watch
// pass reads them (100 watch entries, a tick every 200 ms, as often as immediate checks tick): a
// journal file of 200,000 entries that systemd-journal-remote made, and syslog over TCP with octet
// counting and over UDP; then the delay from a util-linux logger call to its record being in the
// log (median and 95th percentile over 50 calls, the start of logger included).
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_machine.h"
#include "bench/run_command.h"
#include "config/settings.h"
#include "core/program_log.h"
#include "ingest/journal_importer.h"
#include "ingest/syslog_receiver.h"
#include "platform/files.h"
#include "platform/machine/eventlog_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Message(int i) {
    return "<14>1 2026-12-07T09:05:03Z web" + std::to_string(i % 7) + " app" +
           std::to_string(i % 20) + " " + std::to_string(1000 + i) + " - [meta seq=\"" +
           std::to_string(i) + "\"] request " + std::to_string(i) + " served in 12 ms";
}

void SendTcp(std::uint16_t port, int count) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return;
    std::string chunk;
    for (int i = 0; i < count; ++i) {
        const std::string m = Message(i);
        chunk += std::to_string(m.size()) + " " + m;
        if (chunk.size() > 60000 || i + 1 == count) {
            for (size_t sent = 0; sent < chunk.size();) {
                const ssize_t n = send(fd, chunk.data() + sent, chunk.size() - sent, 0);
                if (n <= 0) break;
                sent += static_cast<size_t>(n);
            }
            chunk.clear();
        }
    }
    close(fd);
}

void SendUdp(std::uint16_t port, int count) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    for (int i = 0; i < count; ++i) {
        const std::string m = Message(i);
        sendto(fd, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    close(fd);
}

// A watch pass over the machine's logs (100 watch entries, a tick every 200 ms) for as long as
// it lives.
class WatchPass {
public:
    explicit WatchPass(const Settings& settings)
        : m_watches(MakeBenchWatches()),
          m_monitor(settings, m_watches, m_timer, m_locks, m_consumers) {
        m_monitor.StartMonitoring();
        m_thread = std::thread([this] {
            while (!m_stop) {
                m_monitor.WatchTick();
                ++m_ticks;
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        });
    }
    ~WatchPass() { Stop(); }
    int Stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        return m_ticks;
    }

private:
    struct Consumers : BatchConsumers {
        void ProcessActions(TickBatch&) override {}
        void DeliverMail(TickBatch&) override {}
        void SendNetworkMessages(TickBatch&) override {}
    };
    WatchList m_watches;
    NoTimer m_timer;
    NoLocks m_locks;
    Consumers m_consumers;
    Monitor m_monitor;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_ticks{0};
};

}  // namespace

int main() {
    // Its state files (the journal's place) in the benchmark's folder, never the user's.
    platform::SetExecutableDirectory(PrepareBenchMachine());
    platform::DeleteFile(JournalImporter::StatePath());
    Settings settings;
    settings.Enable = false;
    ProgramLog log(settings, nullptr);
    SetProgramLog(&log);
    constexpr int kCount = 200000;

    // The journal: a folder with one file of kCount entries.
    {
        const std::string folder = PrepareBenchMachine() + "journal";
        RunTimed("rm -rf '" + folder + "' && mkdir -p '" + folder + "'");
        {
            std::ofstream out(folder + "/in.export");
            for (int i = 0; i < kCount; ++i) {
                out << "__REALTIME_TIMESTAMP=" << 1796601903000000ll + i * 1000ll
                    << "\n__MONOTONIC_TIMESTAMP=" << 1000 + i
                    << "\n_BOOT_ID=0123456789abcdef0123456789abcdef\nMESSAGE=request " << i
                    << " served in 12 ms\nPRIORITY=6\nSYSLOG_IDENTIFIER=app" << i % 20
                    << "\n_SYSTEMD_UNIT=app" << i % 20 << ".service\n_HOSTNAME=web01\n\n";
            }
        }
        RunTimed("/lib/systemd/systemd-journal-remote -o '" + folder + "/bench.journal' - < '" +
                 folder + "/in.export'");
        platform::SetEventLogMaxSize("System", 64u << 20);
        WatchPass pass(settings);
        JournalImporter importer;
        JournalOptions options;
        options.folder = folder;
        const Clock::time_point start = Clock::now();
        importer.Start(options);
        importer.WaitForWritten(kCount, 120000);
        const double seconds = Seconds(Clock::now() - start);
        const int ticks = pass.Stop();
        importer.Stop();
        const IngestCounts c = importer.GetCounts();
        std::printf(
            "journal: %llu of %d entries imported in %.2f s: %.0f a second (%d watch ticks "
            "meanwhile)\n",
            static_cast<unsigned long long>(c.written), kCount, seconds,
            static_cast<double>(c.written) / seconds, ticks);
    }

    for (const bool tcp : {true, false}) {
        SyslogReceiver receiver;
        SyslogOptions options;
        options.port = 0;  // one the system picks
        options.log = tcp ? "SyslogTcp" : "SyslogUdp";
        options.queueMessages = kCount;
        options.queueBytes = 256u << 20;
        if (!receiver.Start(options)) {
            std::printf("the receiver did not start\n");
            return 1;
        }
        platform::SetEventLogMaxSize(options.log, 64u << 20);
        WatchPass pass(settings);
        const Clock::time_point start = Clock::now();
        if (tcp) {
            SendTcp(receiver.Options().port, kCount);
        } else {
            SendUdp(receiver.Options().port, kCount);
        }
        // UDP loses what the socket's buffer cannot hold: wait for what was taken.
        std::uint64_t expected = kCount;
        while (!receiver.WaitForWritten(expected, 2000)) {
            const IngestCounts c = receiver.GetCounts();
            if (c.written + c.failed >= c.received && !tcp) break;
        }
        const double seconds = Seconds(Clock::now() - start);
        const int ticks = pass.Stop();
        receiver.Stop();
        const IngestCounts c = receiver.GetCounts();
        std::printf(
            "%s: %llu of %d messages written in %.2f s: %.0f a second (%d watch ticks "
            "meanwhile, %llu dropped by the queue)\n",
            tcp ? "TCP, octet counting" : "UDP", static_cast<unsigned long long>(c.written), kCount,
            seconds, static_cast<double>(c.written) / seconds, ticks,
            static_cast<unsigned long long>(c.dropped));
    }

    // From a logger call to its record in the log.
    SyslogReceiver receiver;
    SyslogOptions options;
    options.port = 0;
    receiver.Start(options);
    std::vector<double> delays;
    for (int i = 1; i <= 50; ++i) {
        const Clock::time_point start = Clock::now();
        RunTimed("logger --server 127.0.0.1 --port " + std::to_string(receiver.Options().port) +
                 " --udp -t bench 'call " + std::to_string(i) + "'");
        if (!receiver.WaitForWritten(static_cast<std::uint64_t>(i), 5000)) {
            std::printf("call %d: no record within 5 s\n", i);
            continue;
        }
        delays.push_back(Seconds(Clock::now() - start) * 1000);
    }
    receiver.Stop();
    std::sort(delays.begin(), delays.end());
    if (!delays.empty()) {
        std::printf("logger call to record: median %.1f ms, 95th percentile %.1f ms (%zu calls)\n",
                    delays[delays.size() / 2], delays[delays.size() * 95 / 100], delays.size());
    }
    SetProgramLog(nullptr);
    return 0;
}

// Bursts into the machine's logs while a watch pass reads them (the 100 typical entries, a tick
// every 200 ms): a journal file of 200,000 entries that systemd-journal-remote made, 50,000
// syslog messages over TCP with octet counting and 200,000 over UDP, each with 100 error messages
// spread among them and a watch entry on the errors. Each source runs twice: into a log of
// 512 KB (a new log's size) and of the setting's default (32 MB), and UDP once more at a pace
// of 20,000 a second into the small log. Said: what was taken, written
// and dropped (by whom), how often the writer waited for the watch, the rate, and how many of the
// errors the watch saw (the goal: every one written). Then the delay from a util-linux logger
// call to its record in the log (median and 95th percentile over 50 calls).
// With the argument "forwarded": 500 Windows hosts forwarding 200 events each over TCP at once
// (Snare and NXLog's JSON), the rate written and whether the watch saw each failed logon.
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
#include "bench/watch_pass.h"
#include "config/settings.h"
#include "core/program_log.h"
#include "ingest/journal_importer.h"
#include "ingest/syslog_receiver.h"
#include "platform/files.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/eventlog_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kErrors = 100;
constexpr std::uint32_t kSmallLog = 512u << 10;
const std::uint32_t kDefaultLog = static_cast<std::uint32_t>(ExtensionSettings().IngestLogSize)
                                  << 20;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Message i of count is one of the errors when it falls on one of kErrors even steps.
bool IsError(int i, int count) { return i % (count / kErrors) == count / kErrors / 2; }

std::string Message(int i, int count) {
    if (IsError(i, count)) {
        return "<11>1 2026-12-07T09:05:03Z web1 backup - - - error " + std::to_string(i);
    }
    return "<14>1 2026-12-07T09:05:03Z web" + std::to_string(i % 7) + " app" +
           std::to_string(i % 20) + " " + std::to_string(1000 + i) + " - [meta seq=\"" +
           std::to_string(i) + "\"] request " + std::to_string(i) + " served in 12 ms";
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    return to;
}

void SendTcp(std::uint16_t port, int count) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = Loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return;
    std::string chunk;
    for (int i = 0; i < count; ++i) {
        const std::string m = Message(i, count);
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

// perSecond: 0 as fast as the socket takes them.
void SendUdp(std::uint16_t port, int count, int perSecond) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = Loopback(port);
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const std::string m = Message(i, count);
        sendto(fd, m.data(), m.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (perSecond > 0 && i % 100 == 99) {
            std::this_thread::sleep_until(
                start + std::chrono::microseconds(1000000ll * (i + 1) / perSecond));
        }
    }
    // A last datagram after a pause carries the count of those the system dropped.
    usleep(200000);
    sendto(fd, "<14>end", 7, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(fd);
}

// Waits until the source wrote what was expected or stopped making progress for two seconds (a
// writer that waits for the watch still makes progress tick by tick); the seconds from start to
// its last progress.
template <typename Source>
double WaitUntilSettled(const Source& source, std::uint64_t expected, Clock::time_point start) {
    std::uint64_t before = ~0ull;
    Clock::time_point last = Clock::now();
    for (;;) {
        if (source.WaitForWritten(expected, 100)) return Seconds(Clock::now() - start);
        const IngestCounts c = source.GetCounts();
        const std::uint64_t now = c.written + c.failed;
        if (now != before) {
            before = now;
            last = Clock::now();
        } else if (Clock::now() - last > std::chrono::seconds(2)) {
            return Seconds(last - start);
        }
    }
}

// The records of the type in a log.
int RecordsOfType(const std::string& logName, std::uint16_t type) {
    platform::UniqueEventLog log(platform::OpenEventLog("", logName));
    std::vector<char> buffer(1 << 20);
    int found = 0;
    platform::DWORD read = 0, needed = 0;
    while (platform::ReadEventLog(
        log.Get(), platform::kEventLogSequentialRead | platform::kEventLogForwardsRead, 0,
        buffer.data(), static_cast<platform::DWORD>(buffer.size()), &read, &needed)) {
        for (platform::DWORD at = 0; at + 56 <= read;) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data() + at);
            const std::uint32_t length = bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                                         static_cast<std::uint32_t>(bytes[3]) << 24;
            if ((bytes[24] | bytes[25] << 8) == type) ++found;
            if (length == 0) break;
            at += length;
        }
    }
    return found;
}

// written: the errors the log holds (-1 when it wrapped and cannot say).
void Say(const char* what, const std::string& logName, int count, const IngestCounts& c,
         double seconds, const WatchPass& pass, int ticks) {
    std::uint64_t size = 0;
    platform::GetFileSize(platform::EventLogFilePath(logName), size);
    platform::UniqueEventLog log(platform::OpenEventLog("", logName));
    platform::DWORD records = 0;
    platform::GetNumberOfEventLogRecords(log.Get(), records);
    const bool whole = records >= c.written;
    std::printf(
        "%s, log %u KB: %d sent, %llu taken, %llu written in %.2f s (%.0f a second, %d ticks); "
        "dropped: %llu by the queue, %llu by the system's buffer; the writer waited %llu times; "
        "errors written: %s, seen by the watch: %zu (%d reports)\n",
        what, static_cast<unsigned>(size >> 10), count, static_cast<unsigned long long>(c.received),
        static_cast<unsigned long long>(c.written), seconds,
        static_cast<double>(c.written) / seconds, ticks, static_cast<unsigned long long>(c.dropped),
        static_cast<unsigned long long>(c.overflowed), static_cast<unsigned long long>(c.waits),
        whole ? std::to_string(RecordsOfType(logName, 1)).c_str() : "(the log wrapped)",
        pass.Seen().size(), pass.Mailed());
    std::fflush(stdout);
}

void Journal(const Settings& settings, std::uint32_t logBytes) {
    constexpr int kCount = 200000;
    static const std::string folder = [] {
        const std::string f = PrepareBenchMachine() + "journal";
        RunTimed("rm -rf '" + f + "' && mkdir -p '" + f + "'");
        {
            std::ofstream out(f + "/in.export");
            for (int i = 0; i < kCount; ++i) {
                const bool error = IsError(i, kCount);
                out << "__REALTIME_TIMESTAMP=" << 1796601903000000ll + i * 1000ll
                    << "\n__MONOTONIC_TIMESTAMP=" << 1000 + i
                    << "\n_BOOT_ID=0123456789abcdef0123456789abcdef\nMESSAGE="
                    << (error ? "error " : "request ") << i << "\nPRIORITY=" << (error ? 3 : 6)
                    << "\nSYSLOG_IDENTIFIER="
                    << (error ? std::string("backup") : "app" + std::to_string(i % 20))
                    << "\n_SYSTEMD_UNIT=app" << i % 20 << ".service\n_HOSTNAME=web01\n\n";
            }
        }
        RunTimed("/lib/systemd/systemd-journal-remote -o '" + f + "/bench.journal' - < '" + f +
                 "/in.export'");
        return f;
    }();
    // Every run a first import of the whole folder, into an empty System log of 512 KB that
    // the run may grow.
    platform::DeleteFile(JournalImporter::StatePath());
    {
        platform::UniqueEventLog log(platform::OpenEventLog("", "System"));
        platform::ClearEventLog(log.Get());
    }
    platform::SetEventLogMaxSize("System", kSmallLog);
    WatchList errors;
    errors.push_back(EveryEventOf(101, "System", 1));
    WatchPass pass(settings, std::move(errors));
    JournalImporter importer;
    importer.SetLogFullHandler([&pass] { pass.Hurry(); });
    JournalOptions options;
    options.folder = folder;
    options.all = true;
    options.logBytes = logBytes;
    const Clock::time_point start = Clock::now();
    importer.Start(options);
    const double seconds = WaitUntilSettled(importer, kCount, start);
    importer.Stop();
    const int ticks = pass.Stop();
    Say("journal", "System", kCount, importer.GetCounts(), seconds, pass, ticks);
}

// Starts the receiver; a full log asks the watch pass (once there is one) for its next tick.
bool StartAskingForTicks(SyslogReceiver& receiver, const SyslogOptions& options,
                         std::atomic<WatchPass*>& watching) {
    receiver.SetLogFullHandler([&watching] {
        if (WatchPass* pass = watching.load()) pass->Hurry();
    });
    if (receiver.Start(options)) return true;
    std::printf("the receiver did not start\n");
    return false;
}

// perSecond: UDP's pace (0: as fast as it goes).
void Syslog(const Settings& settings, bool tcp, std::uint32_t logBytes, int perSecond = 0) {
    const int count = tcp ? 50000 : perSecond ? 50000 : 200000;
    SyslogReceiver receiver;
    SyslogOptions options;
    options.port = 0;  // one the system picks
    options.log = std::string(tcp ? "SyslogTcp" : "SyslogUdp") + std::to_string(logBytes >> 10) +
                  (perSecond ? "Paced" : "");
    options.logBytes = logBytes;
    std::atomic<WatchPass*> watching{nullptr};
    if (!StartAskingForTicks(receiver, options, watching)) return;
    WatchList errors;
    errors.push_back(EveryEventOf(101, options.log, 1));
    WatchPass pass(settings, std::move(errors));
    watching = &pass;
    const Clock::time_point start = Clock::now();
    if (tcp) {
        SendTcp(receiver.Options().port, count);
    } else {
        SendUdp(receiver.Options().port, count, perSecond);
    }
    const double seconds =
        WaitUntilSettled(receiver, static_cast<std::uint64_t>(count + (tcp ? 0 : 1)), start);
    receiver.Stop();
    const int ticks = pass.Stop();
    watching = nullptr;
    const std::string what = tcp ? "syslog over TCP"
                             : perSecond
                                 ? "syslog over UDP, " + std::to_string(perSecond) + " a second"
                                 : "syslog over UDP";
    Say(what.c_str(), options.log, count, receiver.GetCounts(), seconds, pass, ticks);
}

// Windows machines forwarding at once, each over a TCP connection of its own from an address of
// its own: Snare's tab-separated events and NXLog's JSON in turn, one failed logon (Security 4625)
// among each host's events, and a watch entry on the failed logons.
void ForwardingHosts(const Settings& settings, int hosts, int perHost) {
    SyslogReceiver receiver;
    SyslogOptions options;
    options.port = 0;
    options.allow = "127.0.0.0/8";
    options.logBytes = kDefaultLog;
    std::atomic<WatchPass*> watching{nullptr};
    if (!StartAskingForTicks(receiver, options, watching)) return;
    WatchList failures;
    auto entry = EveryEventOf(101, "Security", 16);
    entry->EventID = 4625;
    failures.push_back(std::move(entry));
    WatchPass pass(settings, std::move(failures));
    watching = &pass;
    std::vector<int> sockets;
    for (int h = 0; h < hosts; ++h) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(0x7F010000u + static_cast<std::uint32_t>(h / 250) * 256 +
                                     static_cast<std::uint32_t>(h % 250) + 1);
        const sockaddr_in to = Loopback(receiver.Options().port);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
            connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            std::printf("host %d could not connect\n", h);
            close(fd);
            continue;
        }
        sockets.push_back(fd);
    }
    auto message = [](int host, int i, int perHost) {
        const std::string name = "WIN" + std::to_string(host);
        if (i == perHost / 2) {
            return "<13>Dec  8 10:11:12 " + name + " MSWinEventLog\t1\tSecurity\t" +
                   std::to_string(i) +
                   "\tMon Dec 08 10:11:12 2025\t4625\t"
                   "Microsoft-Windows-Security-Auditing\tCORP\\u" +
                   std::to_string(host) + "\tUser\tFailure Audit\t" + name +
                   "\tLogon\t\tAn account failed to log on. Account Name: u" +
                   std::to_string(host) + "\t" + std::to_string(i) + "\n";
        }
        if (i % 2 == 0) {
            return "<14>Dec  8 10:11:12 " + name + " MSWinEventLog\t0\tSystem\t" +
                   std::to_string(i) +
                   "\tMon Dec 08 10:11:12 2025\t7036\tService Control "
                   "Manager\tN/A\tN/A\tInformation\t" +
                   name + "\tNone\t\tThe service " + std::to_string(i) +
                   " entered the running state.\t" + std::to_string(i) + "\n";
        }
        return "<14>1 2025-12-08T10:11:12+09:00 " + name +
               " nxlog - - - {\"EventTime\":"
               "\"2025-12-08 10:11:12\",\"Hostname\":\"" +
               name +
               "\",\"EventType\":\"INFO\","
               "\"EventID\":4624,\"SourceName\":\"Microsoft-Windows-Security-Auditing\","
               "\"Channel\":\"Security\",\"Category\":\"Logon\",\"RecordNumber\":" +
               std::to_string(i) +
               ",\"Message\":\"An account was successfully logged on.\","
               "\"TargetUserName\":\"u" +
               std::to_string(host) + "\",\"LogonType\":\"3\"}\n";
    };
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> senders;
    constexpr int kThreads = 10;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < perHost; ++i) {
                for (size_t k = static_cast<size_t>(t); k < sockets.size(); k += kThreads) {
                    const std::string m = message(static_cast<int>(k), i, perHost);
                    for (size_t sent = 0; sent < m.size();) {
                        const ssize_t n = send(sockets[k], m.data() + sent, m.size() - sent, 0);
                        if (n <= 0) break;
                        sent += static_cast<size_t>(n);
                    }
                }
            }
        });
    }
    for (std::thread& t : senders) t.join();
    for (int fd : sockets) close(fd);
    const std::uint64_t expected = static_cast<std::uint64_t>(sockets.size()) * perHost;
    const double seconds = WaitUntilSettled(receiver, expected, start);
    receiver.Stop();
    const int ticks = pass.Stop();
    watching = nullptr;
    const IngestCounts c = receiver.GetCounts();
    std::printf(
        "%zu Windows hosts over TCP at once, %d events each: %llu taken, %llu written in %.2f s "
        "(%.0f a second, %d ticks), the writer waited %llu times; failed logons sent %zu, seen by "
        "the watch %zu\n",
        sockets.size(), perHost, static_cast<unsigned long long>(c.received),
        static_cast<unsigned long long>(c.written), seconds,
        static_cast<double>(c.written) / seconds, ticks, static_cast<unsigned long long>(c.waits),
        sockets.size(), pass.Seen().size());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    // Its state files (the journal's place) in the benchmark's folder, never the user's.
    platform::SetExecutableDirectory(PrepareBenchMachine());
    Settings settings;
    settings.Enable = false;
    ProgramLog log(settings, nullptr);
    SetProgramLog(&log);
    if (argc > 1 && std::string(argv[1]) == "forwarded") {
        ForwardingHosts(settings, 500, 200);
        SetProgramLog(nullptr);
        return 0;
    }

    for (const std::uint32_t size : {kSmallLog, kDefaultLog}) {
        Journal(settings, size == kSmallLog ? 0 : size);
        Syslog(settings, true, size == kSmallLog ? 0 : size);
        Syslog(settings, false, size == kSmallLog ? 0 : size);
    }
    Syslog(settings, false, 0, 20000);

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

// A batch of 100 report mails to a loopback server, over the built-in client's one connection and
// over the mail library (a connection per mail): mails per second, and the bytes on the wire per
// mail against the size of the report text.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "config/settings.h"
#include "notify/mail_report.h"
#include "platform/codepage.h"
#include "tests/support/loopback.h"

namespace {

constexpr int kMails = 100;

// An SMTP server that accepts everything and counts what it receives.
class CountingServer {
public:
    CountingServer() {
        m_listener = ListenOnLoopback("127.0.0.1", 0, &m_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~CountingServer() {
        m_stop = true;
        m_thread.join();
        close(m_listener);
    }
    std::uint16_t Port() const { return m_port; }
    std::uint64_t Received() const { return m_received; }
    int Mails() const { return m_mails; }
    void Reset() {
        m_received = 0;
        m_mails = 0;
    }

private:
    void Serve() {
        while (!m_stop) {
            const int client = AcceptWithin(m_listener, 20);
            if (client >= 0) Talk(client);
        }
    }

    void Talk(int client) {
        auto say = [&](const char* text) { send(client, text, strlen(text), MSG_NOSIGNAL); };
        say("220 bench ready\r\n");
        std::string buffer;
        bool data = false;
        char chunk[65536];
        while (!m_stop) {
            const ssize_t n = recv(client, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            m_received += static_cast<std::uint64_t>(n);
            buffer.append(chunk, static_cast<size_t>(n));
            for (size_t lf; (lf = buffer.find("\r\n")) != std::string::npos;) {
                const std::string line = buffer.substr(0, lf);
                buffer.erase(0, lf + 2);
                if (data) {
                    if (line == ".") {
                        data = false;
                        ++m_mails;
                        say("250 queued\r\n");
                    }
                } else if (line.rfind("DATA", 0) == 0) {
                    data = true;
                    say("354 go on\r\n");
                } else if (line.rfind("QUIT", 0) == 0) {
                    say("221 bye\r\n");
                    close(client);
                    return;
                } else {
                    say("250 ok\r\n");
                }
            }
        }
        close(client);
    }

    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_received{0};
    std::atomic<int> m_mails{0};
    std::thread m_thread;
};

// A report of the usual shape: the event's fields, a long description and the action results.
std::string ReportText() {
    std::string text = sjis(
        u8"種別：System\r\n日付：2026/12/07\r\n時刻：10:15:00\r\nユーザー：N/A\r\n"
        u8"コンピュータ：SERVER01\r\nイベントID：7\r\nソース：Disk\r\n種類：エラー\r\n分類：なし\r\n"
        u8"\r\n説明：\r\n");
    for (int i = 0; i < 12; ++i) {
        text +=
            sjis(u8"デバイス \\Device\\Harddisk0 に不良ブロックがあります。再試行しています。\r\n");
    }
    text += sjis(u8"\r\n\r\n動作確認：\r\n 1.サービス停止: 印刷スプーラ\r\n　正常\r\n");
    return text;
}

struct Batch {
    std::vector<std::unique_ptr<WatchEntry>> watches;
    TickBatch reports;
};

Batch MakeBatch() {
    Batch b;
    for (int i = 0; i < kMails; ++i) {
        auto w = std::make_unique<WatchEntry>();
        w->EventNum = i + 1;
        w->MailSubject = sjis(u8"ディスク障害");
        auto r = std::make_unique<ReportRecord>();
        r->Watch = w.get();
        r->Recipients = {"ops@example.jp"};
        r->ReportText = ReportText();
        r->Event.TimeGenerated = platform::GetLocalTime();
        b.watches.push_back(std::move(w));
        b.reports.push_back(std::move(r));
    }
    return b;
}

void Run(benchmark::State& state, bool library) {
    CountingServer server;
    Settings settings;
    settings.SenderName = sjis(u8"監視サーバー");
    settings.MailAddr = "quorvik@example.jp";
    settings.SMTPServer = "127.0.0.1";
    settings.SMTPPort = server.Port();
    settings.TimeOut = 10;
    ReportMailer mailer(settings);
    if (library) {
        void* handle = dlopen(QUORVIK_BSMTP_PATH, RTLD_NOW | RTLD_LOCAL);
        auto send =
            handle ? reinterpret_cast<BSendMailFunction>(dlsym(handle, "BSendMail")) : nullptr;
        if (!send) {
            state.SkipWithError("the mail library cannot be loaded");
            return;
        }
        mailer.UseLibrary(send);
    }
    double seconds = 0;
    for (auto _ : state) {
        Batch batch = MakeBatch();
        server.Reset();
        const auto start = std::chrono::steady_clock::now();
        mailer.DeliverMail(batch.reports);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (server.Mails() != kMails) {
            state.SkipWithError("not every mail arrived");
            return;
        }
    }
    state.counters["mails_per_s"] =
        static_cast<double>(kMails) * static_cast<double>(state.iterations()) / seconds;
    state.counters["wire_bytes_per_mail"] = static_cast<double>(server.Received()) / kMails;
    state.counters["report_bytes"] = static_cast<double>(ReportText().size());
    state.counters["wire/report"] =
        static_cast<double>(server.Received()) / kMails / static_cast<double>(ReportText().size());
}

void BM_HundredMailsByClient(benchmark::State& state) { Run(state, false); }
BENCHMARK(BM_HundredMailsByClient)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_HundredMailsByLibrary(benchmark::State& state) { Run(state, true); }
BENCHMARK(BM_HundredMailsByLibrary)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// Network messages: received by Samba's smbd as a desktop would receive them, and by scripted
// responders for what Samba never does; the log lines of the mixed cases.
#include "notify/netsend.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "config/settings.h"
#include "core/program_log.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/netmsg.h"
#include "platform/registry_files.h"
#include "support/loopback.h"
#include "support/machine_folder.h"
#include "support/mail_server.h"

using platform::SjisToUtf8;

namespace {

// A receiver on a loopback address that answers as told.
class Responder {
public:
    enum class Kind { Accept, NegativeSession, DenyMessage, Silent };

    Responder(const char* address, std::uint16_t port, Kind kind) : m_kind(kind) {
        m_listener = ListenOnLoopback(address, port);
        m_bound = m_listener >= 0;
        m_thread = std::thread([this] { Serve(); });
    }
    ~Responder() {
        m_stop = true;
        m_thread.join();
        close(m_listener);
    }
    bool Bound() const { return m_bound; }
    int Messages() const { return m_messages; }

private:
    void Serve() {
        while (!m_stop) {
            const int client = AcceptWithin(m_listener, 20);
            if (client >= 0) Talk(client);
        }
    }

    bool Read(int fd, std::string& packet) {
        packet.clear();
        char c;
        while (packet.size() < 4 && !m_stop) {
            struct pollfd p {
                fd, POLLIN, 0
            };
            if (poll(&p, 1, 20) <= 0) continue;
            if (recv(fd, &c, 1, 0) != 1) return false;
            packet += c;
        }
        size_t length =
            (static_cast<std::uint8_t>(packet[2]) << 8) | static_cast<std::uint8_t>(packet[3]);
        while (length > 0 && !m_stop) {
            if (recv(fd, &c, 1, 0) != 1) return false;
            packet += c;
            --length;
        }
        return !m_stop;
    }

    // An answer to an SMB request: its header with the status, no words, no bytes.
    static std::string Answer(const std::string& request, std::uint32_t status) {
        std::string smb = request.substr(4, 32);
        platform::StoreLe32(smb, 5, status);
        smb[9] = '\x88';
        platform::StoreLe16(smb, 10, 0x4001);  // NT status
        smb += std::string(3, '\0');
        std::string packet = std::string("\0\0", 2);
        packet += static_cast<char>(smb.size() >> 8);
        packet += static_cast<char>(smb.size() & 0xFF);
        return packet + smb;
    }

    void Talk(int fd) {
        std::string packet;
        if (!Read(fd, packet)) return (void)close(fd);
        if (m_kind == Kind::NegativeSession) {
            send(fd, "\x83\x00\x00\x01\x82", 5, MSG_NOSIGNAL);  // called name not present
            return (void)close(fd);
        }
        send(fd, "\x82\x00\x00\x00", 4, MSG_NOSIGNAL);
        while (Read(fd, packet)) {
            if (m_kind == Kind::Silent) continue;
            const std::uint8_t command = static_cast<std::uint8_t>(packet[8]);
            const bool message = command == 0xD0 || command == 0xD5;
            const std::uint32_t status =
                message && m_kind == Kind::DenyMessage ? 0xC0000022 : 0;  // access denied
            if (command == 0xD0 || command == 0xD6) ++m_messages;
            const std::string answer = Answer(packet, status);
            send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
        close(fd);
    }

    Kind m_kind;
    int m_listener = -1;
    bool m_bound = false;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_messages{0};
    std::thread m_thread;
};

class Lines : public LogSink {
public:
    void AddLogLine(int level, const platform::SystemTime&, const std::string& text) override {
        lines.push_back(std::to_string(level) + " " + SjisToUtf8(text));
    }
    std::vector<std::string> lines;
};

// A machine whose lmhosts names the receivers and whose session port is the test's.
class NetsendTest : public ::testing::Test {
protected:
    NetsendTest() : log(settings, &sink) {
        port = FreePort();
        platform::ForceDirectories(machine.Root() + "Windows/system32/drivers/etc");
        WriteFileBytes(machine.Root() + "Windows/system32/drivers/etc/lmhosts",
                       "# the receivers of the test\r\n"
                       "127.0.0.1    RECEIVER    #PRE\r\n"
                       "127.0.0.2    DENIER\r\n"
                       "127.0.0.3    \"QUIET          \\0x03\"  #PRE #DOM:WORK\r\n"
                       "127.0.0.4    NOBODY      # a responder that turns names away\r\n"
                       "127.0.0.5    OFFLINE\r\n" +
                           platform::Utf8ToSjis("127.0.0.1    日本機\r\n"));
        machine.AddRegFile(
            "50-netbt.reg",
            "Windows Registry Editor Version 5.00\r\n\r\n" +
                platform::RegKeyLine("SYSTEM\\CurrentControlSet\\Services\\NetBT\\Parameters") +
                platform::RegDwordLine("SessionPort", port));
        SetProgramLog(&log);
    }
    ~NetsendTest() override { SetProgramLog(nullptr); }

    platform::DWORD Send(const std::string& utf8Name, const std::string& utf8Text = "hello") {
        const std::string message = platform::Utf16ToBytes(platform::Utf8ToUtf16(utf8Text) + u'\0');
        return platform::NetMessageBufferSend(u"", platform::Utf8ToUtf16(utf8Name), u"",
                                              reinterpret_cast<const std::uint8_t*>(message.data()),
                                              static_cast<platform::DWORD>(message.size()));
    }

    ReportRecord& Report(int number, std::vector<std::string> recipients) {
        auto watch = std::make_unique<WatchEntry>();
        watch->EventNum = number;
        watch->MailSubject = "subject";
        auto r = std::make_unique<ReportRecord>();
        r->Watch = watch.get();
        r->Recipients = std::move(recipients);
        r->ReportText = "text";
        watches.push_back(std::move(watch));
        batch.push_back(std::move(r));
        return *batch.back();
    }

    std::vector<std::string> Lines() const {
        std::vector<std::string> out;
        for (const std::string& line : sink.lines) {
            if (line[0] != '4') out.push_back(line);
        }
        return out;
    }

    MachineFolder machine;
    std::uint16_t port = 0;
    Settings settings;
    ::Lines sink;
    ProgramLog log;
    std::vector<std::unique_ptr<WatchEntry>> watches;
    TickBatch batch;
};

// The same, with a real receiver.
class NetsendPeer : public NetsendTest {};

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

}  // namespace

TEST_F(NetsendTest, ResultCodesForEachKindOfReceiver) {
    Responder good("127.0.0.1", port, Responder::Kind::Accept);
    Responder denier("127.0.0.2", port, Responder::Kind::DenyMessage);
    Responder quiet("127.0.0.3", port, Responder::Kind::Silent);
    Responder nobody("127.0.0.4", port, Responder::Kind::NegativeSession);
    ASSERT_TRUE(good.Bound() && denier.Bound() && quiet.Bound() && nobody.Bound());
    EXPECT_EQ(Send("receiver"), 0u);
    EXPECT_EQ(Send("日本機", std::string(300, 'x')), 0u);  // several blocks
    EXPECT_EQ(good.Messages(), 2);
    EXPECT_EQ(Send("DENIER"), platform::kErrorAccessDenied);
    EXPECT_EQ(Send("NOBODY"), platform::kNerrNameNotFound);
    EXPECT_EQ(Send("OFFLINE"), platform::kNerrNameNotFound);     // refused connection
    EXPECT_EQ(Send("NOSUCHNAME"), platform::kNerrNameNotFound);  // not in lmhosts nor DNS
    EXPECT_EQ(Send("QUIET"), platform::kNerrNetworkError);       // bounded, through the pump
    EXPECT_EQ(Send("SIXTEEN-CHARS-XX"), platform::kErrorInvalidName);
    EXPECT_EQ(Send("a*b"), platform::kErrorInvalidName);
    EXPECT_EQ(Send(""), platform::kErrorInvalidName);
}

TEST_F(NetsendTest, SummaryLinesOfTheMixedCases) {
    Responder good("127.0.0.1", port, Responder::Kind::Accept);
    Responder denier("127.0.0.2", port, Responder::Kind::DenyMessage);
    Report(1, {"ops@example.jp"});  // mail only: nothing at all
    Report(2, {"OFFLINE", "RECEIVER"});
    Report(3, {"DENIER", "RECEIVER"});
    Report(4, {"RECEIVER", "ops@example.jp"});
    Report(5, {"OFFLINE", "bad*name"});
    log.SetDebugMode(true);
    SendNetworkMessages(batch);
    EXPECT_EQ(
        Lines(),
        (std::vector<std::string>{
            "3 監視イベント番号: 2 - メッセージの送信に失敗しました。ユーザー名(OFFLINE)が見つ"
            "かりませんでした。",
            "2 監視イベント番号: 2 - メッセージは送信されましたが、送信できなかったユーザーがあ"
            "ります。",
            "3 監視イベント番号: 3 - メッセージの送信に失敗しました。ユーザーには、要求した情報"
            "へのアクセス権がありません。",
            "2 監視イベント番号: 3 - すべてのユーザーへメッセージが送信できませんでした。",
            "0 監視イベント番号: 4 - メッセージが送信されました。",
            "3 監視イベント番号: 5 - メッセージの送信に失敗しました。ユーザー名(OFFLINE)が見つ"
            "かりませんでした。",
            "3 監視イベント番号: 5 - メッセージの送信に失敗しました。ユーザー名(bad*name)は無効"
            "です。",
            "2 監視イベント番号: 5 - すべてのユーザーへメッセージが送信できませんでした。"}));
    EXPECT_EQ(good.Messages(), 2);  // the refusal stopped record 3 before its second name
    EXPECT_EQ(sink.lines.front(), "4 メッセージ送信開始");
    EXPECT_EQ(sink.lines.back(), "4 メッセージ送信終了");
}

TEST_F(NetsendPeer, SambaReceivesTheReports) {
    // smbd on the test's port, its folders and configuration its own, messages saved to files.
    TestFolder samba;
    const std::string dir = samba.Path();
    chmod(dir.c_str(), 0755);
    for (const char* sub : {"lock", "state", "cache", "private", "pid", "ncalrpc", "log"}) {
        platform::ForceDirectories(dir + sub);
    }
    platform::ForceDirectories(dir + "msgs");
    chmod((dir + "msgs").c_str(), 0777);  // the message command runs as the guest user
    WriteFileBytes(dir + "smb.conf",
                   "[global]\n  server min protocol = NT1\n  dos charset = CP932\n"
                   "  unix charset = UTF-8\n  smb ports = " +
                       std::to_string(port) +
                       "\n  interfaces = 127.0.0.1\n  bind interfaces only = yes\n"
                       "  netbios name = RECEIVER\n  load printers = no\n"
                       "  printcap name = /dev/null\n  disable spoolss = yes\n"
                       "  message command = /bin/sh -c 'cat %s > " +
                       dir + "msgs/msg.$$.tmp; mv " + dir + "msgs/msg.$$.tmp " + dir +
                       "msgs/msg.$$; rm -f %s' &\n"
                       "  lock directory = " +
                       dir + "lock\n  state directory = " + dir +
                       "state\n  cache directory = " + dir + "cache\n  private dir = " + dir +
                       "private\n  pid directory = " + dir + "pid\n  ncalrpc dir = " + dir +
                       "ncalrpc\n  log file = " + dir + "log/log.%m\n");
    const pid_t smbd = fork();
    if (smbd == 0) {
        // smbd makes a session of its own, so that its signals at the end stay in it.
        execlp("smbd", "smbd", "--foreground", "-s", (dir + "smb.conf").c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(smbd, 0);
    struct Stop {
        pid_t pid;
        ~Stop() {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    } stop{smbd};
    bool listening = false;
    for (int i = 0; i < 250 && !listening; ++i) {
        const int probe = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listening = connect(probe, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
        close(probe);
        if (!listening) usleep(20000);
    }
    ASSERT_TRUE(listening) << ReadFileBytes(dir + "log/log.smbd");

    ReportRecord& ascii = Report(1, {"RECEIVER"});
    ascii.ReportText = "Disk C: is full.\r\nService Spooler stopped.";
    ReportRecord& japanese = Report(2, {"receiver"});
    std::string text;
    for (int i = 0; i < 8; ++i) text += Utf8(u8"ディスク Ｃ： の空き容量がありません。㈱①\r\n");
    japanese.ReportText = platform::Utf8ToSjis(text);
    SendNetworkMessages(batch);
    EXPECT_EQ(Lines(),
              (std::vector<std::string>{"0 監視イベント番号: 1 - メッセージが送信されました。",
                                        "0 監視イベント番号: 2 - メッセージが送信されました。"}));

    std::vector<std::string> received;
    for (int i = 0; i < 250 && received.size() < 2; ++i) {
        std::vector<platform::FindData> files;
        received.clear();
        if (platform::FindFiles(dir + "msgs/msg.*", files)) {
            for (const auto& f : files) {
                if (f.name.find(".tmp") == std::string::npos) {
                    received.push_back(ReadFileBytes(dir + "msgs/" + f.name));
                }
            }
        }
        if (received.size() < 2) usleep(20000);
    }
    ASSERT_EQ(received.size(), 2u);
    std::sort(received.begin(), received.end());
    // Samba writes the text in UTF-8 with its line ends as LF.
    EXPECT_EQ(received[0],
              "Quorvik Report (監視イベント番号: 1) - subject\n\nDisk C: is full.\n"
              "Service Spooler stopped.");
    std::string expected = "Quorvik Report (監視イベント番号: 2) - subject\n\n";
    for (int i = 0; i < 8; ++i) expected += "ディスク Ｃ： の空き容量がありません。㈱①\n";
    EXPECT_EQ(received[1], expected);
}

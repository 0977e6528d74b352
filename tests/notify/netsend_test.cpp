// Network messages: received by Samba's smbd as a desktop would receive them, and by scripted
// responders for what Samba never does; the log lines of the mixed cases.
#include "notify/netsend.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
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
#include "platform/machine/machine.h"
#include "platform/machine/netmsg.h"
#include "platform/machine/registry_files.h"
#include "support/loopback.h"
#include "support/machine_folder.h"
#include "support/mail_server.h"

using platform::SjisToUtf8;

namespace {

// A receiver on a loopback address that answers as told.
class Responder {
public:
    enum class Kind { Accept, NegativeSession, DenyMessage, RefuseMessage, Silent, KeepAlive };

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
            while (m_kind == Kind::KeepAlive && !m_stop) {
                send(fd, "\x85\x00\x00\x00", 4, MSG_NOSIGNAL);
                usleep(100000);
            }
            const std::uint8_t command = static_cast<std::uint8_t>(packet[8]);
            const bool message = command == 0xD0 || command == 0xD5;
            std::uint32_t status = 0;
            if (message && m_kind == Kind::DenyMessage) status = 0xC0000022;    // access denied
            if (message && m_kind == Kind::RefuseMessage) status = 0xC00000D0;  // not accepted
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
        port = reserved.Port();
        platform::ForceDirectories(machine.Root() + "Windows/system32/drivers/etc");
        WriteFileBytes(machine.Root() + "Windows/system32/drivers/etc/lmhosts",
                       "# the receivers of the test\r\n"
                       "127.0.0.1    RECEIVER    #PRE\r\n"
                       "127.0.0.2    DENIER\r\n"
                       "127.0.0.3    \"QUIET          \\0x03\"  #PRE #DOM:WORK\r\n"
                       "127.0.0.4    NOBODY      # a responder that turns names away\r\n"
                       "127.0.0.5    OFFLINE\r\n"
                       "127.0.0.6    CHATTY\r\n"
                       "127.0.0.7    REFUSER\r\n"
                       "127.0.0.8    SECOND\r\n" +
                           platform::Utf8ToSjis("127.0.0.1    日本機\r\n"));
        machine.AddRegFile(
            "50-netbt.reg",
            "Windows Registry Editor Version 5.00\r\n\r\n" +
                platform::RegKeyLine("SYSTEM\\CurrentControlSet\\Services\\NetBT\\Parameters") +
                platform::RegDwordLine("SessionPort", port));
        SetProgramLog(&log);
        previousLimit = platform::SetNetMessageTimeLimit(1500);
    }
    ~NetsendTest() override {
        platform::SetNetMessageTimeLimit(previousLimit);
        SetProgramLog(nullptr);
    }

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
    unsigned previousLimit = 0;
    ReservedPort reserved;  // the session port, for the responders and smbd
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
    Responder chatty("127.0.0.6", port, Responder::Kind::KeepAlive);
    Responder refuser("127.0.0.7", port, Responder::Kind::RefuseMessage);
    ASSERT_TRUE(good.Bound() && denier.Bound() && quiet.Bound() && nobody.Bound() &&
                chatty.Bound() && refuser.Bound());
    EXPECT_EQ(Send("receiver"), 0u);
    EXPECT_EQ(Send("日本機", std::string(300, 'x')), 0u);  // several blocks
    EXPECT_EQ(good.Messages(), 2);
    EXPECT_EQ(Send("DENIER"), platform::kErrorAccessDenied);
    EXPECT_EQ(Send("NOBODY"), platform::kNerrNameNotFound);
    EXPECT_EQ(Send("OFFLINE"), platform::kNerrNameNotFound);     // refused connection
    EXPECT_EQ(Send("NOSUCHNAME"), platform::kNerrNameNotFound);  // not in lmhosts nor DNS
    EXPECT_EQ(Send("REFUSER"), platform::kNerrNameNotFound);     // no messenger there
    // Silence, or keep-alives without an answer: the send's one deadline ends both.
    EXPECT_EQ(Send("QUIET"), platform::kErrorSemTimeout);
    EXPECT_EQ(Send("CHATTY"), platform::kErrorSemTimeout);
    EXPECT_EQ(Send("SIXTEEN-CHARS-XX"), platform::kErrorInvalidName);
    EXPECT_EQ(Send("a*b"), platform::kErrorInvalidName);
    EXPECT_EQ(Send(""), platform::kErrorInvalidName);
}

TEST_F(NetsendTest, AMachineNamedRelativelyFindsItsLmhosts) {
    // "System32" in the path, "system32" on disk: matched without case below a relative root too.
    std::uint32_t address = 0;
    const std::string root = machine.Root();
    const size_t cut = root.rfind('/', root.size() - 2);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(root.substr(0, cut).c_str()), 0);
    platform::SetMachineRoot(root.substr(cut + 1));
    const bool found = platform::LookupLmhosts("RECEIVER", address);
    EXPECT_EQ(chdir(cwd), 0);
    platform::SetMachineRoot(root);
    EXPECT_TRUE(found);
    EXPECT_EQ(address, htonl(INADDR_LOOPBACK));
}

TEST_F(NetsendTest, SummaryLinesOfTheMixedCases) {
    Responder good("127.0.0.1", port, Responder::Kind::Accept);
    Responder denier("127.0.0.2", port, Responder::Kind::DenyMessage);
    Responder quiet("127.0.0.3", port, Responder::Kind::Silent);
    Report(1, {"ops@example.jp"});  // mail only: nothing at all
    Report(2, {"OFFLINE", "RECEIVER"});
    Report(3, {"DENIER", "RECEIVER"});
    Report(4, {"RECEIVER", "ops@example.jp"});
    Report(5, {"OFFLINE", "bad*name"});
    Report(6, {"QUIET", "RECEIVER"});             // one silent receiver silences nobody else
    Report(7, {platform::Utf8ToSjis("日本機")});  // 8B 40: a computer, not a mail address
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
            "2 監視イベント番号: 5 - すべてのユーザーへメッセージが送信できませんでした。",
            "3 監視イベント番号: 6 - メッセージの送信に失敗しました。ユーザー名(QUIET)でエラー"
            "(121)が発生しました。",
            "2 監視イベント番号: 6 - メッセージは送信されましたが、送信できなかったユーザーがあ"
            "ります。",
            "0 監視イベント番号: 7 - メッセージが送信されました。"}));
    EXPECT_EQ(good.Messages(), 4);  // the refusal stopped record 3 before its second name
    EXPECT_EQ(sink.lines.front(), "4 メッセージ送信開始");
    EXPECT_EQ(sink.lines.back(), "4 メッセージ送信終了");
}

namespace {

// The lines of the README's smb.conf recipe, with its user made the test's own.
std::string ReadmeSambaLines() {
    const std::string readme = ReadFileBytes(QUORVIK_TEST_DATA "/../../README.md");
    size_t at = readme.find("/etc/samba/smb.conf`:");
    if (at == std::string::npos) return "";
    at = readme.find("\n\n", at) + 2;
    const std::string block = readme.substr(at, readme.find("\n\n", at) - at);
    std::string lines;
    for (size_t pos = 0; pos < block.size();) {
        size_t end = block.find('\n', pos);
        if (end == std::string::npos) end = block.size();
        std::string line = block.substr(pos, end - pos);
        pos = end + 1;
        const size_t user = line.find("= alice");
        if (user != std::string::npos) line.replace(user + 2, 5, getpwuid(getuid())->pw_name);
        lines += line + "\n";
    }
    return lines;
}

// smbd on the test's port and 127.0.0.1 alone, in folders of its own, with these [global] lines.
class Smbd {
public:
    Smbd(const std::string& dir, std::uint16_t port, const std::string& global,
         const std::string& path) {
        for (const char* sub : {"lock", "state", "cache", "private", "pid", "ncalrpc", "log"}) {
            platform::ForceDirectories(dir + sub);
        }
        m_log = dir + "log/log.smbd";
        WriteFileBytes(dir + "smb.conf",
                       "[global]\n" + global + "  smb ports = " + std::to_string(port) +
                           "\n  interfaces = 127.0.0.1\n  bind interfaces only = yes\n"
                           "  netbios name = RECEIVER\n  load printers = no\n"
                           "  printcap name = /dev/null\n  disable spoolss = yes\n"
                           "  lock directory = " +
                           dir + "lock\n  state directory = " + dir +
                           "state\n  cache directory = " + dir + "cache\n  private dir = " + dir +
                           "private\n  pid directory = " + dir + "pid\n  ncalrpc dir = " + dir +
                           "ncalrpc\n  log file = " + dir + "log/log.%m\n");
        m_pid = fork();
        if (m_pid == 0) {
            if (!path.empty()) setenv("PATH", (path + ":" + getenv("PATH")).c_str(), 1);
            execlp("smbd", "smbd", "--foreground", "-s", (dir + "smb.conf").c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 250 && m_pid > 0 && !m_listening; ++i) {
            const int probe = socket(AF_INET, SOCK_STREAM, 0);
            struct sockaddr_in addr {};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(port);
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            m_listening =
                connect(probe, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
            close(probe);
            if (!m_listening) usleep(20000);
        }
    }
    ~Smbd() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
    bool Listening() const { return m_listening; }
    std::string Log() const { return ReadFileBytes(m_log); }

private:
    pid_t m_pid = -1;
    bool m_listening = false;
    std::string m_log;
};

}  // namespace

TEST_F(NetsendPeer, SambaReceivesTheReportsWithTheReadmeRecipe) {
    // The README's lines as they stand; notify-send stands in for the desktop and writes what
    // it was given, and the bus it was told, into a folder only the guest account may write.
    const std::string readme = ReadmeSambaLines();
    ASSERT_NE(readme.find("message command"), std::string::npos);
    TestFolder samba;
    const std::string dir = samba.Path();
    chmod(dir.c_str(), 0755);
    platform::ForceDirectories(dir + "bin");
    platform::ForceDirectories(dir + "msgs");
    chmod((dir + "msgs").c_str(), 0700);
    WriteFileBytes(
        dir + "bin/notify-send",
        "#!/bin/sh\nf=" + dir +
            "msgs/msg.$$\n"
            "printf '%s\\n%s\\n%s' \"$DBUS_SESSION_BUS_ADDRESS\" \"$1\" \"$2\" > $f.tmp\n"
            "mv $f.tmp $f\n");
    chmod((dir + "bin/notify-send").c_str(), 0755);
    Smbd smbd(dir, port, readme, dir + "bin");
    ASSERT_TRUE(smbd.Listening()) << smbd.Log();

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
    ASSERT_EQ(received.size(), 2u) << smbd.Log();
    std::sort(received.begin(), received.end());
    // Samba writes the text in UTF-8 with its line ends as LF; the shell drops the last ones.
    const std::string head =
        "unix:path=/run/user/" + std::to_string(getuid()) + "/bus\nQuorvik\nQuorvik Report ";
    EXPECT_EQ(received[0], head +
                               "(監視イベント番号: 1) - subject\n\nDisk C: is full.\n"
                               "Service Spooler stopped.");
    std::string expected = head + "(監視イベント番号: 2) - subject\n\n";
    for (int i = 0; i < 8; ++i) expected += "ディスク Ｃ： の空き容量がありません。㈱①\n";
    expected.pop_back();
    EXPECT_EQ(received[1], expected);
}

TEST_F(NetsendPeer, ASambaThatTakesNoMessageStopsNobodyElse) {
    // Samba's defaults: no message command (it refuses the send), then SMB1 turned off (the
    // negotiation finds nothing in common); the next recipient is tried either way.
    Responder second("127.0.0.8", port, Responder::Kind::Accept);
    ASSERT_TRUE(second.Bound());
    const std::string notFound =
        "3 監視イベント番号: 1 - メッセージの送信に失敗しました。ユーザー名(RECEIVER)が見つか"
        "りませんでした。";
    const std::string partly =
        "2 監視イベント番号: 1 - メッセージは送信されましたが、送信できなかったユーザーがあり"
        "ます。";
    for (const char* global : {"  server min protocol = NT1\n", ""}) {
        TestFolder samba;
        Smbd smbd(samba.Path(), port, global, "");
        ASSERT_TRUE(smbd.Listening()) << smbd.Log();
        sink.lines.clear();
        batch.clear();
        Report(1, {"RECEIVER", "SECOND"});
        SendNetworkMessages(batch);
        EXPECT_EQ(Lines(), (std::vector<std::string>{notFound, partly})) << global;
    }
    EXPECT_EQ(second.Messages(), 2);
}

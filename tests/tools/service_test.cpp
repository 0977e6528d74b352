// The watch without a window, as a service manager runs it: no display, readiness, status and
// the watchdog on a notification socket of the test's own, a report mailed, the configuration
// read again on SIGHUP (and kept when the new files do not read), an end on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>

#include "config/lists.h"
#include "config/settings.h"
#include "eventlog/catalog.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry_files.h"
#include "support/child_process.h"
#include "support/machine_folder.h"
#include "support/mail_server.h"
#include "support/watch_entries.h"

namespace {

// The systemd side of the notification protocol: a datagram socket the service writes to.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : m_path(path) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        timeval wait{0, 100000};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~NotifySocket() {
        close(m_fd);
        unlink(m_path.c_str());
    }
    // Reads what came until a message holds the text or the time is up.
    bool WaitFor(const std::string& text, int milliseconds) {
        for (int waited = 0; waited < milliseconds; waited += 100) {
            if (Has(text)) return true;
            char buffer[4096];
            const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            if (n > 0) received.emplace_back(buffer, static_cast<size_t>(n));
        }
        return Has(text);
    }
    bool Has(const std::string& text) const {
        for (const std::string& m : received) {
            if (m.find(text) != std::string::npos) return true;
        }
        return false;
    }
    std::vector<std::string> received;

private:
    std::string m_path;
    int m_fd = -1;
};

std::string LogText(const std::string& folder) {
    std::string all;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        all += platform::SjisToUtf8(ReadFileBytes(entry.path().string()));
    }
    return all;
}

bool WaitForLog(const std::string& folder, const std::string& text) {
    for (int i = 0; i < 200; ++i) {
        if (LogText(folder).find(text) != std::string::npos) return true;
        usleep(50000);
    }
    return false;
}

}  // namespace

TEST(ServicePeer, WatchesWithoutADisplayTellsSystemdAndReloadsOnSighup) {
    MachineFolder machine;
    // A portable copy's folder: its files beside it, the machine named by the environment.
    WriteFileBytes(machine.Root() + "ETC.DAT", "");
    platform::SetExecutableDirectory(machine.Root());
    MailServer server(machine.Root() + "mail/");
    ASSERT_TRUE(server.Started());
    platform::AppendMachineRegistry(
        platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\Application\\App") +
        platform::RegExpandStringLine("EventMessageFile",
                                      std::string(platform::kEventCreateMessageFile)));
    const std::string logs = machine.Root() + "log/";
    Settings settings;
    settings.SenderName = "Quorvik";
    settings.MailAddr = "quorvik@example.jp";
    settings.SMTPServer = "127.0.0.1";
    settings.SMTPPort = server.Port();
    settings.TimeOut = 5;
    settings.Enable = true;
    settings.Path = logs;
    ASSERT_TRUE(SaveSettings(settings));
    ExtensionSettings extension;
    extension.Immediate = true;
    ASSERT_TRUE(SaveExtensionSettings(extension));
    WatchList watches;
    watches.push_back(DiskEntry(1, "Application"));
    ASSERT_TRUE(SaveWatchList(watches));
    // Beside its files, as a portable copy: the same folders the window would use.
    const std::string program = machine.Root() + "quorvik-service";
    std::filesystem::copy_file(std::string(QUORVIK_TOOLS_DIR) + "/quorvik-service", program);
    NotifySocket notify(machine.Root() + "notify.sock");
    ChildProcess service({program}, {{"NOTIFY_SOCKET", machine.Root() + "notify.sock"},
                                     {"NT_MACHINE_ROOT", machine.Root()},
                                     {"WATCHDOG_USEC", "1000000"},
                                     {"DISPLAY", ""},
                                     {"WAYLAND_DISPLAY", ""},
                                     {"QT_QPA_PLATFORM", ""}});
    ASSERT_TRUE(notify.WaitFor("READY=1", 15000));
    EXPECT_TRUE(notify.WaitFor("WATCHDOG=1", 3000));

    platform::EventToWrite e;
    e.eventId = 100;
    e.strings = {"disk full"};
    ASSERT_TRUE(platform::ReportEvent("App", e));
    ASSERT_FALSE(server.WaitForMail(1).empty()) << LogText(logs);
    EXPECT_TRUE(notify.WaitFor("送信 1件", 8000));

    // Read again on SIGHUP; then a watch list that does not read is refused, and the running
    // configuration still reports.
    kill(service.Pid(), SIGHUP);
    EXPECT_TRUE(WaitForLog(logs, "設定を読み込み直しました。"));
    WriteFileBytes(WatchListPath(), "garbage that is no watch list");
    kill(service.Pid(), SIGHUP);
    EXPECT_TRUE(WaitForLog(logs, "設定ファイルが正しく読めないため、読み込み直しませんでした。"));
    ASSERT_TRUE(platform::ReportEvent("App", e));
    EXPECT_FALSE(server.WaitForMail(2).empty());

    kill(service.Pid(), SIGTERM);
    EXPECT_EQ(service.Wait(10000), 0);
    EXPECT_TRUE(notify.WaitFor("STOPPING=1", 1000));
    EXPECT_TRUE(notify.Has("STATUS=監視中"));
    platform::SetExecutableDirectory("");
}

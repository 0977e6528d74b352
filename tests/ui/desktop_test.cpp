// The real program on a real X server (Xvfb) with a window manager (openbox) and trayer as its
// notification area: the tray icon driven with xdotool, a second start refused, an event reported
// by mail at the first tick, and the end through the tray's menu with the window's state kept.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "config/lists.h"
#include "config/settings.h"
#include "eventlog/catalog.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry_files.h"
#include "support/child_process.h"
#include "support/machine_folder.h"
#include "support/mail_server.h"

namespace {

std::string Build(const std::string& name) { return std::string(QUORVIK_BUILD_DIR) + "/" + name; }

// The display Xvfb chose and wrote to the pipe once it listens ("" when it said nothing in
// 30 s): no probing of numbers that another test or server may take meanwhile.
std::string DisplayFrom(int fd) {
    std::string number;
    for (int waited = 0; waited < 30000 && number.find('\n') == std::string::npos; waited += 100) {
        struct pollfd p {
            fd, POLLIN, 0
        };
        if (poll(&p, 1, 100) <= 0) continue;
        char buffer[16];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        number.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    const size_t end = number.find('\n');
    return end == std::string::npos || end == 0 ? std::string() : ":" + number.substr(0, end);
}

// Runs an X client command on the display; its output.
std::string X(const std::string& display, const std::string& command, int* code = nullptr) {
    std::string out;
    const int result = RunCommand("DISPLAY=" + display + " " + command + " 2>/dev/null", &out);
    if (code) *code = result;
    return out;
}

// The visible windows of a process with that title (any title when empty), waiting up to the
// time for one.
std::vector<std::string> WindowsOf(const std::string& display, pid_t pid, const std::string& title,
                                   int milliseconds = 30000) {
    std::vector<std::string> ids;
    for (int waited = 0; ids.empty(); waited += 100) {
        std::string out =
            X(display, "xdotool search --all --onlyvisible --pid " + std::to_string(pid) +
                           (title.empty() ? "" : " --name '^" + title + "$'"));
        for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
            ids.push_back(out.substr(at, end - at));
        }
        if (!ids.empty() || waited >= milliseconds) break;
        usleep(100000);
    }
    return ids;
}

int WidthOf(const std::string& display, const std::string& id) {
    const std::string shell = X(display, "xdotool getwindowgeometry --shell " + id);
    const size_t at = shell.find("WIDTH=");
    return at == std::string::npos ? 0 : std::atoi(shell.c_str() + at + 6);
}

// The widest of them: the tray icon has the program's title too.
std::string WindowOf(const std::string& display, pid_t pid, const std::string& title,
                     int milliseconds = 30000) {
    std::string widest;
    int width = -1;
    for (const std::string& id : WindowsOf(display, pid, title, milliseconds)) {
        const int w = WidthOf(display, id);
        if (w > width) {
            width = w;
            widest = id;
        }
    }
    return widest;
}

}  // namespace

TEST(DesktopPeer, TrayMailAndASecondStart) {
    // The program, its libraries and help in a folder of their own, with its configuration.
    TestFolder app;
    for (const char* file : {"quorvik", "libbsmtp.so", "libunlha32.so", "Quorvik.html"}) {
        std::filesystem::copy_file(Build(file), app.File(file));
    }
    chmod(app.File("quorvik").c_str(), 0755);
    MailServer server(app.File("mail/"));
    ASSERT_TRUE(server.Started());
    MachineFolder machine;
    platform::AppendMachineRegistry(
        platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\System\\Disk") +
        platform::RegExpandStringLine("EventMessageFile",
                                      std::string(platform::kEventCreateMessageFile)));
    platform::SetExecutableDirectory(app.Path());
    Settings settings;
    settings.Interval = 1;  // the shortest interval: the first tick one minute after the start
    settings.SenderName = "Quorvik";
    settings.MailAddr = "quorvik@example.jp";
    settings.SMTPServer = "127.0.0.1";
    settings.SMTPPort = server.Port();
    settings.TimeOut = 10;
    settings.Enable = true;
    settings.Path = app.Path();
    ASSERT_TRUE(SaveSettings(settings));
    AddressList addresses;
    WatchList watches;
    LoadAddressList(addresses);
    LoadWatchList(watches);
    addresses.push_back(
        std::make_unique<AddressEntry>(AddressEntry{"", "", "ops@example.jp", "", ""}));
    auto entry = std::make_unique<WatchEntry>();
    entry->EventNum = 5;
    entry->MailSubject = sjis(u8"ディスク");
    entry->LogName = "System";
    entry->SourceName = entry->Category = AnyValueText();
    entry->AddrList = {"ops@example.jp"};
    watches.push_back(std::move(entry));
    ASSERT_TRUE(SaveAddressList(addresses) && SaveWatchList(watches));
    platform::SetExecutableDirectory("");

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    fcntl(pipeFds[0], F_SETFD, FD_CLOEXEC);
    ChildProcess xvfb({"Xvfb", "-displayfd", std::to_string(pipeFds[1]), "-screen", "0",
                       "1024x700x24", "-nolisten", "tcp"});
    close(pipeFds[1]);
    const std::string display = DisplayFrom(pipeFds[0]);
    ASSERT_FALSE(display.empty()) << "Xvfb named no display";
    int code = 1;
    for (int i = 0; i < 300 && code != 0; ++i) {
        X(display, "xdpyinfo", &code);
        if (code != 0) usleep(100000);
    }
    ASSERT_EQ(code, 0) << "Xvfb did not start";
    const std::map<std::string, std::string> environment = {{"DISPLAY", display},
                                                            {"NT_MACHINE_ROOT", machine.Root()},
                                                            {"XDG_RUNTIME_DIR", app.Path()},
                                                            {"QT_QPA_PLATFORM", "xcb"}};
    // The window manager first, and in place before trayer docks: the two starting at once
    // may race for trayer's window. Under load (ctest running other tests beside this one) an
    // openbox has been seen to end at once, before it manages the screen, once in five to ten
    // starts, with nothing that could be reproduced alone: it is started again, up to three
    // times, without a session manager to talk to, and what it said is kept and shown when no
    // start held.
    const std::string managerLog = app.File("openbox.log");
    std::unique_ptr<ChildProcess> manager;
    bool managed = false;
    std::string ended;
    for (int attempt = 0; attempt < 3 && !managed; ++attempt) {
        manager = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/bin/sh", "-c",
                                     "exec openbox --sm-disable >>'" + managerLog + "' 2>&1"},
            environment);
        for (int i = 0; i < 300 && !managed && manager->Running(); ++i) {
            managed = X(display, "xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") !=
                      std::string::npos;
            if (!managed) usleep(100000);
        }
        if (!managed && !manager->Running())
            ended += " (ended with " + std::to_string(manager->Wait(0)) + ")";
    }
    ASSERT_TRUE(managed) << "openbox did not start" << ended << ": " << ReadFileBytes(managerLog);
    ChildProcess tray({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel",
                       "--width", "120", "--height", "24"},
                      environment);
    // The notification area before the program, so that the program finds one.
    ASSERT_FALSE(WindowOf(display, tray.Pid(), "").empty())
        << "trayer did not start" << (tray.Running() ? "" : " (it ended)");
    ChildProcess quorvik({app.File("quorvik")}, environment);
    const std::string window = WindowOf(display, quorvik.Pid(), "Quorvik");
    ASSERT_FALSE(window.empty()) << "no main window";
    // Its icon is a second window of the program, inside trayer's.
    for (int i = 0; i < 100 && WindowsOf(display, quorvik.Pid(), "").size() < 2; ++i) {
        usleep(100000);
    }
    std::string icon;
    for (const std::string& id : WindowsOf(display, quorvik.Pid(), "")) {
        if (id != window && WidthOf(display, id) < 64) icon = id;
    }
    ASSERT_FALSE(icon.empty()) << "no tray icon";
    const std::string onIcon = "xdotool mousemove --window " + icon + " 6 6 ";

    // Minimised, only the icon is left; a double-click on it brings the window back.
    X(display, "xdotool windowminimize --sync " + window);
    EXPECT_NE(WindowOf(display, quorvik.Pid(), "Quorvik", 2000), window);
    X(display, onIcon + "click --repeat 2 --delay 80 1");
    EXPECT_EQ(WindowOf(display, quorvik.Pid(), "Quorvik"), window)
        << "the double-click did not open it";

    // A second start says so and ends; the first goes on.
    ChildProcess second({app.File("quorvik")}, environment);
    const std::string box = WindowOf(display, second.Pid(), "Quorvik");
    ASSERT_FALSE(box.empty()) << "no message from the second start";
    X(display, "xdotool key --window " + box + " Return");
    EXPECT_EQ(second.Wait(10000), 0);
    EXPECT_TRUE(quorvik.Running());

    // An event, reported by mail at the first tick.
    ASSERT_EQ(RunCommand(Build("eventcreate") + " --machine " + machine.Root() +
                         " --log System --source Disk --type error --id 7 --string " +
                         "'ディスクの空きがありません'"),
              0);
    std::string mail;
    for (int i = 0; i < 9 && mail.empty(); ++i) mail = server.WaitForMail(1);  // 90 s at most
    ASSERT_FALSE(mail.empty()) << "no mail within the first tick";
    EXPECT_NE(server.Decode(mail).find(HexOf("ディスクの空きがありません")), std::string::npos);

    std::filesystem::create_directories(Build("screenshots"));
    X(display, "import -window root " + Build("screenshots/desktop.png"));

    // The tray's menu ends the program as its own menu does, keeping the window's state.
    // trayer grabs the button and replays the press, and the second copy can land on the
    // menu Qt has just opened and close it again: press again a few times; failing that,
    // end through the window's own menu, which must end it the same way.
    const auto before = WindowsOf(display, quorvik.Pid(), "");
    std::string popup;
    for (int attempt = 0; attempt < 3 && popup.empty(); ++attempt) {
        X(display, "xdotool mousemove 0 400 sleep 0.3 " + onIcon + "sleep 0.3 click 3");
        for (int i = 0; i < 20 && popup.empty(); ++i) {
            for (const std::string& id : WindowsOf(display, quorvik.Pid(), "", 0)) {
                if (std::find(before.begin(), before.end(), id) == before.end()) popup = id;
            }
            if (popup.empty()) usleep(100000);
        }
    }
    if (!popup.empty()) X(display, "xdotool key --window " + popup + " x");
    if (popup.empty() || quorvik.Wait(5000) == -1) {
        std::printf(
            "the tray's popup menu did not stay open under trayer; ending by the "
            "window's menu\n");
        X(display, "xdotool windowactivate --sync " + window + " key alt+f sleep 0.5 key x");
    }
    EXPECT_EQ(quorvik.Wait(10000), 0);
    platform::SetExecutableDirectory(app.Path());
    EXPECT_GT(ReadIntSetting("MainWindow", "Width", 0), 0);
    platform::SetExecutableDirectory("");
    std::vector<platform::FindData> logs;
    ASSERT_TRUE(platform::FindFiles(app.File("QV*.LOG"), logs));
    EXPECT_NE(platform::SjisToUtf8(ReadFileBytes(app.File(logs[0].name)))
                  .find("監視イベント番号: 5 - メールが送信されました。"),
              std::string::npos);
}

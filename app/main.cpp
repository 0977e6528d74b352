// The entry point: one instance per user, the main window, and the message loop.

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "platform/codepage.h"
#include "platform/instance.h"
#include "platform/machine/machine.h"
#include "platform/pump.h"
#include "platform/signals.h"
#include "session/service_link.h"
#include "session/watch_session.h"
#include "ui/app_setup.h"
#include "ui/main_window.h"
#include "ui/qt_shell.h"

namespace {

// Shows what escapes an event handler in a box and goes on, as the standard exception box does.
class QuorvikApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            QMessageBox::critical(nullptr, QStringLiteral("Quorvik"), ToQString(e.what()));
        } catch (...) {
            QMessageBox::critical(nullptr, QStringLiteral("Quorvik"),
                                  QString::fromUtf8(u8"予期しないエラーが発生しました。"));
        }
        return false;
    }
};

bool HasDisplay() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

// Qt ends a program whose display it cannot open with an abort (and a core): said here in both
// languages, and ended with status 1.
void OnQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtFatalMsg) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
        return;
    }
    const bool display = message.contains(QLatin1String("platform plugin")) ||
                         message.contains(QLatin1String("connect to display"));
    if (display) {
        std::fprintf(stderr,
                     "Quorvik のウィンドウを表示するディスプレイを開けませんでした (DISPLAY=%s)。\n"
                     "Quorvik could not open a display for its window (DISPLAY=%s).\n"
                     "ウィンドウなしで監視するには quorvik-service を使ってください。 / To watch "
                     "without a window, use quorvik-service.\n",
                     std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "",
                     std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
    } else {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    }
    std::fflush(stderr);
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    // Answered before anything starts: no window, no monitoring.
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(platform::JapaneseLocale()
                       ? "使い方: quorvik [--help | --version]\n"
                         "Windows NT のイベントログを監視し、日本語のレポートをメールで送り"
                         "ます。ウィンドウなしで監視するには quorvik-service(1) を使います。\n"
                       : "usage: quorvik [--help | --version]\n"
                         "Watches the event logs of an NT machine and mails Japanese "
                         "reports. To watch without a window, see quorvik-service(1).\n",
                   stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("quorvik %s\n", QUORVIK_VERSION);
        return 0;
    }
    qInstallMessageHandler(OnQtMessage);
    if (!HasDisplay()) {
        std::fprintf(stderr,
                     "Quorvik is a desktop program and found no display (DISPLAY is not set).\n"
                     "Start it from a desktop session, or on a machine without one under Xvfb:\n"
                     "  xvfb-run -a %s\n"
                     "Quorvik はデスクトップで動くプログラムです。デスクトップのセッションから起動"
                     "してください。\n",
                     argv[0]);
        return 1;
    }
    QuorvikApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvik"));
    QApplication::setApplicationVersion(QStringLiteral(QUORVIK_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/quorvik.svg")));
    PrepareApplication(app);
    // Minimised into the notification area, the window is hidden, not closed: the program ends
    // only when the main window closes.
    QApplication::setQuitOnLastWindowClosed(false);

    platform::SingleInstance instance;
    // The user's service watching these folders already: the window edits its configuration.
    service_link::State service;
    const bool first = instance.Acquire("Quorvik");
    const bool editing =
        !first && service_link::FindService(service) && service.config == ConfigDirectory();
    if (!first && !editing) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Quorvik"),
                        QString::fromUtf8(u8"Quorvikはすでに起動されています。"), QMessageBox::Ok);
        box.exec();
        return 0;
    }
    platform::SetMessagePump([] { QCoreApplication::processEvents(); });
    // From here on a request to end waits for the window, which ends the program as its menu
    // does; before, one that came while the session loaded killed the program half-started.
    platform::TerminationRequests();
    int status = 0;
    try {
        platform::EnsureMachine();
        WatchSession session;
        if (editing)
            session.EditFor([] {
                service_link::State now;
                if (service_link::FindService(now)) service_link::AskReload(now);
            });
        session.Load();
        TfrmMain window(session);
        platform::SetShell(&window.Shell());
        window.show();
        QuorvikApplication::exec();
        platform::SetShell(nullptr);
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QStringLiteral("Quorvik"), ToQString(e.what()));
        status = kExitStartFailed;
    }
    platform::SetMessagePump(nullptr);
    instance.Release();
    return status;
}

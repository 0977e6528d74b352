#include "ui/main_window.h"

#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSocketNotifier>
#include <algorithm>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/signals.h"
#include "platform/user_folders.h"
#include "session/session_config.h"
#include "ui/dialog_support.h"
#include "ui/setup_etc_dialog.h"
#include "ui/setup_mail_dialog.h"
#include "ui/setup_watch_dialog.h"
#include "ui/tray_icon.h"
#include "ui/version_box.h"
#include "ui_main_window.h"

namespace {

// The design's client area and column widths.
constexpr int kClientWidth = 571;
constexpr int kClientHeight = 200;

}  // namespace

TfrmMain::TfrmMain(WatchSession& session, QWidget* parent)
    : QMainWindow(parent), m_session(session), ui(new Ui::TfrmMain), m_shell(this) {
    ui->setupUi(this);
    m_logView = std::make_unique<LogListView>(ui->lvwEvent);
    // A system menu, minimise and close; no maximise.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    resize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
    ui->lvwEvent->setColumnWidth(0, 60);
    ui->lvwEvent->setColumnWidth(1, 130);
    ui->lvwEvent->setColumnWidth(2, 500);

    // The dialogs, made once and shown again and again.
    m_setupEtc = new TfrmSetupEtc(this);
    m_setupMail = new TfrmSetupMail(this);
    m_setupWatch = new TfrmSetupWatch(this);
    m_version = new TfrmVersion(this);

    m_tmrStart.setSingleShot(true);
    m_tmrStart.setInterval(1);
    connect(&m_tmrStart, &QTimer::timeout, this, &TfrmMain::tmrStartTimer);
    connect(&m_tmrWatch, &QTimer::timeout, this, &TfrmMain::tmrWatchTimer);
    connect(ui->mnuFileExit, &QAction::triggered, this, &QWidget::close);
    connect(ui->mnuSetupEvent, &QAction::triggered, this, &TfrmMain::mnuSetupEventClick);
    connect(ui->mnuSetupMail, &QAction::triggered, this, &TfrmMain::mnuSetupMailClick);
    connect(ui->mnuSetupEtc, &QAction::triggered, this, &TfrmMain::mnuSetupEtcClick);
    connect(ui->mnuDebugMode, &QAction::toggled, this,
            [this](bool on) { m_session.Log().SetDebugMode(on); });
    connect(ui->mnuContents, &QAction::triggered, this,
            [] { platform::CurrentShell().ShowHelp(platform::ShippedFile("Quorvik.html"), 0); });
    connect(ui->mnuAbout, &QAction::triggered, this, [this] {
        m_version->ShowSources(m_session.SourcesStatus());
        m_version->exec();
    });

    m_pmnMain = new QMenu(this);
    QAction* pmnOpen = m_pmnMain->addAction(QString::fromUtf8(u8"開く(&O)..."));
    pmnOpen->setObjectName(QStringLiteral("pmnOpen"));
    m_pmnMain->addSeparator();
    QAction* pmnExit = m_pmnMain->addAction(QString::fromUtf8(u8"終了(&X)"));
    pmnExit->setObjectName(QStringLiteral("pmnExit"));
    connect(pmnOpen, &QAction::triggered, this, &TfrmMain::pmnOpenClick);
    connect(pmnExit, &QAction::triggered, this, &QWidget::close);

    // A session that ends, or a service manager, asks the program to end as its menu does.
    const int requests = platform::TerminationRequests();
    if (requests >= 0) {
        m_termination = new QSocketNotifier(requests, QSocketNotifier::Read, this);
        connect(m_termination, &QSocketNotifier::activated, this, [this, requests] {
            char drained[64];
            while (read(requests, drained, sizeof drained) > 0) {
            }
            close();
        });
    }
    m_session.SetView(this);
    FormCreate();
}

TfrmMain::~TfrmMain() {
    m_session.WaitUntilIdle();
    FormClose();
    m_session.SetView(nullptr);
}

void TfrmMain::FormCreate() {
    if (TrayIcon::Available()) {
        m_tray = new TrayIcon(m_pmnMain, this);
        connect(m_tray, &TrayIcon::openRequested, this, &TfrmMain::pmnOpenClick);
        m_tray->Show();
    }
    LoadWindowPosition();
    // The design widths, widened where this font needs more for the type and the time.
    TreeColumnWidths widths(
        ui->lvwEvent, {60, 130, 500},
        {ToQString(LevelName(kLogDebug)), QString::fromStdString(FormatLogTime(platform::SystemTime{
                                              2026, 12, 31, 23, 59, 59, 0, 0}))});
    LoadColumnWidths("MessageLog", widths);
    ui->mnuDebugMode->setChecked(ReadIntSetting("MainMenu", "Debug", 0) != 0);
    // Editing for a service, the service writes the log file; this window only shows it.
    if (!m_session.Editing()) m_session.Log().StartLogFile();
    // Without a screen (offscreen) there is nothing to minimise to.
    if (!m_tray && QGuiApplication::platformName() != QLatin1String("offscreen")) {
        LogMessage(kLogWarning, "%s",
                   sjis(u8"通知領域が見つからないため、アイコンは表示されません。最小化した"
                        u8"ウィンドウはタスク バーに残ります。")
                       .c_str());
    }
    if (!m_session.UsesMailLibrary()) {
        LogMessage(
            kLogWarning, "%s",
            sjis(u8"BSMTP.DLLが見つからないため、メール送信時の認証は利用できません。").c_str());
    }
    m_session.ApplyExtensions();
    m_tmrStart.start();
    if (m_session.Editing()) {
        setWindowTitle(windowTitle() + QString::fromUtf8(u8" - サービスの設定"));
        LogMessage(kLogInformation, "%s",
                   sjis(u8"サービスが監視しているため、このウィンドウは設定の編集だけを行います。"
                        u8"登録した設定は、サービスが読み込み直します。")
                       .c_str());
        m_configStamp = ConfigurationStamp();
        connect(&m_tmrService, &QTimer::timeout, this, &TfrmMain::tmrServiceTimer);
        m_tmrService.start(1000);
        tmrServiceTimer();
    }
}

void TfrmMain::tmrServiceTimer() {
    for (const service_link::LogLine& line : m_serviceLog.ReadNew()) {
        m_logView->AddLogLine(line.level, line.time, line.text);
    }
    service_link::State state;
    const bool running = service_link::FindService(state);
    if (m_tray) {
        m_tray->SetToolTip(running ? QString::fromUtf8(u8"Quorvik - サービス: ") +
                                         QString::fromStdString(state.status)
                                   : QString::fromUtf8(u8"Quorvik - サービスは停止しています"));
    }
    if (m_serviceRunning && !running) {
        const std::string text = sjis(
            u8"サービスが終了しました。監視するには、サービスを起動するか、"
            u8"このウィンドウを閉じて起動し直してください。");
        LogMessage(kLogWarning, "%s", text.c_str());
        if (m_tray) m_tray->ShowMessage(QStringLiteral("Quorvik"), ToQString(text));
    }
    m_serviceRunning = running;
    // What another program wrote (quorvik-config) replaces what the window holds, never under
    // an open dialog.
    const std::string stamp = ConfigurationStamp();
    if (stamp != m_configStamp && !QApplication::activeModalWidget()) {
        m_configStamp = stamp;
        m_session.Reload();
    }
}

void TfrmMain::FormClose() {
    if (m_closed) return;
    m_closed = true;
    m_tmrStart.stop();
    m_session.StopMonitoring();
    m_session.Log().CloseLogFile();
    m_session.Dispatch();  // the last lines into the list
    if (m_tray) m_tray->Hide();
    SaveWindowPosition();
    m_logView->RestoreTextColumnWidth();  // not the widening for long lines
    TreeColumnWidths widths(ui->lvwEvent);
    SaveColumnWidths("MessageLog", widths);
    WriteIntSetting("MainMenu", "Debug", ui->mnuDebugMode->isChecked() ? 1 : 0);
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    // A tick that runs ends first, giving up what it waits on: what it sent is sent, what it
    // could not send is kept where the options keep it. The session says when the end may come.
    if (!m_session.RequestEnd()) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
    QCoreApplication::quit();
}

void TfrmMain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // Minimised, the program shows only as its icon; without a notification area it stays in
    // the task bar, where it can be found.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && m_tray) {
        QTimer::singleShot(0, this, &QWidget::hide);
    }
}

void TfrmMain::pmnOpenClick() {
    showNormal();
    raise();
    activateWindow();
}

void TfrmMain::LoadWindowPosition() {
    const int left = ReadIntSetting("MainWindow", "Left", 0);
    const int top = ReadIntSetting("MainWindow", "Top", 0);
    const int width = ReadIntSetting("MainWindow", "Width", 0);
    const int height = ReadIntSetting("MainWindow", "Height", 0);
    if (width != 0 && height != 0) resize(width, height);
    // A place saved on a screen that is gone (another monitor, a smaller desktop) is brought
    // back onto the screen there is, as far as the window fits.
    QPoint place(left, top);
    QScreen* screen = QGuiApplication::screenAt(place + QPoint(20, 20));
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
        if (screen) {
            const QRect area = screen->availableGeometry();
            place.setX(std::clamp(left, area.left(), std::max(area.left(), area.right() - width)));
            place.setY(std::clamp(top, area.top(), std::max(area.top(), area.bottom() - height)));
        }
    }
    move(place);
}

void TfrmMain::SaveWindowPosition() {
    const QRect frame = frameGeometry();
    WriteIntSetting("MainWindow", "Left", frame.left());
    WriteIntSetting("MainWindow", "Top", frame.top());
    WriteIntSetting("MainWindow", "Width", width());
    WriteIntSetting("MainWindow", "Height", height());
}

void TfrmMain::tmrStartTimer() {
    m_tmrStart.stop();
    m_session.Start();
}

void TfrmMain::tmrWatchTimer() { m_session.Tick(); }

void TfrmMain::RequestDispatch() {
    QMetaObject::invokeMethod(
        this, [this] { m_session.Dispatch(); }, Qt::QueuedConnection);
}

void TfrmMain::AddLogLine(int level, const platform::SystemTime& time, const std::string& text) {
    m_logView->AddLogLine(level, time, text);
}

void TfrmMain::SetWatchInterval(unsigned milliseconds) {
    m_tmrWatch.setInterval(static_cast<int>(milliseconds));
}

void TfrmMain::SetWatchEnabled(bool enabled) {
    if (enabled) {
        m_tmrWatch.start();
    } else {
        m_tmrWatch.stop();
    }
}

void TfrmMain::LockDialogs() {
    m_setupWatch->LockWatchList();
    m_setupMail->LockAddressList();
    m_setupEtc->LockEntry();
}

void TfrmMain::UnlockDialogs() {
    m_setupWatch->UnlockWatchList();
    m_setupMail->UnlockAddressList();
    m_setupEtc->UnlockEntry();
}

void TfrmMain::SessionMayEnd(bool abandoned) {
    if (!abandoned) {
        QTimer::singleShot(0, this, &QWidget::close);
        return;
    }
    // A check stuck where nothing can end it (inside the mail library) is left behind, the
    // window's state saved. Not a clean end: that check may have been half done.
    FormClose();
    std::_Exit(kExitCheckAbandoned);
}

void TfrmMain::mnuSetupEventClick() {
    m_setupWatch->ShowWatchList(m_session.Watches(), m_session.Addresses());
    if (m_setupWatch->exec() != QDialog::Accepted) return;
    m_session.WatchListAccepted(AskRetryWatchList);
    if (m_session.Editing()) m_configStamp = ConfigurationStamp();
}

void TfrmMain::mnuSetupMailClick() {
    m_setupMail->OnAddressDeleted = [this](const AddressEntry& entry) {
        m_session.AddressDeleted(entry, AskRetryWatchList);
    };
    m_setupMail->OnAddressChanged = [this](const AddressEntry& now, const AddressEntry& old) {
        m_session.AddressChanged(now, old, AskRetryWatchList);
    };
    m_setupMail->ShowAddressList(m_session.Addresses());
    if (m_setupMail->exec() != QDialog::Accepted) return;
    m_session.AddressListAccepted(AskRetryAddressList);
    if (m_session.Editing()) m_configStamp = ConfigurationStamp();
}

void TfrmMain::mnuSetupEtcClick() {
    m_setupEtc->ShowSettings(m_session.CurrentSettings(), m_session.MailLibraryEntry());
    m_setupEtc->ShowExtension(m_session.Extensions());
    if (m_setupEtc->exec() != QDialog::Accepted) return;
    m_setupEtc->ReadSettings(m_session.CurrentSettings());
    m_session.Extensions() = m_setupEtc->Extension();
    m_session.SettingsAccepted();
    if (m_session.Editing()) m_configStamp = ConfigurationStamp();
}

#include "ui/main_window.h"

#include <unistd.h>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QMenu>
#include <QMenuBar>
#include <QSocketNotifier>

#include "actions/actions.h"
#include "core/address_handlers.h"
#include "notify/netsend.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/signals.h"
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

TfrmMain::TfrmMain(QWidget* parent)
    : QMainWindow(parent),
      ui(new Ui::TfrmMain),
      m_log(m_settings, nullptr),
      m_shell(this),
      m_mailer(m_settings),
      m_spool(SpoolFolder()),
      m_monitor(m_settings, m_watches, *this, *this, *this) {
    ui->setupUi(this);
    m_logView = std::make_unique<LogListView>(ui->lvwEvent);
    m_log.SetSink(m_logView.get());
    SetProgramLog(&m_log);
    // A system menu, minimise and close; no maximise.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    resize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
    ui->lvwEvent->setColumnWidth(0, 60);
    ui->lvwEvent->setColumnWidth(1, 130);
    ui->lvwEvent->setColumnWidth(2, 500);

    LoadSettings(m_settings);
    LoadAddressList(m_addresses);
    LoadWatchList(m_watches);
    LoadExtensionSettings(m_extensions);
    if (m_mailLibrary.Load()) m_mailer.UseLibrary(m_mailLibrary.send);
    m_monitor.SetExtensions(&m_extensions);

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
    connect(ui->mnuDebugMode, &QAction::toggled, this, [this](bool on) { m_log.SetDebugMode(on); });
    connect(ui->mnuContents, &QAction::triggered, this,
            [] { platform::CurrentShell().ShowHelp(ProgramDirectory() + "Quorvik.html", 0); });
    connect(ui->mnuAbout, &QAction::triggered, m_version, &QDialog::exec);

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
    FormCreate();
}

TfrmMain::~TfrmMain() {
    FormClose();
    SetProgramLog(nullptr);
}

void TfrmMain::FormCreate() {
    if (TrayIcon::Available()) {
        m_tray = new TrayIcon(m_pmnMain, this);
        connect(m_tray, &TrayIcon::openRequested, this, &TfrmMain::pmnOpenClick);
        m_tray->Show();
    }
    LoadWindowPosition();
    TreeColumnWidths widths(ui->lvwEvent);
    LoadColumnWidths("MessageLog", widths);
    ui->mnuDebugMode->setChecked(ReadIntSetting("MainMenu", "Debug", 0) != 0);
    m_log.StartLogFile();
    if (!m_tray) {
        LogMessage(kLogWarning, "%s",
                   sjis(u8"通知領域が見つからないため、アイコンは表示されません。最小化した"
                        u8"ウィンドウはタスク バーに残ります。")
                       .c_str());
    }
    if (!UsesMailLibrary()) {
        LogMessage(
            kLogWarning, "%s",
            sjis(u8"BSMTP.DLLが見つからないため、メール送信時の認証は利用できません。").c_str());
    }
    ApplyExtensions();
    m_tmrStart.start();
}

void TfrmMain::FormClose() {
    if (m_closed) return;
    m_closed = true;
    m_tmrStart.stop();
    m_monitor.StopMonitoring();
    m_log.CloseLogFile();
    if (m_tray) m_tray->Hide();
    SaveWindowPosition();
    TreeColumnWidths widths(ui->lvwEvent);
    SaveColumnWidths("MessageLog", widths);
    WriteIntSetting("MainMenu", "Debug", ui->mnuDebugMode->isChecked() ? 1 : 0);
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    // A tick lets window messages through while it mails; the monitor it walks must outlive it.
    if (m_ticking) {
        m_closeAfterTick = true;
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
    move(left, top);
    if (width != 0 && height != 0) resize(width, height);
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
    m_monitor.StartMonitoring();
}

void TfrmMain::tmrWatchTimer() {
    m_ticking = true;
    m_monitor.WatchTick();
    m_ticking = false;
    if (m_closeAfterTick) QTimer::singleShot(0, this, &QWidget::close);
}

void TfrmMain::SetInterval(unsigned milliseconds) {
    // A watch interval of 0 (a hand-made ETC.DAT) would tick without a pause.
    m_tmrWatch.setInterval(static_cast<int>(std::max(milliseconds, 60000u)));
}

void TfrmMain::SetEnabled(bool enabled) {
    if (enabled) {
        m_tmrWatch.start();
    } else {
        m_tmrWatch.stop();
    }
}

void TfrmMain::Lock() {
    m_setupWatch->LockWatchList();
    m_setupMail->LockAddressList();
    m_setupEtc->LockEntry();
}

void TfrmMain::Unlock() {
    m_setupWatch->UnlockWatchList();
    m_setupMail->UnlockAddressList();
    m_setupEtc->UnlockEntry();
}

void TfrmMain::ProcessActions(TickBatch& batch) { ::ProcessActions(batch); }

void TfrmMain::ApplyExtensions() {
    m_flood.SetLimit(m_extensions.FloodLimit);
    m_mailer.UseRawLibrary(m_mailLibrary.sendRaw);
    m_mailer.UseSpool(m_extensions.Spool ? &m_spool : nullptr, m_extensions.SpoolHours);
    if (m_extensions.Spool && !m_mailer.Spooling()) {
        LogMessage(kLogWarning, "%s",
                   sjis(u8"BSMTP.DLLが保存したメールの再送に対応していないため、送信できなかった"
                        u8"メールは保存されません。")
                       .c_str());
    }
}

void TfrmMain::BeforeNotifications(TickBatch& batch) {
    const std::int64_t now = platform::NowUnixMilliseconds() / 1000;
    // Kept mail first, then the summaries of hours that ended: older news before newer.
    m_mailer.RetrySpool();
    // Hours still open when the option was turned off end now, so that no count is lost.
    TickBatch summaries = m_flood.TakeSummaries(m_extensions.Flood ? now : INT64_MAX);
    if (!summaries.empty()) m_mailer.DeliverMail(summaries);
    if (m_extensions.Flood) m_flood.Mark(batch, now);
}

void TfrmMain::DeliverMail(TickBatch& batch) { m_mailer.DeliverMail(batch); }

void TfrmMain::SendNetworkMessages(TickBatch& batch) { ::SendNetworkMessages(batch); }

void TfrmMain::mnuSetupEventClick() {
    m_setupWatch->ShowWatchList(m_watches, m_addresses);
    if (m_setupWatch->exec() != QDialog::Accepted) return;
    SaveWatchListWithPrompt(m_watches);
    if (!m_monitor.Running()) m_monitor.StartMonitoring();
}

void TfrmMain::mnuSetupMailClick() {
    m_setupMail->OnAddressDeleted = [this](const AddressEntry& entry) {
        ::OnAddressDeleted(m_watches, entry, m_monitor);
    };
    m_setupMail->OnAddressChanged = [this](const AddressEntry& now, const AddressEntry& old) {
        ::OnAddressChanged(m_watches, now, old);
    };
    m_setupMail->ShowAddressList(m_addresses);
    if (m_setupMail->exec() != QDialog::Accepted) return;
    SaveAddressListWithPrompt(m_addresses);
}

void TfrmMain::mnuSetupEtcClick() {
    m_setupEtc->ShowSettings(m_settings, m_mailLibrary.send);
    m_setupEtc->ShowExtension(m_extensions);
    if (m_setupEtc->exec() != QDialog::Accepted) return;
    m_setupEtc->ReadSettings(m_settings);
    SaveSettings(m_settings);
    if (m_setupEtc->Extension() != m_extensions) {
        m_extensions = m_setupEtc->Extension();
        SaveExtensionSettings(m_extensions);
        ApplyExtensions();
    }
    const int interval = static_cast<int>(std::max(m_settings.Interval * 60000u, 60000u));
    if (m_monitor.Running()) {
        // The count restarts only when the interval changed.
        if (m_tmrWatch.interval() != interval) m_tmrWatch.setInterval(interval);
    } else {
        m_monitor.StartMonitoring();
    }
    m_log.CloseLogFile();
    m_log.StartLogFile();
}

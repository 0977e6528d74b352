#pragma once

#include <QMainWindow>
#include <QTimer>
#include <memory>

#include "config/lists.h"
#include "config/settings.h"
#include "core/flood_control.h"
#include "core/monitor.h"
#include "core/program_log.h"
#include "notify/mail_report.h"
#include "notify/mail_spool.h"
#include "ui/log_view.h"
#include "ui/qt_shell.h"

class QMenu;
class QSocketNotifier;
class TfrmSetupEtc;
class TfrmSetupMail;
class TfrmSetupWatch;
class TfrmVersion;
class TrayIcon;

namespace Ui {
class TfrmMain;
}

// The main window: it owns the settings, the lists, the monitor and its timers, the program log
// and the dialogs, shows the log lines, sits in the notification area when minimised, and runs
// what the watch tick hands over (actions, mail, network messages).
class TfrmMain : public QMainWindow,
                 private WatchTimer,
                 private DialogLocks,
                 private BatchConsumers {
    Q_OBJECT

public:
    explicit TfrmMain(QWidget* parent = nullptr);
    ~TfrmMain() override;

    // What the tests look at and drive.
    Monitor& GetMonitor() { return m_monitor; }
    WatchList& Watches() { return m_watches; }
    AddressList& Addresses() { return m_addresses; }
    Settings& CurrentSettings() { return m_settings; }
    ExtensionSettings& Extensions() { return m_extensions; }
    // Puts the extension options in effect (after they were loaded or changed).
    void ApplyExtensions();
    ProgramLog& Log() { return m_log; }
    TfrmSetupEtc& SetupEtc() { return *m_setupEtc; }
    TfrmSetupMail& SetupMail() { return *m_setupMail; }
    TfrmSetupWatch& SetupWatch() { return *m_setupWatch; }
    const QTimer& WatchTimerObject() const { return m_tmrWatch; }
    bool UsesMailLibrary() const { return m_mailLibrary.send != nullptr; }
    // The shell services with the window as the owner of their boxes.
    QtShell& Shell() { return m_shell; }

public slots:
    void mnuSetupEventClick();
    void mnuSetupMailClick();
    void mnuSetupEtcClick();
    void pmnOpenClick();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // WatchTimer
    void SetInterval(unsigned milliseconds) override;
    void SetEnabled(bool enabled) override;
    // DialogLocks
    void Lock() override;
    void Unlock() override;
    // BatchConsumers
    void ProcessActions(TickBatch& batch) override;
    void BeforeNotifications(TickBatch& batch) override;
    void DeliverMail(TickBatch& batch) override;
    void SendNetworkMessages(TickBatch& batch) override;

    void FormCreate();
    void FormClose();
    void tmrStartTimer();
    void tmrWatchTimer();
    void LoadWindowPosition();
    void SaveWindowPosition();

    std::unique_ptr<Ui::TfrmMain> ui;
    Settings m_settings;
    ExtensionSettings m_extensions;
    AddressList m_addresses;
    WatchList m_watches;
    std::unique_ptr<LogListView> m_logView;
    ProgramLog m_log;
    QtShell m_shell;
    MailLibrary m_mailLibrary;
    ReportMailer m_mailer;
    MailSpool m_spool;
    FloodControl m_flood;
    QTimer m_tmrStart;
    QTimer m_tmrWatch;
    Monitor m_monitor;
    TfrmSetupEtc* m_setupEtc = nullptr;
    TfrmSetupMail* m_setupMail = nullptr;
    TfrmSetupWatch* m_setupWatch = nullptr;
    TfrmVersion* m_version = nullptr;
    QMenu* m_pmnMain = nullptr;
    TrayIcon* m_tray = nullptr;
    QSocketNotifier* m_termination = nullptr;
    bool m_ticking = false;         // a watch tick runs (and may process window messages)
    bool m_closeAfterTick = false;  // a close that came during the tick
    bool m_closed = false;
};

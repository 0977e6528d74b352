#pragma once

#include <QMainWindow>
#include <QTimer>
#include <memory>

#include "session/service_link.h"
#include "session/watch_session.h"
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

// The program's exit status beyond 0 (a normal end, or another instance runs) and 1 (no
// display): the start failed, or the end came with a check given up half-way.
constexpr int kExitStartFailed = 2;
constexpr int kExitCheckAbandoned = 3;

// The main window: it shows the watch session (its log lines in the list, its timers), sits in
// the notification area when minimised, and opens the dialogs that edit the session's settings
// and lists. What a tick does is the session's: the window only hears of it.
class TfrmMain : public QMainWindow, private SessionView {
    Q_OBJECT

public:
    explicit TfrmMain(WatchSession& session, QWidget* parent = nullptr);
    ~TfrmMain() override;

    WatchSession& Session() { return m_session; }
    TfrmSetupEtc& SetupEtc() { return *m_setupEtc; }
    TfrmSetupMail& SetupMail() { return *m_setupMail; }
    TfrmSetupWatch& SetupWatch() { return *m_setupWatch; }
    const QTimer& WatchTimerObject() const { return m_tmrWatch; }
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
    // SessionView
    void RequestDispatch() override;
    void AddLogLine(int level, const platform::SystemTime& time, const std::string& text) override;
    void SetWatchInterval(unsigned milliseconds) override;
    void SetWatchEnabled(bool enabled) override;
    void LockDialogs() override;
    void UnlockDialogs() override;
    void SessionMayEnd(bool abandoned) override;

    void FormCreate();
    void FormClose();
    void tmrStartTimer();
    void tmrWatchTimer();
    // Editing for a service: its new log lines, its state in the tray, and the files another
    // program changed read again while no dialog is open.
    void tmrServiceTimer();
    void LoadWindowPosition();
    void SaveWindowPosition();

    WatchSession& m_session;
    std::unique_ptr<Ui::TfrmMain> ui;
    std::unique_ptr<LogListView> m_logView;
    QtShell m_shell;
    QTimer m_tmrStart;
    QTimer m_tmrWatch;
    QTimer m_tmrService;
    service_link::LogFollower m_serviceLog;
    bool m_serviceRunning = true;
    std::string m_configStamp;
    TfrmSetupEtc* m_setupEtc = nullptr;
    TfrmSetupMail* m_setupMail = nullptr;
    TfrmSetupWatch* m_setupWatch = nullptr;
    TfrmVersion* m_version = nullptr;
    QMenu* m_pmnMain = nullptr;
    TrayIcon* m_tray = nullptr;
    QSocketNotifier* m_termination = nullptr;
    bool m_closed = false;
};

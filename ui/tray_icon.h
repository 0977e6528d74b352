#pragma once

#include <QObject>

class QMenu;
class QSystemTrayIcon;

// The program's icon in the notification area, with its popup menu; a double-click asks for the
// window. Nothing else touches the system tray.
class TrayIcon : public QObject {
    Q_OBJECT

public:
    TrayIcon(QMenu* popup, QObject* parent);
    ~TrayIcon() override;

    // Whether the desktop has a notification area at all.
    static bool Available();
    void Show();
    void Hide();

signals:
    void openRequested();

private:
    QSystemTrayIcon* m_icon;
};

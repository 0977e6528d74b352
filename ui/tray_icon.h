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
    // What the icon says when the pointer rests on it, and a balloon for what changed.
    void SetToolTip(const QString& text);
    void ShowMessage(const QString& title, const QString& text);

signals:
    void openRequested();

private:
    QSystemTrayIcon* m_icon;
};

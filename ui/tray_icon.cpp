#include "ui/tray_icon.h"

#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

TrayIcon::TrayIcon(QMenu* popup, QObject* parent)
    : QObject(parent), m_icon(new QSystemTrayIcon(QApplication::windowIcon(), this)) {
    m_icon->setToolTip(QStringLiteral("Quorvik"));
    // The right button opens the popup menu; one click of the left does nothing.
    m_icon->setContextMenu(popup);
    connect(m_icon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
                if (why == QSystemTrayIcon::DoubleClick) emit openRequested();
            });
}

TrayIcon::~TrayIcon() = default;

bool TrayIcon::Available() { return QSystemTrayIcon::isSystemTrayAvailable(); }

void TrayIcon::Show() { m_icon->show(); }

void TrayIcon::Hide() { m_icon->hide(); }

void TrayIcon::SetToolTip(const QString& text) {
    if (m_icon->toolTip() != text) m_icon->setToolTip(text);
}

void TrayIcon::ShowMessage(const QString& title, const QString& text) {
    m_icon->showMessage(title, text, QSystemTrayIcon::Warning);
}

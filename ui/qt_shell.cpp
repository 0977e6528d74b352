#include "ui/qt_shell.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QInputDialog>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSpacerItem>
#include <QUrl>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/machine/machine.h"

using namespace platform;

QString ToQString(const std::string& sjisText) {
    return QString::fromStdString(SjisToUtf8(sjisText));
}

std::string FromQString(const QString& text) { return Utf8ToSjis(text.toStdString()); }

namespace {

struct ButtonSet {
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton;
};

ButtonSet ButtonsFor(MessageBoxButtons buttons) {
    using B = QMessageBox;
    switch (buttons) {
        case kMbOkCancel: return {B::Ok | B::Cancel, B::Ok};
        case kMbAbortRetryIgnore: return {B::Abort | B::Retry | B::Ignore, B::Abort};
        case kMbYesNoCancel: return {B::Yes | B::No | B::Cancel, B::Yes};
        case kMbYesNo: return {B::Yes | B::No, B::Yes};
        case kMbRetryCancel: return {B::Retry | B::Cancel, B::Retry};
        default: return {B::Ok, B::Ok};
    }
}

QMessageBox::Icon IconFor(MessageBoxIcon icon) {
    switch (icon) {
        case kMbIconError: return QMessageBox::Critical;
        case kMbIconQuestion: return QMessageBox::Question;
        case kMbIconExclamation: return QMessageBox::Warning;
        case kMbIconInformation: return QMessageBox::Information;
        default: return QMessageBox::NoIcon;
    }
}

MessageBoxResult ResultFor(int button, MessageBoxButtons buttons) {
    switch (button) {
        case QMessageBox::Ok: return kIdOk;
        case QMessageBox::Cancel: return kIdCancel;
        case QMessageBox::Abort: return kIdAbort;
        case QMessageBox::Retry: return kIdRetry;
        case QMessageBox::Ignore: return kIdIgnore;
        case QMessageBox::Yes: return kIdYes;
        case QMessageBox::No: return kIdNo;
        default:
            // Closed with Escape or the title bar: what the system reports for such a box.
            return buttons == kMbOk ? kIdOk : (buttons == kMbYesNo ? kIdNo : kIdCancel);
    }
}

}  // namespace

MessageBoxResult QtShell::MessageBox(const std::string& text, const std::string& caption,
                                     MessageBoxButtons buttons, MessageBoxIcon icon) {
    ButtonSet set = ButtonsFor(buttons);
    QMessageBox box(IconFor(icon), ToQString(caption), ToQString(text), set.buttons, Owner());
    box.setDefaultButton(set.defaultButton);
    // A short text makes a box narrower than its caption, which the window manager then cuts
    // ("条…ー"): room for the caption and the title bar's buttons.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        const int title = QFontMetrics(QApplication::font("QMdiSubWindowTitleBar"))
                              .horizontalAdvance(ToQString(caption));
        grid->addItem(new QSpacerItem(title + 160, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    return ResultFor(box.exec(), buttons);
}

bool QtShell::InputBox(const std::string& caption, const std::string& prompt, std::string& value) {
    bool ok = false;
    QString answer = QInputDialog::getText(Owner(), ToQString(caption), ToQString(prompt),
                                           QLineEdit::Normal, ToQString(value), &ok);
    if (ok) value = FromQString(answer);
    return ok;
}

bool QtShell::BrowseForFolder(const std::string& title, std::string& folder) {
    QString chosen =
        QFileDialog::getExistingDirectory(Owner(), ToQString(title), ToQString(folder));
    if (chosen.isEmpty()) return false;
    folder = FromQString(chosen);
    return true;
}

QStringList NameFilters(const std::string& filter) {
    const QStringList parts = ToQString(filter).split('|');
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        // "*.*" means every file on Windows; here most files have no dot.
        QString patterns = QString(parts[i + 1]).replace(';', ' ');
        patterns.replace(QStringLiteral("*.*"), QStringLiteral("*"));
        // The name's own "(*.*)" gives way to the patterns that apply here.
        QString name = parts[i];
        name.remove(QRegularExpression(QStringLiteral("\\s*\\([^()]*\\)$")));
        filters << QStringLiteral("%1 (%2)").arg(name, patterns);
    }
    return filters;
}

bool QtShell::OpenFileDialog(const std::string& title, const std::string& filter, std::string& path,
                             bool mustExist) {
    QFileDialog dialog(Owner(), ToQString(title));
    dialog.setNameFilters(NameFilters(filter));
    dialog.setFileMode(mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setLabelText(QFileDialog::Accept, QString::fromUtf8(u8"開く(&O)"));
    // Where the path is: its file selected when it names one, else the nearest folder there is.
    if (!path.empty()) {
        const bool machinePath =
            path.find('\\') != std::string::npos || (path.size() >= 2 && path[1] == ':');
        QFileInfo current(ToQString(machinePath ? platform::MapMachinePath(path) : path));
        QDir folder = current.absoluteDir();
        while (!folder.exists() && folder.cdUp()) {
        }
        dialog.setDirectory(folder);
        const QString name = current.fileName();
        if (current.absoluteDir() == folder && !name.isEmpty() && !name.contains('*') &&
            !name.contains('?')) {
            dialog.selectFile(name);
        }
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    path = FromQString(dialog.selectedFiles().first());
    return true;
}

QWidget* QtShell::Owner() const {
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    if (QWidget* active = QApplication::activeWindow()) return active;
    return m_parent;
}

void QtShell::ShowHelp(const std::string& helpFile, unsigned) {
    // Without a program that opens pages (xdg-open and a browser) nothing would show at all.
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(ToQString(helpFile)))) return;
    // The path as a person would type it, without "/../" steps.
    const std::string shown = FromQString(QDir::cleanPath(ToQString(helpFile)));
    MessageBox(platform::StringPrintf(
                   sjis(u8"ヘルプを開くブラウザーが見つかりませんでした。ヘルプは次のファイルです。"
                        u8"\r\n%s")
                       .c_str(),
                   shown.c_str()),
               sjis(u8"ヘルプ"), platform::kMbOk, platform::kMbIconInformation);
}

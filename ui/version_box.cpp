#include "ui/version_box.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QVBoxLayout>

#include "platform/user_folders.h"
#include "ui/qt_shell.h"

TfrmVersion::TfrmVersion(QWidget* parent, const platform::ProgramFolders& folders)
    : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(u8"バージョン情報"));
    setModal(true);
    auto* icon = new QLabel;
    icon->setPixmap(QIcon(QStringLiteral(":/icons/quorvik.svg")).pixmap(48, 48));
    auto path = [](const std::string& folder) { return ToQString(folder).toHtmlEscaped(); };
    const QString where =
        folders.portable
            ? QString::fromUtf8(u8"ファイルの場所: プログラムのフォルダ (ポータブル)<br>%1")
                  .arg(path(folders.config))
            : QString::fromUtf8(u8"ファイルの場所: ユーザーのフォルダ<br>設定 %1<br>データ %2")
                  .arg(path(folders.config), path(folders.data));
    auto* text = new QLabel(QString::fromUtf8(u8"<b>Quorvik</b><br>バージョン %1<br><br>"
                                              u8"Windows NT 系マシンのイベントログ監視<br><br>%2")
                                .arg(QApplication::applicationVersion(), where));
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_sources = new QLabel;
    m_sources->setObjectName(QStringLiteral("lblSources"));
    m_sources->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_sources->hide();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* row = new QHBoxLayout;
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addWidget(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(m_sources);
    layout->addWidget(buttons);
}

void TfrmVersion::ShowSources(const std::string& status) {
    QString text = ToQString(status).trimmed();
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_sources->setText(text.isEmpty() ? QString()
                                      : QString::fromUtf8(u8"取り込み(起動してから)\n") + text);
    m_sources->setVisible(!text.isEmpty());
}

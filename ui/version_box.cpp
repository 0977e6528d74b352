#include "ui/version_box.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QVBoxLayout>

TfrmVersion::TfrmVersion(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(u8"バージョン情報"));
    setModal(true);
    auto* icon = new QLabel;
    icon->setPixmap(QIcon(QStringLiteral(":/icons/quorvik.svg")).pixmap(48, 48));
    auto* text = new QLabel(QString::fromUtf8(u8"<b>Quorvik</b><br>バージョン %1<br><br>"
                                              u8"Windows NT 系マシンのイベントログ監視")
                                .arg(QApplication::applicationVersion()));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* row = new QHBoxLayout;
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addWidget(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);
}

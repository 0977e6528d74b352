#include "ui/setup_watch_dialog.h"

#include <QCloseEvent>
#include <QTreeWidget>
#include <algorithm>

#include "config/settings.h"
#include "eventlog/catalog.h"
#include "platform/codepage.h"
#include "ui/dialog_support.h"
#include "ui/edit_watch_dialog.h"
#include "ui/qt_shell.h"
#include "ui_setup_watch_dialog.h"

namespace {

WatchEntry* EntryOf(const QTreeWidgetItem* item) {
    return item ? reinterpret_cast<WatchEntry*>(item->data(0, Qt::UserRole).value<quintptr>())
                : nullptr;
}

}  // namespace

TfrmSetupWatch::TfrmSetupWatch(QWidget* parent)
    : QDialog(parent), ui(new Ui::TfrmSetupWatch), m_editor(new TfrmEditWatch(this)) {
    ui->setupUi(this);
    setModal(true);
    resize(820, 380);
    // The computer condition, kept beside the list's own columns.
    ui->lvwWatchList->setColumnCount(8);
    ui->lvwWatchList->headerItem()->setText(7, QString::fromUtf8(u8"コンピューター"));
    connect(ui->btnNew, &QPushButton::clicked, this, &TfrmSetupWatch::btnNewClick);
    connect(ui->btnUpdate, &QPushButton::clicked, this, &TfrmSetupWatch::btnUpdateClick);
    connect(ui->btnDelete, &QPushButton::clicked, this, &TfrmSetupWatch::btnDeleteClick);
    connect(ui->btnClose, &QPushButton::clicked, this, &TfrmSetupWatch::btnCloseClick);
    connect(ui->lvwWatchList, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        if (item) btnUpdateClick();
    });
}

TfrmSetupWatch::~TfrmSetupWatch() = default;

void TfrmSetupWatch::SetRow(QTreeWidgetItem* item, const WatchEntry& e) {
    item->setData(0, Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(&e)));
    item->setText(0, QString::number(static_cast<std::uint32_t>(e.EventNum)));
    item->setText(1, ToQString(e.MailSubject));
    item->setText(2, ToQString(e.LogName));
    item->setText(3, ToQString(e.SourceName));
    item->setText(4, ToQString(EventIDText(static_cast<std::uint32_t>(e.EventID))));
    item->setText(5, ToQString(EventTypeName(static_cast<std::uint16_t>(e.Type))));
    item->setText(6, ToQString(e.Category));
    item->setText(7, ToQString(e.Computers.empty() ? AnyValueText() : e.Computers));
}

void TfrmSetupWatch::SortByNumber() {
    std::stable_sort(m_watches->begin(), m_watches->end(),
                     [](const auto& a, const auto& b) { return a->EventNum < b->EventNum; });
    QTreeWidget* tree = ui->lvwWatchList;
    QTreeWidgetItem* current = tree->currentItem();
    QList<QTreeWidgetItem*> items;
    while (tree->topLevelItemCount() > 0) items.append(tree->takeTopLevelItem(0));
    std::stable_sort(items.begin(), items.end(), [](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        return EntryOf(a)->EventNum < EntryOf(b)->EventNum;
    });
    tree->addTopLevelItems(items);
    if (current) {
        tree->setCurrentItem(current);
        tree->scrollToItem(current);
    }
}

WatchEntry* TfrmSetupWatch::Selected() const {
    const QList<QTreeWidgetItem*> selected = ui->lvwWatchList->selectedItems();
    return selected.isEmpty() ? nullptr : EntryOf(selected.first());
}

void TfrmSetupWatch::ShowWatchList(WatchList& watches, const AddressList& addresses) {
    m_watches = &watches;
    ui->lvwWatchList->clear();
    for (const auto& entry : watches) SetRow(new QTreeWidgetItem(ui->lvwWatchList), *entry);
    SelectFirstRow(ui->lvwWatchList);
    m_editor->ShowAddresses(addresses);
    m_modified = false;
}

void TfrmSetupWatch::LockWatchList() {
    ui->btnNew->setEnabled(false);
    ui->btnDelete->setEnabled(false);
    m_editor->LockEntry();
}

void TfrmSetupWatch::UnlockWatchList() {
    ui->btnNew->setEnabled(true);
    ui->btnDelete->setEnabled(true);
    m_editor->UnlockEntry();
}

void TfrmSetupWatch::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    TreeColumnWidths widths(ui->lvwWatchList);
    LoadColumnWidths("WatchList", widths);
}

void TfrmSetupWatch::hideEvent(QHideEvent* event) {
    TreeColumnWidths widths(ui->lvwWatchList);
    SaveColumnWidths("WatchList", widths);
    QDialog::hideEvent(event);
}

// The window's close box cancels, whatever was changed; Escape is the close button.
void TfrmSetupWatch::closeEvent(QCloseEvent* event) {
    m_closeBox = true;
    QDialog::closeEvent(event);
    m_closeBox = false;
}

void TfrmSetupWatch::reject() {
    if (m_closeBox) {
        QDialog::reject();
    } else {
        btnCloseClick();
    }
}

void TfrmSetupWatch::btnCloseClick() { done(m_modified ? QDialog::Accepted : QDialog::Rejected); }

void TfrmSetupWatch::btnNewClick() {
    if (!m_watches) return;
    m_editor->ShowEntry(*m_watches, nullptr);
    if (m_editor->exec() == QDialog::Accepted) {
        auto entry = std::make_unique<WatchEntry>();
        m_editor->ReadEntry(*entry);
        auto* item = new QTreeWidgetItem(ui->lvwWatchList);
        SetRow(item, *entry);
        m_watches->push_back(std::move(entry));
        ui->lvwWatchList->clearSelection();
        ui->lvwWatchList->setCurrentItem(item);
        item->setSelected(true);
        SortByNumber();
        FitPendingColumns(ui->lvwWatchList);
        m_modified = true;
    }
    ui->lvwWatchList->setFocus();
}

void TfrmSetupWatch::btnUpdateClick() {
    WatchEntry* entry = Selected();
    if (!entry) {
        Tell(sjis(u8"監視イベントを選択してください。"), sjis(u8"監視イベントの修正"),
             platform::kMbIconExclamation);
    } else {
        m_editor->ShowEntry(*m_watches, entry);
        if (m_editor->exec() == QDialog::Accepted) {
            m_editor->ReadEntry(*entry);
            SetRow(ui->lvwWatchList->selectedItems().first(), *entry);
            SortByNumber();
            FitPendingColumns(ui->lvwWatchList);
            m_modified = true;
        }
    }
    ui->lvwWatchList->setFocus();
}

void TfrmSetupWatch::btnDeleteClick() {
    WatchEntry* entry = Selected();
    if (!entry) {
        Tell(sjis(u8"監視イベントを選択してください。"), sjis(u8"監視イベントの修正"),
             platform::kMbIconExclamation);
    } else if (AskYesNo(sjis(u8"選択されている監視イベントを削除してもよろしいですか？"),
                        sjis(u8"削除の確認"))) {
        delete ui->lvwWatchList->selectedItems().first();
        // Nothing chosen afterwards: a second 削除 must not take the next row unasked.
        ui->lvwWatchList->setCurrentItem(nullptr);
        ui->lvwWatchList->clearSelection();
        std::erase_if(*m_watches, [entry](const auto& w) { return w.get() == entry; });
        m_modified = true;
    }
    ui->lvwWatchList->setFocus();
}

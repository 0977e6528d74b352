#include "ui/setup_mail_dialog.h"

#include <QCloseEvent>
#include <algorithm>

#include "config/settings.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "ui/dialog_support.h"
#include "ui/edit_mail_dialog.h"
#include "ui/qt_shell.h"
#include "ui_setup_mail_dialog.h"

namespace {

const std::string& DuplicateCaption() { return sjis(u8"メールアドレスの重複"); }

AddressEntry* EntryOf(const QTreeWidgetItem* item) {
    return item ? reinterpret_cast<AddressEntry*>(item->data(0, Qt::UserRole).value<quintptr>())
                : nullptr;
}

// Letters compared by their upper case, as the list view orders its rows.
int CompareNoCase(const std::string& a, const std::string& b) {
    return platform::CompareAsciiNoCase(a, b);
}

}  // namespace

TfrmSetupMail::TfrmSetupMail(QWidget* parent)
    : QDialog(parent), ui(new Ui::TfrmSetupMail), m_editor(new TfrmEditMail(this)) {
    ui->setupUi(this);
    setModal(true);
    const int widths[] = {150, 150, 100, 100, 150};
    int total = 0;
    for (int i = 0; i < 5; ++i) {
        ui->lvwAddrList->setColumnWidth(i, widths[i]);
        total += widths[i];
    }
    // Opens wide enough for every column.
    resize(total + ui->btnClose->sizeHint().width() + 60, 360);
    connect(ui->btnNew, &QPushButton::clicked, this, &TfrmSetupMail::btnNewClick);
    connect(ui->btnUpdate, &QPushButton::clicked, this, &TfrmSetupMail::btnUpdateClick);
    connect(ui->btnDelete, &QPushButton::clicked, this, &TfrmSetupMail::btnDeleteClick);
    connect(ui->btnClose, &QPushButton::clicked, this, &TfrmSetupMail::btnCloseClick);
    connect(ui->lvwAddrList, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        if (item) btnUpdateClick();
    });
}

TfrmSetupMail::~TfrmSetupMail() = default;

void TfrmSetupMail::SetItem(QTreeWidgetItem* item, const AddressEntry& e) {
    const std::string* texts[] = {&e.MailAddr, &e.UserName, &e.Name, &e.Post, &e.Contact};
    for (int i = 0; i < 5; ++i) item->setText(i, ToQString(*texts[i]));
}

void TfrmSetupMail::SortList() {
    QTreeWidget* tree = ui->lvwAddrList;
    QTreeWidgetItem* current = tree->currentItem();
    QList<QTreeWidgetItem*> items;
    while (tree->topLevelItemCount() > 0) items.append(tree->takeTopLevelItem(0));
    std::stable_sort(items.begin(), items.end(), [](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        const AddressEntry& x = *EntryOf(a);
        const AddressEntry& y = *EntryOf(b);
        const int byMail = CompareNoCase(x.MailAddr, y.MailAddr);
        return byMail != 0 ? byMail < 0 : CompareNoCase(x.UserName, y.UserName) < 0;
    });
    tree->addTopLevelItems(items);
    if (current) {
        tree->setCurrentItem(current);
        tree->scrollToItem(current);
    }
}

AddressEntry* TfrmSetupMail::Selected() const {
    const QList<QTreeWidgetItem*> selected = ui->lvwAddrList->selectedItems();
    return selected.isEmpty() ? nullptr : EntryOf(selected.first());
}

void TfrmSetupMail::ShowAddressList(AddressList& list) {
    m_list = &list;
    ui->lvwAddrList->clear();
    for (const auto& entry : list) {
        auto* item = new QTreeWidgetItem(ui->lvwAddrList);
        item->setData(0, Qt::UserRole,
                      QVariant::fromValue(reinterpret_cast<quintptr>(entry.get())));
        SetItem(item, *entry);
    }
    SortList();
    SelectFirstRow(ui->lvwAddrList);
    m_changed = false;
}

void TfrmSetupMail::LockAddressList() {
    ui->btnNew->setEnabled(false);
    ui->btnDelete->setEnabled(false);
    m_editor->LockAddressEntry();
}

void TfrmSetupMail::UnlockAddressList() {
    ui->btnNew->setEnabled(true);
    ui->btnDelete->setEnabled(true);
    m_editor->UnlockAddressEntry();
}

void TfrmSetupMail::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    TreeColumnWidths widths(ui->lvwAddrList, AddressColumnWidths());
    LoadColumnWidths("MailList", widths);
}

void TfrmSetupMail::hideEvent(QHideEvent* event) {
    TreeColumnWidths widths(ui->lvwAddrList);
    SaveColumnWidths("MailList", widths);
    QDialog::hideEvent(event);
}

// The close box ends the dialog as the close button does: edits already made to the list must
// reach MAIL.DAT, as they reached the watch list.
void TfrmSetupMail::closeEvent(QCloseEvent* event) {
    event->ignore();
    btnCloseClick();
}

void TfrmSetupMail::reject() { btnCloseClick(); }

void TfrmSetupMail::btnCloseClick() { done(m_changed ? QDialog::Accepted : QDialog::Rejected); }

bool TfrmSetupMail::EditUntilUnique(AddressEntry& values, const AddressEntry* except) {
    for (;;) {
        if (m_editor->exec() != QDialog::Accepted) return false;
        m_editor->ReadAddress(values);
        const AddressDuplicate duplicate = FindAddressDuplicate(*m_list, values, except);
        if (duplicate == AddressDuplicate::None) return true;
        const std::string question =
            duplicate == AddressDuplicate::MailAddr
                ? sjis(
                      u8"入力されたメールアドレスは、すでに登録されています。\r\n\r\n再入力しますか？")
                : sjis(
                      u8"入力されたユーザー名は、すでに登録されています。\r\n\r\n再入力しますか？");
        if (!AskYesNo(question, DuplicateCaption())) return false;
    }
}

void TfrmSetupMail::btnNewClick() {
    if (!m_list) return;
    m_editor->ShowAddress(nullptr);
    AddressEntry values;
    if (EditUntilUnique(values, nullptr)) {
        m_list->push_back(std::make_unique<AddressEntry>(values));
        auto* item = new QTreeWidgetItem(ui->lvwAddrList);
        item->setData(0, Qt::UserRole,
                      QVariant::fromValue(reinterpret_cast<quintptr>(m_list->back().get())));
        SetItem(item, values);
        ui->lvwAddrList->clearSelection();
        ui->lvwAddrList->setCurrentItem(item);
        item->setSelected(true);
        SortList();
        m_changed = true;
    }
    ui->lvwAddrList->setFocus();
}

void TfrmSetupMail::btnUpdateClick() {
    AddressEntry* entry = Selected();
    if (!entry) {
        Tell(sjis(u8"メールアドレスを選択してください。"), sjis(u8"メールアドレスの修正"),
             platform::kMbIconExclamation);
        return;
    }
    m_editor->ShowAddress(entry);
    AddressEntry values;
    if (!EditUntilUnique(values, entry)) return;
    if (OnAddressChanged) OnAddressChanged(values, *entry);
    *entry = values;
    SetItem(ui->lvwAddrList->selectedItems().first(), values);
    SortList();
    m_changed = true;
}

void TfrmSetupMail::btnDeleteClick() {
    AddressEntry* entry = Selected();
    if (!entry) {
        Tell(sjis(u8"メールアドレスを選択してください。"), sjis(u8"メールアドレスの修正"),
             platform::kMbIconExclamation);
        return;
    }
    if (!AskYesNo(sjis(u8"選択されているメールアドレスを削除してもよろしいですか？\r\n\r\n"
                       u8"このメールアドレスが監視リストに登録されてる場合は、\r\n"
                       u8"監視リストからも削除されます。"),
                  sjis(u8"削除の確認"))) {
        return;
    }
    if (OnAddressDeleted) OnAddressDeleted(*entry);
    delete ui->lvwAddrList->selectedItems().first();
    // Nothing chosen afterwards: a second 削除 must not take the next row unasked.
    ui->lvwAddrList->setCurrentItem(nullptr);
    ui->lvwAddrList->clearSelection();
    std::erase_if(*m_list, [entry](const auto& e) { return e.get() == entry; });
    m_changed = true;
}

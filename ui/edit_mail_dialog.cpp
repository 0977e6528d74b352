#include "ui/edit_mail_dialog.h"

#include "platform/codepage.h"
#include "ui/dialog_support.h"
#include "ui_edit_mail_dialog.h"

TfrmEditMail::TfrmEditMail(QWidget* parent) : QDialog(parent), ui(new Ui::TfrmEditMail) {
    ui->setupUi(this);
    setModal(true);
    // Room for an address of 32 characters, whatever the font.
    ui->edtMailAddr->setMinimumWidth(ui->edtMailAddr->fontMetrics().averageCharWidth() * 32);
    connect(ui->btnEntry, &QPushButton::clicked, this, &TfrmEditMail::btnEntryClick);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TfrmEditMail::~TfrmEditMail() = default;

void TfrmEditMail::ShowAddress(const AddressEntry* entry) {
    m_loaded = entry ? *entry : AddressEntry();
    SetEditText(ui->edtMailAddr, m_loaded.MailAddr);
    SetEditText(ui->edtUserName, m_loaded.UserName);
    SetEditText(ui->edtName, m_loaded.Name);
    SetEditText(ui->edtPost, m_loaded.Post);
    SetEditText(ui->edtContact, m_loaded.Contact);
}

void TfrmEditMail::ReadAddress(AddressEntry& entry) const {
    entry.MailAddr = EditText(ui->edtMailAddr);
    entry.UserName = EditText(ui->edtUserName);
    entry.Name = EditText(ui->edtName);
    entry.Post = EditText(ui->edtPost);
    entry.Contact = EditText(ui->edtContact);
}

void TfrmEditMail::LockAddressEntry() { ui->btnEntry->setEnabled(false); }

void TfrmEditMail::UnlockAddressEntry() { ui->btnEntry->setEnabled(true); }

void TfrmEditMail::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    ui->edtMailAddr->setFocus();
    ui->edtMailAddr->selectAll();
}

bool TfrmEditMail::CheckInputData() {
    for (QLineEdit* e :
         {ui->edtMailAddr, ui->edtUserName, ui->edtName, ui->edtPost, ui->edtContact}) {
        TrimEdit(e);
    }
    AddressEntry entry;
    ReadAddress(entry);
    const auto problem = CheckAddressInput(entry);
    if (!problem) return true;
    FieldCheckFailed(problem->message,
                     problem->field == AddressField::UserName ? ui->edtUserName : ui->edtMailAddr);
    return false;
}

void TfrmEditMail::btnEntryClick() {
    if (!CheckCodePage(this) || !CheckInputData()) return;
    AddressEntry entry;
    ReadAddress(entry);
    done(entry == m_loaded ? QDialog::Rejected : QDialog::Accepted);
}

#pragma once

#include <QDialog>
#include <memory>
#include <optional>
#include <string>

#include "config/list_checks.h"

namespace Ui {
class TfrmEditMail;
}

// "メールアドレス編集": one entry of the address list.
class TfrmEditMail : public QDialog {
    Q_OBJECT

public:
    explicit TfrmEditMail(QWidget* parent = nullptr);
    ~TfrmEditMail() override;

    // Fills the edits from the entry, or empties them for a new one, and keeps the values.
    void ShowAddress(const AddressEntry* entry);
    void ReadAddress(AddressEntry& entry) const;

    void LockAddressEntry();
    void UnlockAddressEntry();

protected:
    void showEvent(QShowEvent* event) override;

private slots:
    void btnEntryClick();

private:
    bool CheckInputData();

    std::unique_ptr<Ui::TfrmEditMail> ui;
    AddressEntry m_loaded;
};

#pragma once

#include <QDialog>
#include <functional>
#include <memory>

#include "config/list_checks.h"

class QTreeWidgetItem;
class TfrmEditMail;

namespace Ui {
class TfrmSetupMail;
}

// "設定 - メールアドレス": the address list, edited in place, with new, change and delete.
class TfrmSetupMail : public QDialog {
    Q_OBJECT

public:
    explicit TfrmSetupMail(QWidget* parent = nullptr);
    ~TfrmSetupMail() override;

    // Set by the main window: an entry about to be deleted, and new values for an entry that
    // still holds its old ones.
    std::function<void(const AddressEntry& deleted)> OnAddressDeleted;
    std::function<void(const AddressEntry& newValues, const AddressEntry& old)> OnAddressChanged;

    // Shows the list (the main window's own) and clears the changed flag.
    void ShowAddressList(AddressList& list);
    bool Changed() const { return m_changed; }

    void LockAddressList();
    void UnlockAddressList();

    TfrmEditMail& Editor() { return *m_editor; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private slots:
    void btnNewClick();
    void btnUpdateClick();
    void btnDeleteClick();
    void btnCloseClick();

private:
    // Shows the editor until it gives values that are no duplicate; false when the user gave up.
    bool EditUntilUnique(AddressEntry& values, const AddressEntry* except);
    void SetItem(QTreeWidgetItem* item, const AddressEntry& entry);
    void SortList();
    AddressEntry* Selected() const;

    std::unique_ptr<Ui::TfrmSetupMail> ui;
    TfrmEditMail* m_editor;
    AddressList* m_list = nullptr;
    bool m_changed = false;
};

#pragma once

#include <QDialog>
#include <memory>

#include "config/lists.h"

class QTreeWidgetItem;
class TfrmEditWatch;

namespace Ui {
class TfrmSetupWatch;
}

// "設定 - 監視イベント": the watch list, edited in place, with new, change and delete.
class TfrmSetupWatch : public QDialog {
    Q_OBJECT

public:
    explicit TfrmSetupWatch(QWidget* parent = nullptr);
    ~TfrmSetupWatch() override;

    // Shows the watch list (the main window's own) and hands the address list to the editor.
    void ShowWatchList(WatchList& watches, const AddressList& addresses);
    bool Modified() const { return m_modified; }

    void LockWatchList();
    void UnlockWatchList();

    TfrmEditWatch& Editor() { return *m_editor; }

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
    void SetRow(QTreeWidgetItem* item, const WatchEntry& entry);
    // Sorts the list by watch number and the rows with it.
    void SortByNumber();
    WatchEntry* Selected() const;

    std::unique_ptr<Ui::TfrmSetupWatch> ui;
    TfrmEditWatch* m_editor;
    WatchList* m_watches = nullptr;
    bool m_modified = false;
    bool m_closeBox = false;
};

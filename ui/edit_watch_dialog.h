#pragma once

#include <QDialog>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/list_checks.h"

class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QTreeWidgetItem;
class TfrmDryRun;
class TfrmEditToDo;

namespace Ui {
class TfrmEditWatch;
}

// The search expression's byte position as a character offset in the box that shows it (a CR LF
// is one line break there, a double-byte character one character).
int CaretOfBytePosition(const std::string& sjisText, int position);

// How many of a log's newest records the editor's test reads.
constexpr std::uint32_t kDryRunRecords = 1000;

// "監視イベント編集": one watch entry on four tabs.
class TfrmEditWatch : public QDialog {
    Q_OBJECT

public:
    explicit TfrmEditWatch(QWidget* parent = nullptr);
    ~TfrmEditWatch() override;

    // Rebuilds the recipient rows from the address list, sorted, the first row selected.
    void ShowAddresses(const AddressList& addresses);
    // Prepares the dialog for the entry, or for a new one.
    void ShowEntry(const WatchList& watches, const WatchEntry* entry);
    void ReadEntry(WatchEntry& entry) const;
    bool Modified() const { return m_modified; }

    void LockEntry();
    void UnlockEntry();

    TfrmEditToDo& ActionEditor() { return *m_actionEditor; }
    TfrmDryRun& DryRunWindow() { return *m_dryRun; }

    // The catalogue fillers: the list replaced, "特定しない" on top, the typed text kept.
    void FillLogs();
    void FillSources();
    void FillCategories();
    void FillEventIDs();
    // The same for the event that ends a problem (tab 状態).
    void FillRecoveryLists();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private slots:
    void cbxLogNameChange();
    void cbxSourceNameChange();
    void cbxTypeChange();
    void UpdateRuleControls();
    void btnEntryClick();
    void btnDryRunClick();
    void btnNewClick();
    void btnUpdateClick();
    void btnDeleteClick();
    void btnUpClick();
    void btnDownClick();

private:
    WatchFields TrimmedFields();
    std::vector<ActionEntry> Actions() const;
    std::vector<std::string> RecipientTexts() const;
    void AddActionRow(const ActionEntry& action, int at = -1);
    void SetActionRow(QTreeWidgetItem* item, const ActionEntry& action);
    bool ActionSelected(const char8_t* caption);
    void MoveAction(int step);
    void FocusField(WatchField field);
    void FocusRuleField(RuleField field);
    // Checks a search expression with its messages; on a fault the caret goes to it.
    bool ConditionAccepted(const std::string& condition, QPlainTextEdit* box, QWidget* tab);
    void ShowRule(const WatchRule& rule);
    WatchRule RuleOfControls() const;
    RuleFields TrimmedRuleFields();
    // The 状態 tab's checks, with their messages; false when one failed.
    bool RuleAccepted(const WatchFields& entry);
    bool Changed() const;

    std::unique_ptr<Ui::TfrmEditWatch> ui;
    TfrmEditToDo* m_actionEditor;
    TfrmDryRun* m_dryRun;
    // The computer condition's tab, made here: the fields of the others stay as designed.
    QWidget* m_tshComputer;
    QLineEdit* m_edtComputers;
    const WatchList* m_watches = nullptr;
    const WatchEntry* m_entry = nullptr;
    bool m_modified = false;
};

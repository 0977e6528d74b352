#pragma once

#include <QStringList>
#include <string>
#include <utility>
#include <vector>

#include "config/settings_checks.h"
#include "platform/shell.h"

class QLineEdit;
class QTreeWidget;
class QWidget;

// What the configuration dialogs share: the numeric edit filter, trimming, the field-check
// message, and list view column widths in ETC.DAT.

// Lets only digits into the edit, at most maxLength of them: a typed printable character that is
// no digit, and a paste or drop of text that is not all digits, are refused with a beep.
void MakeNumericEdit(QLineEdit* edit, int maxLength);

// The same refusal of typed, pasted and dropped non-digits, for a field whose list also offers
// texts (a combo box's edit): no validator, which would refuse those texts too.
void MakeDigitKeyFilter(QWidget* field);

// Replaces the edit's text by itself without leading and trailing blanks and control characters
// and gives the result (CP932).
std::string TrimEdit(QLineEdit* edit);

// The edit's text (CP932) as it stands.
std::string EditText(const QLineEdit* edit);
void SetEditText(QLineEdit* edit, const std::string& sjisText);

// The first field of the form whose text code page 932 cannot hold whole (a character would be
// saved as "?") is named in a check's box and gets the focus; false then.
bool CheckCodePage(QWidget* form);

// A failed field check: the message with the caption "項目チェック" and the warning icon, then the
// focus on the field with its text selected.
void FieldCheckFailed(const std::string& message, QWidget* field);

// Asks a yes/no question; true for yes.
bool AskYesNo(const std::string& text, const std::string& caption);

// A list file could not be written: asks Retry/Cancel with the caption "書き込みエラー"; true for
// Retry.
bool AskRetryWatchList();
bool AskRetryAddressList();

// Shows a message with an OK button.
void Tell(const std::string& text, const std::string& caption, platform::MessageBoxIcon icon);

// A list view's column widths as the settings file keeps them.
class TreeColumnWidths : public ColumnWidthView {
public:
    // designWidths: for each column, its width when none was saved (0: fitted to what it
    // holds). samples: for each column, a text it must show whole even before it holds any (a
    // date); a column with one is fitted to it at once.
    explicit TreeColumnWidths(QTreeWidget* tree, std::vector<int> designWidths = {},
                              QStringList samples = {})
        : m_tree(tree), m_designWidths(std::move(designWidths)), m_samples(std::move(samples)) {}
    int ColumnCount() const override;
    int ColumnWidth(int column) const override;
    void SetColumnWidth(int column, int width) override;
    void DefaultColumn(int column) override;
    bool WidthKnown(int column) const override;

private:
    int SampleWidth(int column) const;

    QTreeWidget* m_tree;
    std::vector<int> m_designWidths;
    QStringList m_samples;
};

// The design widths of the address list's columns, shared by the recipient page.
std::vector<int> AddressColumnWidths();

// The first row current and selected, so that the focus frame is never on a row that is not
// chosen (修正 would then say nothing is).
void SelectFirstRow(QTreeWidget* tree);

// Columns that were fitted to their header alone while the list was empty are fitted to what
// it holds now; call it after rows were added.
void FitPendingColumns(QTreeWidget* tree);

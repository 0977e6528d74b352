#pragma once

#include <QDialog>

#include "core/dry_run.h"

class QLabel;
class QPlainTextEdit;
class QTreeWidget;

// "テスト結果": the records a watch entry being edited would match among the newest of its log,
// and the report text of the one selected (the first to begin with).
class TfrmDryRun : public QDialog {
    Q_OBJECT

public:
    explicit TfrmDryRun(QWidget* parent = nullptr);

    void ShowResult(const DryRunResult& result, std::uint32_t newest);

    // What the tests read.
    QTreeWidget* Matches() const { return lvwMatch; }
    QPlainTextEdit* ReportText() const { return edtReport; }
    QLabel* Summary() const { return lblSummary; }

private:
    QLabel* lblSummary;
    QTreeWidget* lvwMatch;
    QPlainTextEdit* edtReport;
};

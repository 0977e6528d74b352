#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "config/lists.h"

namespace Ui {
class TfrmEditToDo;
}

// The accepted controls a service must have to be offered for an action kind: 0 (any) for start,
// 1 (stop) for stop, 2 (pause and continue) for pause and resume.
unsigned ServiceFilterOf(int kind);

// The display names of the machine's services that accept the filter's controls (all for 0); empty
// when the service manager cannot be read.
std::vector<std::string> ServiceNames(unsigned filter);

// The stored parameter of an attach-files action: the count right-aligned in five characters
// (a longer count is not cut), then the file text.
std::string AttachParam(const std::string& countText, const std::string& fileText);

// "動作定義": one action of a watch entry.
class TfrmEditToDo : public QDialog {
    Q_OBJECT

public:
    explicit TfrmEditToDo(QWidget* parent = nullptr);
    ~TfrmEditToDo() override;

    // Prepares the dialog for the action, or for a new one.
    void ShowAction(const ActionEntry* action);
    void ReadAction(ActionEntry& action) const;

    // Refills the service list with the services the filter lets through.
    void FillServiceList(unsigned filter);

private slots:
    void lbxToDoClick();
    void btnEntryClick();
    void btnBrowseFileClick();
    void btnBrowseProgramClick();

private:
    int Kind() const;

    std::unique_ptr<Ui::TfrmEditToDo> ui;
};

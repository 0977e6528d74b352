#include "ui/edit_todo_dialog.h"

#include <QLayout>
#include <QListWidget>

#include "actions/actions.h"
#include "config/list_checks.h"
#include "platform/codepage.h"
#include "platform/machine/services.h"
#include "ui/dialog_support.h"
#include "ui/qt_shell.h"
#include "ui_edit_todo_dialog.h"

unsigned ServiceFilterOf(int kind) {
    switch (kind) {
        case kActionStopService: return platform::kServiceAcceptStop;
        case kActionPauseService:
        case kActionContinueService: return platform::kServiceAcceptPauseContinue;
        default: return 0;
    }
}

std::vector<std::string> ServiceNames(unsigned filter) {
    std::vector<std::string> names;
    platform::UniqueServiceHandle manager(platform::OpenSCManager());
    std::vector<platform::ServiceEntry> services;
    if (!manager ||
        !platform::EnumServicesStatus(manager.Get(), platform::kServiceStateAll, services)) {
        return names;
    }
    for (const platform::ServiceEntry& s : services) {
        if (filter == 0 || (s.status.controlsAccepted & filter)) names.push_back(s.displayName);
    }
    return names;
}

std::string AttachParam(const std::string& countText, const std::string& fileText) {
    const std::string padding(countText.size() < 5 ? 5 - countText.size() : 0, ' ');
    return padding + countText + fileText;
}

TfrmEditToDo::TfrmEditToDo(QWidget* parent) : QDialog(parent), ui(new Ui::TfrmEditToDo) {
    ui->setupUi(this);
    setModal(true);
    MakeNumericEdit(ui->edtNumFiles, 5);
    // Never smaller than its controls need.
    layout()->setSizeConstraint(QLayout::SetMinimumSize);
    for (QLineEdit* edit : {ui->edtFile, ui->edtProgram}) {
        edit->setMinimumWidth(edit->fontMetrics().averageCharWidth() * 36);
    }
    connect(ui->lbxToDo, &QListWidget::currentRowChanged, this, &TfrmEditToDo::lbxToDoClick);
    connect(ui->btnEntry, &QPushButton::clicked, this, &TfrmEditToDo::btnEntryClick);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->btnBrowseFile, &QPushButton::clicked, this, &TfrmEditToDo::btnBrowseFileClick);
    connect(ui->btnBrowseProgram, &QPushButton::clicked, this,
            &TfrmEditToDo::btnBrowseProgramClick);
    ui->lbxToDo->setCurrentRow(kActionAttachFiles);
    lbxToDoClick();
}

TfrmEditToDo::~TfrmEditToDo() = default;

int TfrmEditToDo::Kind() const { return std::max(0, ui->lbxToDo->currentRow()); }

void TfrmEditToDo::FillServiceList(unsigned filter) {
    ui->lbxService->clear();
    for (const std::string& name : ServiceNames(filter)) ui->lbxService->addItem(ToQString(name));
}

void TfrmEditToDo::lbxToDoClick() {
    const int kind = Kind();
    QWidget* shown = kind == kActionAttachFiles         ? ui->pnlAttached
                     : kind <= kActionRunProgramAndWait ? ui->pnlProgram
                                                        : ui->pnlService;
    for (QWidget* panel : {ui->pnlAttached, ui->pnlProgram, ui->pnlService}) {
        panel->setVisible(panel == shown);
        panel->setEnabled(panel == shown);
    }
    if (shown != ui->pnlService) return;
    // The chosen service stays chosen when the new list has it.
    const QListWidgetItem* current = ui->lbxService->currentItem();
    const QString remembered = current ? current->text() : QString();
    FillServiceList(ServiceFilterOf(kind));
    if (ui->lbxService->count() > 0) ui->lbxService->setCurrentRow(0);
    const auto same =
        ui->lbxService->findItems(remembered, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (!remembered.isEmpty() && !same.isEmpty()) ui->lbxService->setCurrentItem(same.first());
}

void TfrmEditToDo::ShowAction(const ActionEntry* action) {
    ui->edtFile->clear();
    ui->edtProgram->clear();
    ui->edtNumFiles->setText(QStringLiteral("1"));
    ui->lbxService->clear();
    const int kind = action && action->Kind >= 0 && action->Kind <= kActionContinueService
                         ? static_cast<int>(action->Kind)
                         : static_cast<int>(kActionAttachFiles);
    {
        // One refill for the kind, not one for the row change and another below.
        const QSignalBlocker block(ui->lbxToDo);
        ui->lbxToDo->setCurrentRow(kind);
    }
    lbxToDoClick();
    if (!action) return;
    if (kind == kActionAttachFiles) {
        ui->edtNumFiles->setText(ToQString(action->Param.substr(0, 5)));
        SetEditText(ui->edtFile, action->Param.size() > 5 ? action->Param.substr(5) : "");
    } else if (kind <= kActionRunProgramAndWait) {
        SetEditText(ui->edtProgram, action->Param);
    } else {
        const auto same = ui->lbxService->findItems(ToQString(action->Param),
                                                    Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (!same.isEmpty()) ui->lbxService->setCurrentItem(same.first());
    }
}

void TfrmEditToDo::ReadAction(ActionEntry& action) const {
    const int kind = Kind();
    action.Kind = static_cast<std::int8_t>(kind);
    if (kind == kActionAttachFiles) {
        action.Param = AttachParam(EditText(ui->edtNumFiles), EditText(ui->edtFile));
    } else if (kind <= kActionRunProgramAndWait) {
        action.Param = EditText(ui->edtProgram);
    } else {
        // No service to choose: an empty name, which the action then reports as not found.
        const QListWidgetItem* item = ui->lbxService->currentItem();
        action.Param = item ? FromQString(item->text()) : std::string();
    }
}

void TfrmEditToDo::btnEntryClick() {
    if (!CheckCodePage(this)) return;
    ActionFields fields;
    fields.kind = static_cast<std::int8_t>(Kind());
    fields.file = EditText(ui->edtFile);
    fields.numFiles = EditText(ui->edtNumFiles);
    fields.program = EditText(ui->edtProgram);
    if (const QListWidgetItem* item = ui->lbxService->currentItem()) {
        fields.service = FromQString(item->text());
    }
    if (auto problem = CheckActionFields(fields)) {
        QWidget* const controls[] = {ui->edtFile, ui->edtNumFiles, ui->edtProgram, ui->lbxService};
        return FieldCheckFailed(problem->message, controls[static_cast<int>(problem->field)]);
    }
    accept();
}

void TfrmEditToDo::btnBrowseFileClick() {
    std::string path = EditText(ui->edtFile);
    // The file to attach may not exist yet: any name is taken.
    if (platform::CurrentShell().OpenFileDialog(
            sjis(u8"ファイル"), sjis(u8"すべてのファイル (*.*)|*.*"), path, false)) {
        SetEditText(ui->edtFile, path);
    }
}

void TfrmEditToDo::btnBrowseProgramClick() {
    std::string path = EditText(ui->edtProgram);
    if (platform::CurrentShell().OpenFileDialog(
            sjis(u8"プログラム"),
            sjis(u8"すべてのファイル (*.*)|*.*|アプリケーション (*.exe)|*.exe"), path, true)) {
        SetEditText(ui->edtProgram, path);
    }
}

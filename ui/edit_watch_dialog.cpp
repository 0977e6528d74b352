#include "ui/edit_watch_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTextCursor>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

#include "actions/actions.h"
#include "config/settings.h"
#include "core/dry_run.h"
#include "eventlog/catalog.h"
#include "expr/parser.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "ui/dialog_support.h"
#include "ui/dry_run_window.h"
#include "ui/edit_todo_dialog.h"
#include "ui/qt_shell.h"
#include "ui/watch_boxes.h"
#include "ui_edit_watch_dialog.h"

namespace {

constexpr int kKindRole = Qt::UserRole;
constexpr int kParamRole = Qt::UserRole + 1;
constexpr int kMailRole = Qt::UserRole;
constexpr int kComputerRole = Qt::UserRole + 1;

}  // namespace

int CaretOfBytePosition(const std::string& text, int position) {
    int caret = 0;
    for (size_t i = 0; i < text.size() && static_cast<int>(i) < position;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            i += 2;
        } else if (platform::IsDBCSLeadByte(c) && i + 1 < text.size()) {
            i += 2;
        } else {
            ++i;
        }
        ++caret;
    }
    return caret;
}

TfrmEditWatch::TfrmEditWatch(QWidget* parent)
    : QDialog(parent),
      ui(new Ui::TfrmEditWatch),
      m_actionEditor(new TfrmEditToDo(this)),
      m_dryRun(new TfrmDryRun(this)) {
    ui->setupUi(this);
    setModal(true);
    MakeNumericEdit(ui->edtEventNum, 6);
    // An editable combo box hands its keys to its line edit directly, past any filter there:
    // the digits-only filter sits where the keys arrive.
    MakeDigitKeyFilter(ui->cbxEventID);
    MakeNumericEdit(ui->edtEvery, 5);
    MakeNumericEdit(ui->edtRenotify, 5);
    MakeNumericEdit(ui->edtGrace, 4);
    for (QLineEdit* clock : {ui->edtFrom, ui->edtBy}) {
        clock->setFixedWidth(ui->edtEvery->width());
        clock->setPlaceholderText(QStringLiteral("hh:mm"));
    }
    MakeDigitKeyFilter(ui->cbxRecoveryEventID);
    {
        m_tshComputer = new QWidget;
        m_edtComputers = new QLineEdit;
        m_edtComputers->setObjectName(QStringLiteral("edtComputers"));
        auto* label = new QLabel(QString::fromUtf8(u8"発生元のコンピューター(&Q):"));
        label->setBuddy(m_edtComputers);
        auto* note = new QLabel(QString::fromUtf8(
            u8"空欄のときは、どのコンピューターのイベントも対象です。名前には * と ? が使えます。"
            u8"複数の名前はカンマで区切ります(例: DC*, FS02)。大文字と小文字は区別しません。"
            u8"ドットのない名前は、FS02.example.local のような名前の最初の部分とも比べます。"));
        note->setWordWrap(true);
        auto* layout = new QVBoxLayout(m_tshComputer);
        layout->addWidget(label);
        layout->addWidget(m_edtComputers);
        layout->addWidget(note);
        layout->addStretch(1);
        ui->pgcWatch->addTab(m_tshComputer, QString::fromUtf8(u8"コンピューター"));
    }
    for (int i = 0; i < 6; ++i) {
        ui->cbxType->addItem(ToQString(EventTypeName(TypeCodeOfIndex(i))));
        ui->cbxRecoveryType->addItem(ToQString(EventTypeName(TypeCodeOfIndex(i))));
    }
    for (QComboBox* box : {ui->cbxLogName, ui->cbxSourceName, ui->cbxEventID, ui->cbxCategory,
                           ui->cbxRecoveryLog, ui->cbxRecoverySource, ui->cbxRecoveryEventID}) {
        box->setMinimumWidth(box->fontMetrics().averageCharWidth() * 40);
    }
    ui->edtRecoveryCondition->setMaximumHeight(
        ui->edtRecoveryCondition->fontMetrics().lineSpacing() * 4);
    for (QRadioButton* button :
         {ui->rbnRuleNone, ui->rbnAbsence, ui->rbnRecovery, ui->rbnEvery, ui->rbnDaily}) {
        connect(button, &QRadioButton::toggled, this, &TfrmEditWatch::UpdateRuleControls);
    }
    connect(ui->cbxRecoveryLog, &QComboBox::editTextChanged, this,
            &TfrmEditWatch::FillRecoveryLists);
    connect(ui->cbxRecoverySource, &QComboBox::editTextChanged, this,
            &TfrmEditWatch::FillRecoveryLists);
    connect(ui->cbxRecoveryType, &QComboBox::currentIndexChanged, this,
            &TfrmEditWatch::FillRecoveryLists);
    resize(720, 520);
    connect(ui->cbxLogName, &QComboBox::editTextChanged, this, &TfrmEditWatch::cbxLogNameChange);
    connect(ui->cbxSourceName, &QComboBox::editTextChanged, this,
            &TfrmEditWatch::cbxSourceNameChange);
    connect(ui->cbxType, &QComboBox::currentIndexChanged, this, &TfrmEditWatch::cbxTypeChange);
    connect(ui->btnEntry, &QPushButton::clicked, this, &TfrmEditWatch::btnEntryClick);
    connect(ui->btnDryRun, &QPushButton::clicked, this, &TfrmEditWatch::btnDryRunClick);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->btnNew, &QPushButton::clicked, this, &TfrmEditWatch::btnNewClick);
    connect(ui->btnUpdate, &QPushButton::clicked, this, &TfrmEditWatch::btnUpdateClick);
    connect(ui->btnDelete, &QPushButton::clicked, this, &TfrmEditWatch::btnDeleteClick);
    connect(ui->btnUp, &QPushButton::clicked, this, &TfrmEditWatch::btnUpClick);
    connect(ui->btnDown, &QPushButton::clicked, this, &TfrmEditWatch::btnDownClick);
    connect(ui->lvwToDo, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        if (item) btnUpdateClick();
    });
}

TfrmEditWatch::~TfrmEditWatch() = default;

void TfrmEditWatch::ShowAddresses(const AddressList& addresses) {
    std::vector<const AddressEntry*> sorted;
    for (const auto& a : addresses) sorted.push_back(a.get());
    std::stable_sort(
        sorted.begin(), sorted.end(), [](const AddressEntry* a, const AddressEntry* b) {
            const int byMail = platform::CompareAsciiNoCase(a->MailAddr, b->MailAddr);
            return byMail != 0 ? byMail < 0
                               : platform::CompareAsciiNoCase(a->UserName, b->UserName) < 0;
        });
    ui->lvwAddrList->clear();
    for (const AddressEntry* a : sorted) {
        auto* item = new QTreeWidgetItem(ui->lvwAddrList);
        const std::string* texts[] = {&a->MailAddr, &a->UserName, &a->Name, &a->Post, &a->Contact};
        for (int i = 0; i < 5; ++i) item->setText(i, ToQString(*texts[i]));
        item->setData(0, kMailRole, QByteArray::fromStdString(a->MailAddr));
        item->setData(0, kComputerRole, QByteArray::fromStdString(a->UserName));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(0, Qt::Unchecked);
    }
    if (ui->lvwAddrList->topLevelItemCount() > 0) {
        ui->lvwAddrList->setCurrentItem(ui->lvwAddrList->topLevelItem(0));
    }
}

void TfrmEditWatch::SetActionRow(QTreeWidgetItem* item, const ActionEntry& action) {
    item->setText(0, ToQString(ActionKindName(action.Kind)));
    item->setText(1, ToQString(action.Kind == kActionAttachFiles
                                   ? (action.Param.size() > 5 ? action.Param.substr(5) : "")
                                   : action.Param));
    item->setData(0, kKindRole, static_cast<int>(action.Kind));
    item->setData(0, kParamRole, QByteArray::fromStdString(action.Param));
}

void TfrmEditWatch::AddActionRow(const ActionEntry& action, int at) {
    auto* item = new QTreeWidgetItem;
    SetActionRow(item, action);
    if (at < 0) {
        ui->lvwToDo->addTopLevelItem(item);
    } else {
        ui->lvwToDo->insertTopLevelItem(at, item);
    }
    FitPendingColumns(ui->lvwToDo);
}

std::vector<ActionEntry> TfrmEditWatch::Actions() const {
    std::vector<ActionEntry> actions;
    for (int i = 0; i < ui->lvwToDo->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = ui->lvwToDo->topLevelItem(i);
        actions.push_back({static_cast<std::int8_t>(item->data(0, kKindRole).toInt()),
                           item->data(0, kParamRole).toByteArray().toStdString()});
    }
    return actions;
}

std::vector<std::string> TfrmEditWatch::RecipientTexts() const {
    std::vector<std::string> texts;
    for (int i = 0; i < ui->lvwAddrList->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = ui->lvwAddrList->topLevelItem(i);
        if (item->checkState(0) != Qt::Checked) continue;
        const std::string mail = item->data(0, kMailRole).toByteArray().toStdString();
        const std::string computer = item->data(0, kComputerRole).toByteArray().toStdString();
        if (!mail.empty()) texts.push_back(mail);
        if (!computer.empty()) texts.push_back(computer);
    }
    return texts;
}

void TfrmEditWatch::ShowEntry(const WatchList& watches, const WatchEntry* entry) {
    m_watches = &watches;
    m_entry = entry;
    ui->lvwToDo->clear();
    auto setCombo = [](QComboBox* box, const std::string& text) {
        const QSignalBlocker block(box);
        box->setEditText(ToQString(text));
    };
    if (entry) {
        ui->edtEventNum->setText(QString::number(entry->EventNum));
        SetEditText(ui->edtMailSubject, entry->MailSubject);
        setCombo(ui->cbxLogName, entry->LogName);
        setCombo(ui->cbxSourceName, entry->SourceName);
        ui->cbxType->setCurrentIndex(TypeIndex(entry->Type));
        setCombo(ui->cbxEventID, EventIDText(static_cast<std::uint32_t>(entry->EventID)));
        setCombo(ui->cbxCategory, entry->Category);
        SetMemoText(ui->edtCondition, entry->Condition);
        SetMemoText(ui->edtNote, entry->Note);
        for (const ActionEntry& action : entry->ToDoList) AddActionRow(action);
    } else {
        ui->edtEventNum->setText(QString::number(NextWatchNumber(watches)));
        for (QComboBox* box :
             {ui->cbxLogName, ui->cbxSourceName, ui->cbxEventID, ui->cbxCategory}) {
            setCombo(box, AnyValueText());
        }
        ui->cbxType->setCurrentIndex(0);
        ui->edtCondition->clear();
    }
    ShowRule(entry ? entry->Rule : WatchRule());
    SetEditText(m_edtComputers, entry ? entry->Computers : std::string());
    for (int i = 0; i < ui->lvwAddrList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = ui->lvwAddrList->topLevelItem(i);
        const std::string mail = item->data(0, kMailRole).toByteArray().toStdString();
        const std::string computer = item->data(0, kComputerRole).toByteArray().toStdString();
        bool ticked = false;
        if (entry) {
            for (const std::string& text : entry->AddrList) {
                ticked |=
                    (!mail.empty() && text == mail) || (!computer.empty() && text == computer);
            }
        }
        item->setCheckState(0, ticked ? Qt::Checked : Qt::Unchecked);
    }
    m_modified = false;
}

void TfrmEditWatch::ReadEntry(WatchEntry& entry) const {
    entry.EventNum = static_cast<std::int32_t>(FieldNumber(EditText(ui->edtEventNum)));
    entry.MailSubject = EditText(ui->edtMailSubject);
    entry.LogName = FromQString(ui->cbxLogName->currentText());
    entry.SourceName = FromQString(ui->cbxSourceName->currentText());
    entry.Category = FromQString(ui->cbxCategory->currentText());
    entry.Condition = MemoText(ui->edtCondition);
    entry.Note = MemoText(ui->edtNote);
    entry.Type = TypeCodeOfIndex(ui->cbxType->currentIndex());
    entry.EventID =
        static_cast<std::int32_t>(EventIDValue(FromQString(ui->cbxEventID->currentText())));
    entry.ToDoList = Actions();
    entry.AddrList = RecipientTexts();
    entry.Rule = RuleOfControls();
    entry.Computers = EditText(m_edtComputers);
}

void TfrmEditWatch::LockEntry() { ui->btnEntry->setEnabled(false); }

void TfrmEditWatch::UnlockEntry() { ui->btnEntry->setEnabled(true); }

void TfrmEditWatch::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    TreeColumnWidths addresses(ui->lvwAddrList, AddressColumnWidths());
    LoadColumnWidths("MailList", addresses);
    QString widestKind;
    for (int kind = 0; kind <= kActionContinueService; ++kind) {
        const QString name = ToQString(ActionKindName(kind));
        if (fontMetrics().horizontalAdvance(name) > fontMetrics().horizontalAdvance(widestKind)) {
            widestKind = name;
        }
    }
    TreeColumnWidths actions(ui->lvwToDo, {}, {widestKind});
    LoadColumnWidths("ToDoList", actions);
    ui->pgcWatch->setCurrentWidget(ui->tshEvent);
    ui->edtEventNum->setFocus();
    FillLogs();
    cbxLogNameChange();
    FillRecoveryLists();
}

void TfrmEditWatch::hideEvent(QHideEvent* event) {
    TreeColumnWidths addresses(ui->lvwAddrList);
    SaveColumnWidths("MailList", addresses);
    TreeColumnWidths actions(ui->lvwToDo);
    SaveColumnWidths("ToDoList", actions);
    QDialog::hideEvent(event);
}

void TfrmEditWatch::FillLogs() {
    std::vector<std::string> logs;
    ListLogs(logs);
    std::sort(logs.begin(), logs.end(), LessNoCase);
    FillCombo(ui->cbxLogName, logs);
    FillCombo(ui->cbxRecoveryLog, logs);
}

void TfrmEditWatch::FillSources() { FillSourcesOf(ui->cbxLogName, ui->cbxSourceName); }

void TfrmEditWatch::FillCategories() {
    std::vector<std::string> categories;
    const std::string log = FromQString(ui->cbxLogName->currentText());
    const std::string source = FromQString(ui->cbxSourceName->currentText());
    if (log != AnyValueText() && source != AnyValueText()) ListCategories(log, source, categories);
    std::sort(categories.begin(), categories.end(), LessNoCase);
    FillCombo(ui->cbxCategory, categories);
}

void TfrmEditWatch::FillEventIDs() {
    FillEventIDsOf(ui->cbxLogName, ui->cbxSourceName, ui->cbxType, ui->cbxEventID);
}

void TfrmEditWatch::cbxLogNameChange() {
    FillSources();
    cbxSourceNameChange();
}

void TfrmEditWatch::cbxSourceNameChange() {
    FillCategories();
    cbxTypeChange();
}

void TfrmEditWatch::cbxTypeChange() { FillEventIDs(); }

WatchFields TfrmEditWatch::TrimmedFields() {
    WatchFields f;
    f.eventNum = TrimEdit(ui->edtEventNum);
    f.mailSubject = TrimEdit(ui->edtMailSubject);
    {
        // Trimming is no change of log or source: the lists stay as they are.
        const QSignalBlocker blockLog(ui->cbxLogName);
        const QSignalBlocker blockSource(ui->cbxSourceName);
        f.logName = TrimCombo(ui->cbxLogName);
        f.sourceName = TrimCombo(ui->cbxSourceName);
    }
    f.eventId = TrimCombo(ui->cbxEventID);
    f.category = TrimCombo(ui->cbxCategory);
    f.condition = TrimMemo(ui->edtCondition);
    f.note = TrimMemo(ui->edtNote);
    f.typeIndex = ui->cbxType->currentIndex();
    f.computers = TrimEdit(m_edtComputers);
    f.anyRecipient = !RecipientTexts().empty();
    return f;
}

void TfrmEditWatch::FocusField(WatchField field) {
    QWidget* target = nullptr;
    switch (field) {
        case WatchField::EventNum: target = ui->edtEventNum; break;
        case WatchField::MailSubject: target = ui->edtMailSubject; break;
        case WatchField::LogName: target = ui->cbxLogName; break;
        case WatchField::SourceName: target = ui->cbxSourceName; break;
        case WatchField::EventID: target = ui->cbxEventID; break;
        case WatchField::Category: target = ui->cbxCategory; break;
        case WatchField::Condition: target = ui->edtCondition; break;
        case WatchField::Recipients: target = ui->lvwAddrList; break;
        case WatchField::Computers: target = m_edtComputers; break;
    }
    ui->pgcWatch->setCurrentWidget(field == WatchField::Recipients ? ui->tshAddr : ui->tshEvent);
    target->setFocus();
}

bool TfrmEditWatch::Changed() const {
    WatchEntry draft;
    ReadEntry(draft);
    return !(draft == *m_entry);
}

bool TfrmEditWatch::ConditionAccepted(const std::string& condition, QPlainTextEdit* box,
                                      QWidget* tab) {
    std::string message;
    const int position = CheckCondition(condition, &message);
    if (position == 0) return true;
    Tell(message, sjis(u8"条件式エラー"), platform::kMbIconExclamation);
    ui->pgcWatch->setCurrentWidget(tab);
    box->setFocus();
    QTextCursor cursor = box->textCursor();
    cursor.setPosition(CaretOfBytePosition(condition, position));
    box->setTextCursor(cursor);
    return false;
}

void TfrmEditWatch::btnDryRunClick() {
    WatchFields fields = TrimmedFields();
    // Only what decides a match is checked: a test needs no number and no title.
    fields.eventNum = "1";
    fields.mailSubject = "-";
    if (auto problem = CheckWatchFields(fields, WatchList(), nullptr)) {
        platform::CurrentShell().MessageBox(problem->message, sjis(u8"項目チェック"),
                                            platform::kMbOk, platform::kMbIconExclamation);
        FocusField(problem->field);
        return;
    }
    if (!ConditionAccepted(fields.condition, ui->edtCondition, ui->tshEvent) ||
        !RuleAccepted(fields)) {
        return;
    }
    WatchEntry entry;
    ReadEntry(entry);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const DryRunResult result = DryRunEntry(entry, kDryRunRecords);
    QApplication::restoreOverrideCursor();
    m_dryRun->ShowResult(result, kDryRunRecords);
    m_dryRun->exec();
}

void TfrmEditWatch::btnEntryClick() {
    if (!CheckCodePage(this)) return;
    const WatchFields fields = TrimmedFields();
    if (auto problem = CheckWatchFields(fields, *m_watches, m_entry)) {
        // The message first, then the field's tab: as the checks show it.
        platform::CurrentShell().MessageBox(problem->message, sjis(u8"項目チェック"),
                                            platform::kMbOk, platform::kMbIconExclamation);
        FocusField(problem->field);
        return;
    }
    if (!ConditionAccepted(fields.condition, ui->edtCondition, ui->tshEvent)) return;
    if (!fields.anyRecipient) {
        platform::CurrentShell().MessageBox(sjis(u8"メール受信者が1人も選択されていません。"),
                                            sjis(u8"項目チェック"), platform::kMbOk,
                                            platform::kMbIconExclamation);
        FocusField(WatchField::Recipients);
        return;
    }
    if (!RuleAccepted(fields)) return;
    if (!m_entry || Changed()) {
        m_modified = true;
        accept();
    } else {
        reject();
    }
}

bool TfrmEditWatch::ActionSelected(const char8_t* caption) {
    if (!ui->lvwToDo->selectedItems().isEmpty()) return true;
    Tell(sjis(u8"登録済みリストから動作を選択してください。"), sjis(caption),
         platform::kMbIconExclamation);
    return false;
}

void TfrmEditWatch::btnNewClick() {
    m_actionEditor->ShowAction(nullptr);
    if (m_actionEditor->exec() == QDialog::Accepted) {
        ActionEntry action;
        m_actionEditor->ReadAction(action);
        AddActionRow(action);
    }
    ui->lvwToDo->setFocus();
}

void TfrmEditWatch::btnUpdateClick() {
    if (ActionSelected(u8"動作の修正")) {
        QTreeWidgetItem* item = ui->lvwToDo->selectedItems().first();
        const ActionEntry old{static_cast<std::int8_t>(item->data(0, kKindRole).toInt()),
                              item->data(0, kParamRole).toByteArray().toStdString()};
        m_actionEditor->ShowAction(&old);
        if (m_actionEditor->exec() == QDialog::Accepted) {
            ActionEntry action;
            m_actionEditor->ReadAction(action);
            SetActionRow(item, action);
        }
    }
    ui->lvwToDo->setFocus();
}

void TfrmEditWatch::btnDeleteClick() {
    if (ActionSelected(u8"動作の削除") &&
        AskYesNo(sjis(u8"選択されている動作を削除してもよろしいですか？"), sjis(u8"削除の確認"))) {
        delete ui->lvwToDo->selectedItems().first();
    }
    ui->lvwToDo->setFocus();
}

void TfrmEditWatch::MoveAction(int step) {
    if (ActionSelected(u8"動作の削除")) {
        QTreeWidget* list = ui->lvwToDo;
        const int row = list->indexOfTopLevelItem(list->selectedItems().first());
        const int target = row + step;
        if (target >= 0 && target < list->topLevelItemCount()) {
            QTreeWidgetItem* item = list->takeTopLevelItem(row);
            list->insertTopLevelItem(target, item);
            list->clearSelection();
            list->setCurrentItem(item);
            item->setSelected(true);
        }
    }
    ui->lvwToDo->setFocus();
}

void TfrmEditWatch::btnUpClick() { MoveAction(-1); }

void TfrmEditWatch::btnDownClick() { MoveAction(1); }

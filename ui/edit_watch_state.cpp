#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <algorithm>
#include <array>

#include "config/settings_checks.h"
#include "eventlog/catalog.h"
#include "platform/codepage.h"
#include "platform/shell.h"
#include "ui/dialog_support.h"
#include "ui/edit_watch_dialog.h"
#include "ui/qt_shell.h"
#include "ui/watch_boxes.h"
#include "ui_edit_watch_dialog.h"

// The editor's fifth tab, 状態: an entry's absence or recovery rule.

namespace {

// Sunday first, as the rule's day bits.
std::array<QCheckBox*, 7> DayBoxes(const Ui::TfrmEditWatch& ui) {
    return {ui.chkSun, ui.chkMon, ui.chkTue, ui.chkWed, ui.chkThu, ui.chkFri, ui.chkSat};
}

QString ClockText(int minutes) {
    return QString::asprintf("%02d:%02d", minutes / 60, minutes % 60);
}

}  // namespace

void TfrmEditWatch::ShowRule(const WatchRule& rule) {
    // An entry without a rule shows what a new rule starts from.
    const bool none = rule.Kind == WatchRule::kNone;
    ui->rbnRuleNone->setChecked(none);
    ui->rbnAbsence->setChecked(rule.Kind == WatchRule::kAbsence);
    ui->rbnRecovery->setChecked(rule.Kind == WatchRule::kRecovery);
    const bool daily = !none && rule.Kind == WatchRule::kAbsence && rule.Every == 0;
    ui->rbnEvery->setChecked(!daily);
    ui->rbnDaily->setChecked(daily);
    ui->edtEvery->setText(QString::number(rule.Every > 0 ? rule.Every : 60));
    ui->edtFrom->setText(ClockText(daily ? rule.From : 0));
    ui->edtBy->setText(ClockText(daily ? rule.By : 6 * 60));
    const auto days = DayBoxes(*ui);
    for (int d = 0; d < 7; ++d) days[d]->setChecked(daily ? (rule.Days >> d) & 1 : true);
    ui->edtGrace->setText(QString::number(none ? WatchRule().Grace : rule.Grace));
    ui->chkReportMatches->setChecked(rule.ReportMatches);
    const bool recovery = rule.Kind == WatchRule::kRecovery;
    for (auto [box, text] : {std::pair{ui->cbxRecoveryLog, &rule.LogName},
                             std::pair{ui->cbxRecoverySource, &rule.SourceName}}) {
        const QSignalBlocker block(box);
        box->setEditText(ToQString(recovery ? *text : AnyValueText()));
    }
    {
        const QSignalBlocker block(ui->cbxRecoveryType);
        ui->cbxRecoveryType->setCurrentIndex(recovery ? TypeIndex(rule.Type) : 0);
    }
    ui->cbxRecoveryEventID->setEditText(
        ToQString(EventIDText(recovery ? static_cast<std::uint32_t>(rule.EventID) : 0)));
    SetMemoText(ui->edtRecoveryCondition, recovery ? rule.Condition : std::string());
    ui->edtRenotify->setText(QString::number(rule.Renotify));
    UpdateRuleControls();
}

WatchRule TfrmEditWatch::RuleOfControls() const {
    WatchRule rule;
    if (ui->rbnRuleNone->isChecked()) return rule;
    rule.Renotify = static_cast<std::int32_t>(FieldNumber(EditText(ui->edtRenotify)));
    if (ui->rbnAbsence->isChecked()) {
        rule.Kind = WatchRule::kAbsence;
        rule.ReportMatches = ui->chkReportMatches->isChecked();
        rule.Grace = static_cast<std::int32_t>(FieldNumber(EditText(ui->edtGrace)));
        if (ui->rbnEvery->isChecked()) {
            rule.Every = static_cast<std::int32_t>(FieldNumber(EditText(ui->edtEvery)));
        } else {
            rule.From = std::max(0, ClockMinutes(EditText(ui->edtFrom)));
            rule.By = std::max(0, ClockMinutes(EditText(ui->edtBy)));
            rule.Days = 0;
            const auto days = DayBoxes(*ui);
            for (int d = 0; d < 7; ++d) rule.Days |= days[d]->isChecked() ? 1 << d : 0;
        }
        return rule;
    }
    rule.Kind = WatchRule::kRecovery;
    rule.LogName = FromQString(ui->cbxRecoveryLog->currentText());
    rule.SourceName = FromQString(ui->cbxRecoverySource->currentText());
    rule.Type = TypeCodeOfIndex(ui->cbxRecoveryType->currentIndex());
    rule.EventID =
        static_cast<std::int32_t>(EventIDValue(FromQString(ui->cbxRecoveryEventID->currentText())));
    rule.Condition = MemoText(ui->edtRecoveryCondition);
    return rule;
}

void TfrmEditWatch::UpdateRuleControls() {
    const bool absence = ui->rbnAbsence->isChecked();
    ui->grpAbsence->setEnabled(absence);
    ui->grpRecovery->setEnabled(ui->rbnRecovery->isChecked());
    ui->edtEvery->setEnabled(ui->rbnEvery->isChecked());
    ui->lblEveryUnit->setEnabled(ui->rbnEvery->isChecked());
    const bool daily = ui->rbnDaily->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{ui->edtFrom, ui->lblFromTo, ui->edtBy,
                                                      ui->lblByUnit, ui->lblDays}) {
        w->setEnabled(daily);
    }
    const auto days = DayBoxes(*ui);
    for (int d = 0; d < 7; ++d) days[d]->setEnabled(daily);
    const bool any = !ui->rbnRuleNone->isChecked();
    for (QWidget* w :
         std::initializer_list<QWidget*>{ui->lblRenotify, ui->edtRenotify, ui->lblRenotifyUnit}) {
        w->setEnabled(any);
    }
}

RuleFields TfrmEditWatch::TrimmedRuleFields() {
    RuleFields f;
    f.kind = ui->rbnAbsence->isChecked()    ? WatchRule::kAbsence
             : ui->rbnRecovery->isChecked() ? WatchRule::kRecovery
                                            : WatchRule::kNone;
    f.daily = ui->rbnDaily->isChecked();
    f.every = TrimEdit(ui->edtEvery);
    f.from = TrimEdit(ui->edtFrom);
    f.by = TrimEdit(ui->edtBy);
    f.renotify = TrimEdit(ui->edtRenotify);
    f.grace = TrimEdit(ui->edtGrace);
    const auto days = DayBoxes(*ui);
    for (int d = 0; d < 7; ++d) f.days |= days[d]->isChecked() ? 1 << d : 0;
    {
        const QSignalBlocker blockLog(ui->cbxRecoveryLog);
        const QSignalBlocker blockSource(ui->cbxRecoverySource);
        f.logName = TrimCombo(ui->cbxRecoveryLog);
        f.sourceName = TrimCombo(ui->cbxRecoverySource);
    }
    f.eventId = TrimCombo(ui->cbxRecoveryEventID);
    f.condition = TrimMemo(ui->edtRecoveryCondition);
    f.typeIndex = ui->cbxRecoveryType->currentIndex();
    return f;
}

void TfrmEditWatch::FocusRuleField(RuleField field) {
    QWidget* target = nullptr;
    switch (field) {
        case RuleField::Every: target = ui->edtEvery; break;
        case RuleField::From: target = ui->edtFrom; break;
        case RuleField::By: target = ui->edtBy; break;
        case RuleField::Days: target = ui->chkMon; break;
        case RuleField::Grace: target = ui->edtGrace; break;
        case RuleField::LogName: target = ui->cbxRecoveryLog; break;
        case RuleField::SourceName: target = ui->cbxRecoverySource; break;
        case RuleField::EventID: target = ui->cbxRecoveryEventID; break;
        case RuleField::Renotify: target = ui->edtRenotify; break;
    }
    ui->pgcWatch->setCurrentWidget(ui->tshState);
    target->setFocus();
}

bool TfrmEditWatch::RuleAccepted(const WatchFields& entry) {
    const RuleFields fields = TrimmedRuleFields();
    if (auto problem = CheckRuleFields(fields, entry)) {
        platform::CurrentShell().MessageBox(problem->message, sjis(u8"項目チェック"),
                                            platform::kMbOk, platform::kMbIconExclamation);
        FocusRuleField(problem->field);
        return false;
    }
    return fields.kind != WatchRule::kRecovery ||
           ConditionAccepted(fields.condition, ui->edtRecoveryCondition, ui->tshState);
}

void TfrmEditWatch::FillRecoveryLists() {
    // Each list follows the boxes before it; the texts typed stay.
    const QSignalBlocker blockSources(ui->cbxRecoverySource);
    FillSourcesOf(ui->cbxRecoveryLog, ui->cbxRecoverySource);
    FillEventIDsOf(ui->cbxRecoveryLog, ui->cbxRecoverySource, ui->cbxRecoveryType,
                   ui->cbxRecoveryEventID);
}

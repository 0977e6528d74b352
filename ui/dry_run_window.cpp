#include "ui/dry_run_window.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "eventlog/catalog.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "ui/qt_shell.h"

namespace {

QString Text(const char8_t* utf8) { return QString::fromUtf8(reinterpret_cast<const char*>(utf8)); }

// What became of a matched record, or which report a rule made.
QString OutcomeText(ReportKind kind) {
    switch (kind) {
        case ReportKind::Match: return Text(u8"通知");
        case ReportKind::Opened: return Text(u8"問題の発生");
        case ReportKind::Expected: return Text(u8"期待どおり");
        case ReportKind::Repeated: return Text(u8"未復旧(控える)");
        case ReportKind::Absence: return Text(u8"未発生");
        case ReportKind::Recovery: return Text(u8"復旧");
    }
    return QString();
}

constexpr int kReportRole = Qt::UserRole;

}  // namespace

TfrmDryRun::TfrmDryRun(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("TfrmDryRun"));
    setWindowTitle(Text(u8"テスト結果"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    lblSummary = new QLabel;
    lblSummary->setObjectName(QStringLiteral("lblSummary"));
    lblSummary->setWordWrap(true);
    lvwMatch = new QTreeWidget;
    lvwMatch->setObjectName(QStringLiteral("lvwMatch"));
    lvwMatch->setRootIsDecorated(false);
    lvwMatch->setUniformRowHeights(true);
    lvwMatch->setHeaderLabels({Text(u8"結果"), Text(u8"ログ"), Text(u8"番号"), Text(u8"日付"),
                               Text(u8"時刻"), Text(u8"種類"), Text(u8"ソース"),
                               Text(u8"イベントID"), Text(u8"説明")});
    const int widths[] = {110, 80, 60, 80, 64, 64, 100, 70, 240};
    for (int i = 0; i < 9; ++i) lvwMatch->setColumnWidth(i, widths[i]);
    auto* reportLabel = new QLabel(Text(u8"選択したイベントの通知内容(&R)"));
    edtReport = new QPlainTextEdit;
    edtReport->setObjectName(QStringLiteral("edtReport"));
    edtReport->setReadOnly(true);
    reportLabel->setBuddy(edtReport);
    auto* btnClose = new QPushButton(Text(u8"閉じる(&C)"));
    btnClose->setObjectName(QStringLiteral("btnClose"));
    btnClose->setDefault(true);
    connect(btnClose, &QPushButton::clicked, this, &QDialog::accept);
    connect(lvwMatch, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        edtReport->setPlainText(item ? item->data(0, kReportRole).toString() : QString());
    });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblSummary);
    layout->addWidget(lvwMatch, 3);
    layout->addWidget(reportLabel);
    layout->addWidget(edtReport, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnClose);
    layout->addLayout(buttons);
    resize(760, 520);
}

void TfrmDryRun::ShowResult(const DryRunResult& result, std::uint32_t newest) {
    lvwMatch->clear();
    edtReport->clear();
    // The rows a rule made itself are not matches of records.
    int absences = 0, opened = 0, recovered = 0;
    for (const DryRunMatch& m : result.matches) {
        absences += m.kind == ReportKind::Absence;
        opened += m.kind == ReportKind::Opened;
        recovered += m.kind == ReportKind::Recovery;
    }
    // A log that holds fewer records than the limit was read whole: no "newest" to speak of.
    const int matched = static_cast<int>(result.matches.size()) - absences - recovered;
    QString summary;
    if (result.logs != 1) {
        summary = Text(u8"各ログの最新%1件まで、計%2件のレコードのうち%3件が一致しました。")
                      .arg(newest)
                      .arg(result.checked)
                      .arg(matched);
    } else if (result.checked < newest) {
        summary =
            Text(u8"%1件のレコードのうち%2件が一致しました。").arg(result.checked).arg(matched);
    } else {
        summary = Text(u8"最新%1件のレコードのうち%2件が一致しました。").arg(newest).arg(matched);
    }
    if (absences + opened + recovered > 0 || result.openProblems > 0) {
        summary += Text(u8"\n状態の規則: 未発生%1件、問題の発生%2件、復旧%3件、未復旧のまま%4件。")
                       .arg(absences)
                       .arg(opened)
                       .arg(recovered)
                       .arg(result.openProblems);
    }
    for (const std::string& log : result.unreadLogs) {
        summary += Text(u8"\n%1イベントログは読み取れませんでした。").arg(ToQString(log));
    }
    lblSummary->setText(summary);
    QList<QTreeWidgetItem*> items;
    for (const DryRunMatch& m : result.matches) {
        const EventRecord& r = m.record;
        const platform::SystemTime& t = r.TimeGenerated;
        const std::string description =
            r.Description.substr(0, r.Description.find_first_of("\r\n"));
        auto* item = new QTreeWidgetItem(
            {OutcomeText(m.kind), ToQString(m.logName),
             m.kind == ReportKind::Absence ? QString() : QString::number(r.RecordNumber),
             QString::fromLatin1(platform::StringPrintf("%04d/%02d/%02d", t.year, t.month, t.day)),
             QString::fromLatin1(
                 platform::StringPrintf("%02d:%02d:%02d", t.hour, t.minute, t.second)),
             ToQString(EventTypeName(r.EventType)), ToQString(r.SourceName),
             QString::number(r.EventID & 0xFFFF), ToQString(description)});
        item->setData(
            0, kReportRole,
            ToQString(m.reportText).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
        items.append(item);
    }
    lvwMatch->addTopLevelItems(items);
    if (!items.isEmpty()) lvwMatch->setCurrentItem(items.front());
}

#include "ui/extension_dialog.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "platform/codepage.h"
#include "ui/dialog_support.h"
#include "ui/qt_shell.h"

namespace {

QString Text(const char8_t* utf8) { return QString::fromUtf8(reinterpret_cast<const char*>(utf8)); }

// An option's row: the check box on its own line, the number with its label and unit below.
QGroupBox* OptionGroup(const char8_t* title, QCheckBox* check, QLabel* label, QLineEdit* edit,
                       const char8_t* unit, const char8_t* note) {
    auto* group = new QGroupBox(Text(title));
    auto* grid = new QGridLayout(group);
    grid->addWidget(check, 0, 0, 1, 3);
    grid->addWidget(label, 1, 0);
    auto* number = new QHBoxLayout;
    number->addWidget(edit);
    number->addWidget(new QLabel(Text(unit)));
    number->addStretch();
    grid->addLayout(number, 1, 1);
    auto* noteLabel = new QLabel(Text(note));
    noteLabel->setWordWrap(true);
    grid->addWidget(noteLabel, 2, 0, 1, 3);
    label->setBuddy(edit);
    return group;
}

}  // namespace

QGroupBox* TfrmExtension::JournalGroup() {
    cbxJournal = new QCheckBox(Text(u8"systemdのジャーナルをイベントログに取り込む(&J)"));
    cbxJournal->setObjectName(QStringLiteral("cbxJournal"));
    edtJournalFolder = new QLineEdit;
    edtJournalFolder->setObjectName(QStringLiteral("edtJournalFolder"));
    edtJournalFolder->setPlaceholderText(Text(u8"空欄: このマシンのジャーナル"));
    auto* folderLabel = new QLabel(Text(u8"フォルダ(&D)"));
    folderLabel->setBuddy(edtJournalFolder);
    rbJournalNow = new QRadioButton(Text(u8"今から書かれるエントリー(&T)"));
    rbJournalHours = new QRadioButton(Text(u8"過去(&O)"));
    rbJournalAll = new QRadioButton(Text(u8"フォルダにあるすべて(&B)"));
    edtJournalHours = new QLineEdit;
    rbJournalNow->setObjectName(QStringLiteral("rbJournalNow"));
    rbJournalHours->setObjectName(QStringLiteral("rbJournalHours"));
    rbJournalAll->setObjectName(QStringLiteral("rbJournalAll"));
    edtJournalHours->setObjectName(QStringLiteral("edtJournalHours"));
    MakeNumericEdit(edtJournalHours, 5);
    auto* group = new QGroupBox(Text(u8"ジャーナルの取り込み"));
    auto* box = new QVBoxLayout(group);
    box->addWidget(cbxJournal);
    auto* row = new QHBoxLayout;
    row->addWidget(folderLabel);
    row->addWidget(edtJournalFolder, 1);
    box->addLayout(row);
    auto* firstLabel = new QLabel(Text(u8"最初に取り込む範囲:"));
    box->addWidget(firstLabel);
    auto* first = new QHBoxLayout;
    first->addWidget(rbJournalNow);
    first->addWidget(rbJournalHours);
    first->addWidget(edtJournalHours);
    auto* hoursUnit = new QLabel(Text(u8"時間分"));
    first->addWidget(hoursUnit);
    first->addWidget(rbJournalAll);
    first->addStretch();
    box->addLayout(first);
    auto* note =
        new QLabel(Text(u8"カーネルとシステムのサービスのエントリーはSystemログに、"
                        u8"それ以外はApplicationログに記録します。2回目からは前回の続きを"
                        u8"取り込み、後から置かれたファイルの古いエントリーも取り込みます。"));
    note->setWordWrap(true);
    box->addWidget(note);
    m_journalControls = {folderLabel,    edtJournalFolder, firstLabel, rbJournalNow,
                         rbJournalHours, edtJournalHours,  hoursUnit,  rbJournalAll};
    connect(cbxJournal, &QCheckBox::toggled, this, &TfrmExtension::OptionsToggled);
    connect(rbJournalHours, &QRadioButton::toggled, this, &TfrmExtension::OptionsToggled);
    return group;
}

QGroupBox* TfrmExtension::LogSizeGroup() {
    edtLogSize = new QLineEdit;
    edtLogSize->setObjectName(QStringLiteral("edtLogSize"));
    MakeNumericEdit(edtLogSize, 4);
    lblLogSize = new QLabel(Text(u8"ログの最大サイズ(&M)"));
    lblLogSize->setBuddy(edtLogSize);
    auto* group = new QGroupBox(Text(u8"取り込むログ"));
    auto* grid = new QGridLayout(group);
    grid->addWidget(lblLogSize, 0, 0);
    auto* number = new QHBoxLayout;
    number->addWidget(edtLogSize);
    number->addWidget(new QLabel(QStringLiteral("MB")));
    number->addStretch();
    grid->addLayout(number, 0, 1);
    auto* note = new QLabel(
        Text(u8"ジャーナルとSyslogを記録するログはこの大きさまで広げます。まだチェックされて"
             u8"いないレコードは上書きせず、チェックを待って書き込みます。"));
    note->setWordWrap(true);
    grid->addWidget(note, 1, 0, 1, 2);
    return group;
}

QGroupBox* TfrmExtension::SyslogGroup() {
    cbxSyslog = new QCheckBox(Text(u8"Syslogを受信してログに記録する(&Y)"));
    cbxSyslog->setObjectName(QStringLiteral("cbxSyslog"));
    edtSyslogPort = new QLineEdit;
    edtSyslogPort->setObjectName(QStringLiteral("edtSyslogPort"));
    MakeNumericEdit(edtSyslogPort, 5);
    edtSyslogBind = new QLineEdit;
    edtSyslogBind->setObjectName(QStringLiteral("edtSyslogBind"));
    edtSyslogAllow = new QLineEdit;
    edtSyslogAllow->setObjectName(QStringLiteral("edtSyslogAllow"));
    edtSyslogAllow->setPlaceholderText(Text(u8"空欄: 受信するアドレスのみ"));
    edtSyslogLog = new QLineEdit;
    edtSyslogLog->setObjectName(QStringLiteral("edtSyslogLog"));
    edtSyslogLog->setMaxLength(64);
    auto* group = new QGroupBox(Text(u8"Syslogの受信"));
    auto* box = new QVBoxLayout(group);
    box->addWidget(cbxSyslog);
    auto* form = new QFormLayout;
    struct Row {
        const char8_t* label;
        QLineEdit* edit;
    };
    const Row rows[] = {{u8"ポート番号(&P)", edtSyslogPort},
                        {u8"受信するアドレス(&A)", edtSyslogBind},
                        {u8"許可する送信元(&W)", edtSyslogAllow},
                        {u8"記録するログ(&G)", edtSyslogLog}};
    for (const Row& row : rows) {
        auto* label = new QLabel(Text(row.label));
        label->setBuddy(row.edit);
        m_syslogControls.push_back(label);
        m_syslogControls.push_back(row.edit);
        form->addRow(label, row.edit);
    }
    box->addLayout(form);
    auto* note =
        new QLabel(Text(u8"UDPとTCP(RFC 5424とRFC 3164)で受け取り、1件ずつイベントとして"
                        u8"記録します。送信元は、アドレスかネットワークをカンマで区切っ"
                        u8"て入力します。"));
    note->setWordWrap(true);
    box->addWidget(note);
    connect(cbxSyslog, &QCheckBox::toggled, this, &TfrmExtension::OptionsToggled);
    return group;
}

TfrmExtension::TfrmExtension(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("TfrmExtension"));
    setWindowTitle(Text(u8"拡張設定"));
    setModal(true);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    cbxResume = new QCheckBox(Text(u8"停止中に書き込まれたイベントを起動時にチェックする(&R)"));
    lblResumeLimit = new QLabel(Text(u8"さかのぼるレコード数(&L)"));
    edtResumeLimit = new QLineEdit;
    cbxSpool = new QCheckBox(Text(u8"送信できなかったメールを保存して再送する(&S)"));
    lblSpoolHours = new QLabel(Text(u8"再送する時間(&H)"));
    edtSpoolHours = new QLineEdit;
    cbxFlood = new QCheckBox(Text(u8"通知の数を制限する(&F)"));
    lblFloodLimit = new QLabel(Text(u8"1時間あたりの通知数(&N)"));
    edtFloodLimit = new QLineEdit;
    cbxImmediate = new QCheckBox(Text(u8"ログが書き込まれたらすぐにチェックする(&I)"));
    btnOk = new QPushButton(Text(u8"登録(&E)"));
    btnCancel = new QPushButton(Text(u8"キャンセル(&C)"));
    cbxResume->setObjectName(QStringLiteral("cbxResume"));
    edtResumeLimit->setObjectName(QStringLiteral("edtResumeLimit"));
    cbxSpool->setObjectName(QStringLiteral("cbxSpool"));
    edtSpoolHours->setObjectName(QStringLiteral("edtSpoolHours"));
    cbxFlood->setObjectName(QStringLiteral("cbxFlood"));
    edtFloodLimit->setObjectName(QStringLiteral("edtFloodLimit"));
    cbxImmediate->setObjectName(QStringLiteral("cbxImmediate"));
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    MakeNumericEdit(edtResumeLimit, 6);
    MakeNumericEdit(edtSpoolHours, 3);
    MakeNumericEdit(edtFloodLimit, 4);

    // Two columns: what concerns the reports, and where events come from.
    auto* outer = new QVBoxLayout(this);
    auto* columns = new QHBoxLayout;
    auto* layout = new QVBoxLayout;
    auto* sources = new QVBoxLayout;
    columns->addLayout(layout, 1);
    columns->addLayout(sources, 1);
    outer->addLayout(columns);
    layout->addWidget(OptionGroup(
        u8"再起動後のチェック", cbxResume, lblResumeLimit, edtResumeLimit, u8"件 (ログごと)",
        u8"前回チェックしたレコードの次から、停止中に書き込まれたレコードを"
        u8"最初のチェックで通知します。"));
    layout->addWidget(
        OptionGroup(u8"メールの再送", cbxSpool, lblSpoolHours, edtSpoolHours, u8"時間",
                    u8"メールは送信前にSPOOLフォルダに保存し、接続できないなどの理由で"
                    u8"送信できなかったものを監視間隔ごとに再送します。"));
    layout->addWidget(OptionGroup(u8"通知の制限", cbxFlood, lblFloodLimit, edtFloodLimit,
                                  u8"件 (監視イベントごと)",
                                  u8"上限を超えた通知はメールとメッセージを控え、1時間の終わりに"
                                  u8"件数をまとめたメールを送ります。動作はすべて実行します。"));
    auto* immediate = new QGroupBox(Text(u8"即時チェック"));
    auto* immediateLayout = new QVBoxLayout(immediate);
    immediateLayout->addWidget(cbxImmediate);
    auto* immediateNote =
        new QLabel(Text(u8"イベントログのファイルが変わるとすぐに(0.2秒のまとめ待ちの後)"
                        u8"チェックします。監視間隔ごとのチェックも続けます。"));
    immediateNote->setWordWrap(true);
    immediateLayout->addWidget(immediateNote);
    // Beside the sources it sizes, where the left column has room.
    layout->addWidget(LogSizeGroup());
    layout->addStretch();
    sources->addWidget(immediate);
    sources->addWidget(JournalGroup());
    sources->addWidget(SyslogGroup());
    sources->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOk);
    buttons->addWidget(btnCancel);
    outer->addLayout(buttons);
    btnOk->setDefault(true);
    resize(860, sizeHint().height());

    connect(btnOk, &QPushButton::clicked, this, &TfrmExtension::btnOkClick);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    for (QCheckBox* box : {cbxResume, cbxSpool, cbxFlood}) {
        connect(box, &QCheckBox::toggled, this, &TfrmExtension::OptionsToggled);
    }
}

ExtensionFields TfrmExtension::Fields() const {
    ExtensionFields f;
    f.resume = cbxResume->isChecked();
    f.resumeLimit = EditText(edtResumeLimit);
    f.spool = cbxSpool->isChecked();
    f.spoolHours = EditText(edtSpoolHours);
    f.flood = cbxFlood->isChecked();
    f.floodLimit = EditText(edtFloodLimit);
    f.immediate = cbxImmediate->isChecked();
    f.journal = cbxJournal->isChecked();
    f.journalFolder = EditText(edtJournalFolder);
    f.journalStart = rbJournalAll->isChecked()     ? JournalStart::All
                     : rbJournalHours->isChecked() ? JournalStart::Hours
                                                   : JournalStart::Now;
    f.journalHours = EditText(edtJournalHours);
    f.logSize = EditText(edtLogSize);
    f.syslog = cbxSyslog->isChecked();
    f.syslogPort = EditText(edtSyslogPort);
    f.syslogBind = EditText(edtSyslogBind);
    f.syslogAllow = EditText(edtSyslogAllow);
    f.syslogLog = EditText(edtSyslogLog);
    return f;
}

QLineEdit* TfrmExtension::Control(ExtensionField field) const {
    switch (field) {
        case ExtensionField::ResumeLimit: return edtResumeLimit;
        case ExtensionField::SpoolHours: return edtSpoolHours;
        case ExtensionField::FloodLimit: return edtFloodLimit;
        case ExtensionField::JournalFolder: return edtJournalFolder;
        case ExtensionField::JournalHours: return edtJournalHours;
        case ExtensionField::LogSize: return edtLogSize;
        case ExtensionField::SyslogPort: return edtSyslogPort;
        case ExtensionField::SyslogBind: return edtSyslogBind;
        case ExtensionField::SyslogAllow: return edtSyslogAllow;
        case ExtensionField::SyslogLog: return edtSyslogLog;
    }
    return nullptr;
}

void TfrmExtension::ShowExtension(const ExtensionSettings& settings) {
    m_settings = settings;
    const ExtensionFields f = FieldsOf(settings);
    cbxResume->setChecked(f.resume);
    SetEditText(edtResumeLimit, f.resumeLimit);
    cbxSpool->setChecked(f.spool);
    SetEditText(edtSpoolHours, f.spoolHours);
    cbxFlood->setChecked(f.flood);
    SetEditText(edtFloodLimit, f.floodLimit);
    cbxImmediate->setChecked(f.immediate);
    cbxJournal->setChecked(f.journal);
    SetEditText(edtJournalFolder, f.journalFolder);
    rbJournalNow->setChecked(f.journalStart == JournalStart::Now);
    rbJournalHours->setChecked(f.journalStart == JournalStart::Hours);
    rbJournalAll->setChecked(f.journalStart == JournalStart::All);
    SetEditText(edtJournalHours, f.journalHours);
    SetEditText(edtLogSize, f.logSize);
    cbxSyslog->setChecked(f.syslog);
    SetEditText(edtSyslogPort, f.syslogPort);
    SetEditText(edtSyslogBind, f.syslogBind);
    SetEditText(edtSyslogAllow, f.syslogAllow);
    SetEditText(edtSyslogLog, f.syslogLog);
    OptionsToggled();
}

void TfrmExtension::OptionsToggled() {
    lblResumeLimit->setEnabled(cbxResume->isChecked());
    edtResumeLimit->setEnabled(cbxResume->isChecked());
    lblSpoolHours->setEnabled(cbxSpool->isChecked());
    edtSpoolHours->setEnabled(cbxSpool->isChecked());
    lblFloodLimit->setEnabled(cbxFlood->isChecked());
    edtFloodLimit->setEnabled(cbxFlood->isChecked());
    for (QWidget* w : m_journalControls) w->setEnabled(cbxJournal->isChecked());
    edtJournalHours->setEnabled(cbxJournal->isChecked() && rbJournalHours->isChecked());
    for (QWidget* w : m_syslogControls) w->setEnabled(cbxSyslog->isChecked());
    const bool sources = cbxJournal->isChecked() || cbxSyslog->isChecked();
    lblLogSize->setEnabled(sources);
    edtLogSize->setEnabled(sources);
}

void TfrmExtension::btnOkClick() {
    for (QLineEdit* edit :
         {edtResumeLimit, edtSpoolHours, edtFloodLimit, edtJournalFolder, edtJournalHours,
          edtSyslogPort, edtSyslogBind, edtSyslogAllow, edtSyslogLog, edtLogSize}) {
        TrimEdit(edit);
    }
    const ExtensionFields fields = Fields();
    if (auto problem = CheckExtension(fields)) {
        FieldCheckFailed(problem->message, Control(problem->field));
        return;
    }
    m_settings = ExtensionOf(fields, m_settings);
    accept();
}

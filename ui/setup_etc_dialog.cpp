#include "ui/setup_etc_dialog.h"

#include <memory>

#include "config/lists.h"
#include "notify/mail_report.h"
#include "notify/smtp.h"
#include "platform/codepage.h"
#include "ui/dialog_support.h"
#include "ui/extension_dialog.h"
#include "ui/qt_shell.h"
#include "ui_setup_etc_dialog.h"

namespace {

const std::string& ConnectionCaption() { return sjis(u8"接続テスト"); }
const std::string& TestCaption() { return sjis(u8"送信テスト"); }

}  // namespace

TfrmSetupEtc::TfrmSetupEtc(QWidget* parent)
    : QDialog(parent), ui(new Ui::TfrmSetupEtc), m_extensionDialog(new TfrmExtension(this)) {
    ui->setupUi(this);
    setModal(true);
    MakeNumericEdit(ui->edtInterval, 2);
    MakeNumericEdit(ui->edtPortNum, 5);
    MakeNumericEdit(ui->edtTimeOut, 3);
    MakeNumericEdit(ui->edtAliveDays, 2);
    // The password shows as asterisks, as the system's edits show it.
    ui->edtPassword->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    connect(ui->btnOk, &QPushButton::clicked, this, &TfrmSetupEtc::btnOkClick);
    connect(ui->btnCancel, &QPushButton::clicked, this, &TfrmSetupEtc::btnCancelClick);
    connect(ui->btnTest, &QPushButton::clicked, this, &TfrmSetupEtc::btnTestClick);
    connect(ui->btnBrowse, &QPushButton::clicked, this, &TfrmSetupEtc::btnBrowseClick);
    connect(ui->btnExtension, &QPushButton::clicked, this, &TfrmSetupEtc::btnExtensionClick);
    connect(ui->cboAuthType, &QComboBox::currentIndexChanged, this,
            &TfrmSetupEtc::cboAuthTypeClick);
    connect(ui->cbxOutputLogFile, &QCheckBox::toggled, this, &TfrmSetupEtc::cbxOutputLogFileClick);
}

TfrmSetupEtc::~TfrmSetupEtc() = default;

SettingsFields TfrmSetupEtc::Fields() const {
    SettingsFields f;
    f.interval = EditText(ui->edtInterval);
    f.senderName = EditText(ui->edtName);
    f.mailAddr = EditText(ui->edtMailAddr);
    f.server = EditText(ui->edtHostName);
    f.port = EditText(ui->edtPortNum);
    f.timeOut = EditText(ui->edtTimeOut);
    f.authType = std::max(0, ui->cboAuthType->currentIndex());
    f.userId = EditText(ui->edtUserID);
    f.password = EditText(ui->edtPassword);
    f.logEnabled = ui->cbxOutputLogFile->isChecked();
    f.path = EditText(ui->edtPathName);
    f.aliveDays = EditText(ui->edtAliveDays);
    return f;
}

void TfrmSetupEtc::SetFields(const SettingsFields& f) {
    SetEditText(ui->edtInterval, f.interval);
    SetEditText(ui->edtName, f.senderName);
    SetEditText(ui->edtMailAddr, f.mailAddr);
    SetEditText(ui->edtHostName, f.server);
    SetEditText(ui->edtPortNum, f.port);
    SetEditText(ui->edtTimeOut, f.timeOut);
    ui->cboAuthType->setCurrentIndex(f.authType);
    SetEditText(ui->edtUserID, f.userId);
    SetEditText(ui->edtPassword, f.password);
    ui->cbxOutputLogFile->setChecked(f.logEnabled);
    SetEditText(ui->edtPathName, f.path);
    SetEditText(ui->edtAliveDays, f.aliveDays);
}

QWidget* TfrmSetupEtc::Control(SettingsField field) const {
    switch (field) {
        case SettingsField::Interval: return ui->edtInterval;
        case SettingsField::Name: return ui->edtName;
        case SettingsField::MailAddr: return ui->edtMailAddr;
        case SettingsField::HostName: return ui->edtHostName;
        case SettingsField::PortNum: return ui->edtPortNum;
        case SettingsField::TimeOut: return ui->edtTimeOut;
        case SettingsField::UserID: return ui->edtUserID;
        case SettingsField::Password: return ui->edtPassword;
        case SettingsField::PathName: return ui->edtPathName;
        case SettingsField::AliveDays: return ui->edtAliveDays;
    }
    return nullptr;
}

void TfrmSetupEtc::ShowSettings(const Settings& settings, BSendMailFunction send) {
    m_loaded = FieldsOf(settings);
    m_send = send;
    SetFields(m_loaded);
    cboAuthTypeClick();
    cbxOutputLogFileClick();
}

void TfrmSetupEtc::ReadSettings(Settings& settings) const { settings = SettingsOf(Fields()); }

void TfrmSetupEtc::ShowExtension(const ExtensionSettings& extension) {
    m_extension = m_loadedExtension = extension;
}

void TfrmSetupEtc::btnExtensionClick() {
    m_extensionDialog->ShowExtension(m_extension);
    if (m_extensionDialog->exec() == QDialog::Accepted)
        m_extension = m_extensionDialog->Extension();
}

void TfrmSetupEtc::LockEntry() {
    m_entryLocked = true;
    ui->btnOk->setEnabled(false);
}

void TfrmSetupEtc::UnlockEntry() {
    m_entryLocked = false;
    ui->btnOk->setEnabled(!m_testing);
}

void TfrmSetupEtc::done(int result) {
    if (m_testing) {
        if (m_testClient) m_testClient->Abort();
        return;
    }
    QDialog::done(result);
}

void TfrmSetupEtc::BeginTest(TNMSMTP* client) {
    m_testing = true;
    m_testClient = client;
    ui->btnOk->setEnabled(false);
    ui->btnCancel->setEnabled(false);
    m_testText = ui->btnTest->text();
    if (client) {
        ui->btnTest->setText(QString::fromUtf8(u8"中止(&S)"));
    } else {
        ui->btnTest->setEnabled(false);
    }
}

void TfrmSetupEtc::EndTest() {
    m_testing = false;
    m_testClient = nullptr;
    ui->btnOk->setEnabled(!m_entryLocked);
    ui->btnCancel->setEnabled(true);
    ui->btnTest->setText(m_testText);
    ui->btnTest->setEnabled(true);
}

void TfrmSetupEtc::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    ui->edtInterval->setFocus();
    ui->edtInterval->selectAll();
}

void TfrmSetupEtc::cboAuthTypeClick() {
    const bool on = ui->cboAuthType->currentIndex() > 0;
    for (QWidget* w :
         {static_cast<QWidget*>(ui->lblUserID), static_cast<QWidget*>(ui->edtUserID),
          static_cast<QWidget*>(ui->lblPassword), static_cast<QWidget*>(ui->edtPassword)}) {
        w->setEnabled(on);
    }
}

void TfrmSetupEtc::cbxOutputLogFileClick() {
    const bool on = ui->cbxOutputLogFile->isChecked();
    for (QWidget* w :
         {static_cast<QWidget*>(ui->lblPathName), static_cast<QWidget*>(ui->edtPathName),
          static_cast<QWidget*>(ui->btnBrowse), static_cast<QWidget*>(ui->lblAliveDays),
          static_cast<QWidget*>(ui->edtAliveDays), static_cast<QWidget*>(ui->lblAliveDaysNote)}) {
        w->setEnabled(on);
    }
}

void TfrmSetupEtc::TrimSmtpEdits() {
    for (QLineEdit* e : {ui->edtName, ui->edtMailAddr, ui->edtHostName, ui->edtPortNum}) {
        TrimEdit(e);
    }
}

void TfrmSetupEtc::btnOkClick() {
    if (!CheckCodePage(this)) return;
    TrimEdit(ui->edtInterval);
    if (auto problem = CheckInterval(Fields())) {
        FieldCheckFailed(problem->message, Control(problem->field));
        return;
    }
    TrimSmtpEdits();
    if (!SmtpComplete(Fields()) &&
        !AskYesNo(
            sjis(u8"SMTP情報が入力されていませんが、このまま登録してもよろしいですか？。\r\n\r\n"
                 u8"SMTP情報が入力されていない場合は、監視イベント発生時にメールの送信を"
                 u8"行うことができません。"),
            sjis(u8"項目チェック"))) {
        ui->edtName->setFocus();
        return;
    }
    TrimEdit(ui->edtPathName);
    TrimEdit(ui->edtAliveDays);
    SettingsFields fields = Fields();
    const auto problem = CheckLogFolder(fields);
    SetEditText(ui->edtPathName, fields.path);
    if (problem) {
        FieldCheckFailed(problem->message, Control(problem->field));
        return;
    }
    done(SettingsChanged(Fields(), m_loaded) || m_extension != m_loadedExtension
             ? QDialog::Accepted
             : QDialog::Rejected);
}

void TfrmSetupEtc::btnCancelClick() {
    // The extension options are kept only with the settings: a cancel would drop their change
    // without a word.
    if (m_extension != m_loadedExtension &&
        !AskYesNo(sjis(u8"拡張(X)...で変更した内容は保存されません。よろしいですか？"),
                  sjis(u8"キャンセルの確認"))) {
        return;
    }
    done(QDialog::Rejected);
}

void TfrmSetupEtc::btnBrowseClick() {
    std::string folder = EditText(ui->edtPathName);
    if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (!platform::CurrentShell().BrowseForFolder(
            sjis(u8"Quorvikログの出力先フォルダを選択してください"), folder)) {
        return;
    }
    if (folder.empty() || folder.back() != '/') folder += '/';
    SetEditText(ui->edtPathName, folder);
}

bool TfrmSetupEtc::CheckSmtpWithMessages() {
    TrimSmtpEdits();
    if (auto problem = CheckSmtp(Fields())) {
        FieldCheckFailed(problem->message, Control(problem->field));
        return false;
    }
    return true;
}

void TfrmSetupEtc::btnTestClick() {
    // Clicked again while it runs (the button then reads 中止): the test stops.
    if (m_testing) {
        if (m_testClient) m_testClient->Abort();
        return;
    }
    if (m_send) {
        TestMail();
    } else {
        ConnectionTest();
    }
}

void TfrmSetupEtc::TestMail() {
    if (!CheckSmtpWithMessages()) return;
    Settings settings;
    ReadSettings(settings);
    std::string to = settings.MailAddr;
    do {
        if (!platform::CurrentShell().InputBox(TestCaption(),
                                               sjis(u8"テストメール送信先のメールアドレス"), to)) {
            return;
        }
    } while (to.empty());
    struct Running {
        TfrmSetupEtc* dialog;
        ~Running() { dialog->EndTest(); }
    } running{this};
    BeginTest(nullptr);  // the library's send cannot be stopped; its time-out bounds it
    char error[kBSendMailErrorSize] = {};
    const int result =
        CallMailLibrary(m_send, LibraryServerText(settings), BracketedAddress(to),
                        LibrarySenderText(settings), sjis(u8"Quorvik メール送信テスト"),
                        sjis(u8"Quorvikからのメール送信テストです。"), "", error);
    error[kBSendMailErrorSize - 1] = '\0';
    if (result != 0) {
        Tell(sjis(u8"メールの送信テストは正常に終了しました。\r\nテストメール送信先のメールアドレス"
                  u8"でメールを受信して、内容を確認してください。"),
             TestCaption(), platform::kMbIconInformation);
    } else {
        Tell(sjis(u8"メールの送信ができませんでした。\r\n以下のエラーが発生しました。\r\n\r\n") +
                 error,
             TestCaption(), platform::kMbIconExclamation);
    }
}

void TfrmSetupEtc::ConnectionTest() {
    Tell(sjis(u8"BSMTP.DLLが見つからないため、メール送信時の認証は利用できません。\r\n"
              u8"SMTPサーバーへの接続テストのみを行います。"),
         ConnectionCaption(), platform::kMbIconExclamation);
    std::unique_ptr<TNMSMTP> client;
    try {
        client = std::make_unique<TNMSMTP>();
    } catch (const ESockError& e) {
        Tell(sjis(u8"SMTPコンポーネント生成中にソケットエラーが発生しました。\r\n\r\n") + e.what(),
             ConnectionCaption(), platform::kMbIconExclamation);
        DrainSocketLibrary();
        return;
    } catch (const std::exception& e) {
        Tell(sjis(u8"SMTPコンポーネント生成中にシステムエラーが発生しました。\r\n\r\n") + e.what(),
             ConnectionCaption(), platform::kMbIconExclamation);
        DrainSocketLibrary();
        return;
    }
    if (CheckSmtpWithMessages()) {
        BeginTest(client.get());
        Settings settings;
        ReadSettings(settings);
        client->Host = settings.SMTPServer;
        client->Port = settings.SMTPPort;
        client->UserID = settings.MailAddr.substr(0, FindAtSign(settings.MailAddr));
        client->TimeOut = static_cast<std::uint32_t>(settings.TimeOut) * 1000;
        const std::string cannot = sjis(u8"SMTPサーバーに接続できませんでした。");
        const std::string followed = cannot + sjis(u8"\r\n以下のエラーが発生しました。\r\n\r\n");
        try {
            client->Connect();
            Tell(sjis(u8"SMTPサーバーの接続テストは正常に終了しました。"), ConnectionCaption(),
                 platform::kMbIconInformation);
        } catch (const std::exception& e) {
            switch (FaultOf(e)) {
                case MailFault::ConnectTimedOut:
                    Tell(cannot + sjis(u8"\r\n\r\nSTMPサーバー、ポート番号を確認してください。"),
                         ConnectionCaption(), platform::kMbIconExclamation);
                    break;
                case MailFault::HostUnknown:
                    Tell(cannot + sjis(u8"\r\n\r\nSTMPサーバーが無効です。"), ConnectionCaption(),
                         platform::kMbIconExclamation);
                    break;
                case MailFault::AlreadyConnected: break;
                case MailFault::AuthenticationFailed:
                    Tell(cannot + sjis(u8"\r\n\r\n送信者メールアドレスを確認してください。"),
                         ConnectionCaption(), platform::kMbIconExclamation);
                    break;
                default:
                    Tell(followed + e.what(), ConnectionCaption(), platform::kMbIconExclamation);
                    break;
            }
        } catch (...) {
            Tell(
                cannot + sjis(u8"\r\n\r\n内部エラーが発生しました。\r\nアプリケーションを再起動して"
                              u8"ください。"),
                ConnectionCaption(), platform::kMbIconError);
        }
        EndTest();
    }
    try {
        if (client->Connected()) client->Disconnect();
        client.reset();
    } catch (const ESockError& e) {
        Tell(sjis(u8"SMTPコンポーネント破棄中にソケットエラーが発生しました。\r\n\r\n") + e.what(),
             ConnectionCaption(), platform::kMbIconExclamation);
        DrainSocketLibrary();
    } catch (const std::exception& e) {
        Tell(sjis(u8"SMTPコンポーネント破棄中にシステムエラーが発生しました。\r\n\r\n") + e.what(),
             ConnectionCaption(), platform::kMbIconExclamation);
        DrainSocketLibrary();
    }
}

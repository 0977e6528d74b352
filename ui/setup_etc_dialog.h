#pragma once

#include <QDialog>
#include <memory>
#include <optional>
#include <string>

#include "config/settings.h"
#include "libs/bsmtp/bsmtp.h"

namespace Ui {
class TfrmSetupEtc;
}
class TfrmExtension;

// The settings dialog's fields as texts, the way its controls hold them (CP932).
struct SettingsFields {
    std::string interval, senderName, mailAddr, server, port, timeOut;
    int authType = 0;
    std::string userId, password;
    bool logEnabled = false;
    std::string path, aliveDays;

    bool operator==(const SettingsFields&) const = default;
};

// The fields of the dialog, in the order of its checks.
enum class SettingsField {
    Interval,
    Name,
    MailAddr,
    HostName,
    PortNum,
    TimeOut,
    UserID,
    Password,
    PathName,
    AliveDays
};

// A check that failed: the message and the field to go back to.
struct FieldProblem {
    SettingsField field;
    std::string message;
};

SettingsFields FieldsOf(const Settings& settings);
// The record the fields stand for; numeric texts that are empty or no number count as 0.
Settings SettingsOf(const SettingsFields& fields);

std::optional<FieldProblem> CheckInterval(const SettingsFields& fields);
// Whether the SMTP data is there: name, address, server and a port below 65536, and the user
// and password when a method is chosen.
bool SmtpComplete(const SettingsFields& fields);
std::optional<FieldProblem> CheckSmtp(const SettingsFields& fields);
// With logging on: a folder (which gets its trailing separator) and the days.
std::optional<FieldProblem> CheckLogFolder(SettingsFields& fields);
// Numbers compared as numbers, texts exactly.
bool SettingsChanged(const SettingsFields& now, const SettingsFields& loaded);

// "設定 - その他": the watch interval, the SMTP data and the program log, with a send test.
class TfrmSetupEtc : public QDialog {
    Q_OBJECT

public:
    explicit TfrmSetupEtc(QWidget* parent = nullptr);
    ~TfrmSetupEtc() override;

    // Fills the controls and keeps the values for change detection; send is the mail library's
    // entry point, or nullptr for the connection test.
    void ShowSettings(const Settings& settings, BSendMailFunction send);
    void ReadSettings(Settings& settings) const;
    // The options of the extension dialog, kept with the settings: what OK hands back counts as
    // a change too.
    void ShowExtension(const ExtensionSettings& extension);
    const ExtensionSettings& Extension() const { return m_extension; }
    TfrmExtension& ExtensionDialog() { return *m_extensionDialog; }

    void LockEntry();
    void UnlockEntry();

protected:
    void showEvent(QShowEvent* event) override;

private slots:
    void btnOkClick();
    void btnCancelClick();
    void btnTestClick();
    void btnBrowseClick();
    void btnExtensionClick();
    void cboAuthTypeClick();
    void cbxOutputLogFileClick();

private:
    SettingsFields Fields() const;
    void SetFields(const SettingsFields& fields);
    QWidget* Control(SettingsField field) const;
    // Trims the edits the SMTP checks read.
    void TrimSmtpEdits();
    bool CheckSmtpWithMessages();
    void TestMail();
    void ConnectionTest();

    std::unique_ptr<Ui::TfrmSetupEtc> ui;
    SettingsFields m_loaded;
    BSendMailFunction m_send = nullptr;
    TfrmExtension* m_extensionDialog;
    ExtensionSettings m_extension, m_loadedExtension;
};

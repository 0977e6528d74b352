#pragma once

#include <QDialog>
#include <memory>
#include <optional>
#include <string>

#include "config/settings_checks.h"
#include "notify/bsmtp_abi.h"

namespace Ui {
class TfrmSetupEtc;
}
class TfrmExtension;
class TNMSMTP;

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

    // While a test runs the dialog stays: its commit buttons wait, and closing it stops the
    // test instead (the connection test at once; the library's send within its time-out).
    void done(int result) override;

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
    void BeginTest(TNMSMTP* client);
    void EndTest();

    std::unique_ptr<Ui::TfrmSetupEtc> ui;
    SettingsFields m_loaded;
    BSendMailFunction m_send = nullptr;
    TfrmExtension* m_extensionDialog;
    ExtensionSettings m_extension, m_loadedExtension;
    bool m_entryLocked = false;       // a watch tick runs
    bool m_testing = false;           // a send or connection test runs
    TNMSMTP* m_testClient = nullptr;  // the connection test's client, which can be stopped
    QString m_testText;               // the test button's own text
};

#pragma once

#include <QDialog>
#include <optional>
#include <string>
#include <vector>

#include "config/settings_checks.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// "拡張設定": resume after restart, the mail spool, flood control, immediate checks, the journal
// and the syslog receiver, and the size of the logs those two write into.
class TfrmExtension : public QDialog {
    Q_OBJECT

public:
    explicit TfrmExtension(QWidget* parent = nullptr);

    void ShowExtension(const ExtensionSettings& settings);
    const ExtensionSettings& Extension() const { return m_settings; }

private slots:
    void btnOkClick();
    void OptionsToggled();

private:
    ExtensionFields Fields() const;
    QLineEdit* Control(ExtensionField field) const;
    QGroupBox* JournalGroup();
    QGroupBox* SyslogGroup();
    QGroupBox* LogSizeGroup();

    QCheckBox* cbxResume;
    QLabel* lblResumeLimit;
    QLineEdit* edtResumeLimit;
    QCheckBox* cbxSpool;
    QLabel* lblSpoolHours;
    QLineEdit* edtSpoolHours;
    QCheckBox* cbxFlood;
    QCheckBox* cbxImmediate;
    QLabel* lblFloodLimit;
    QLineEdit* edtFloodLimit;
    QCheckBox* cbxJournal;
    QLineEdit* edtJournalFolder;
    QRadioButton* rbJournalNow;
    QRadioButton* rbJournalHours;
    QLineEdit* edtJournalHours;
    QRadioButton* rbJournalAll;
    std::vector<QWidget*> m_journalControls;  // enabled with the option
    QLabel* lblLogSize;
    QLineEdit* edtLogSize;
    QCheckBox* cbxSyslog;
    QLineEdit* edtSyslogPort;
    QLineEdit* edtSyslogBind;
    QLineEdit* edtSyslogAllow;
    QLineEdit* edtSyslogLog;
    std::vector<QWidget*> m_syslogControls;  // enabled with the option
    QPushButton* btnOk;
    QPushButton* btnCancel;
    ExtensionSettings m_settings;
};

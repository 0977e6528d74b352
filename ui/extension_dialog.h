#pragma once

#include <QDialog>
#include <optional>
#include <string>

#include "config/settings_checks.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// "拡張設定": resume after restart, the mail spool and flood control.
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
    QPushButton* btnOk;
    QPushButton* btnCancel;
    ExtensionSettings m_settings;
};

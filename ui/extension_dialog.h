#pragma once

#include <QDialog>
#include <optional>
#include <string>

#include "config/settings.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The extension dialog's fields as its controls hold them.
struct ExtensionFields {
    bool resume = false;
    std::string resumeLimit;
    bool spool = false;
    std::string spoolHours;
    bool flood = false;
    std::string floodLimit;

    bool operator==(const ExtensionFields&) const = default;
};

enum class ExtensionField { ResumeLimit, SpoolHours, FloodLimit };

struct ExtensionProblem {
    ExtensionField field;
    std::string message;
};

ExtensionFields FieldsOf(const ExtensionSettings& settings);
// The settings the fields stand for; a number of an option that is off keeps its last value.
ExtensionSettings ExtensionOf(const ExtensionFields& fields, const ExtensionSettings& before);
// The numbers of the options that are on, in order: there, and in their ranges.
std::optional<ExtensionProblem> CheckExtension(const ExtensionFields& fields);

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
    QLabel* lblFloodLimit;
    QLineEdit* edtFloodLimit;
    QPushButton* btnOk;
    QPushButton* btnCancel;
    ExtensionSettings m_settings;
};

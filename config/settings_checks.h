#pragma once

#include <optional>
#include <string>

#include "config/settings.h"

// The checks and conversions of the settings dialogs' fields, as texts the way their controls
// hold them (CP932): what the dialogs show a message for, without a window.

// The decimal value of a numeric field's text; empty text or anything else counts as 0.
long FieldNumber(const std::string& text);

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

// The extension dialog's fields as its controls hold them.
// Where the first import of a journal begins.
enum class JournalStart { Now, Hours, All };

struct ExtensionFields {
    bool resume = false;
    std::string resumeLimit;
    bool spool = false;
    std::string spoolHours;
    bool flood = false;
    std::string floodLimit;
    bool immediate = false;
    bool journal = false;
    std::string journalFolder;
    JournalStart journalStart = JournalStart::Now;
    std::string journalHours;  // for JournalStart::Hours
    bool syslog = false;
    std::string syslogPort, syslogBind, syslogAllow, syslogLog;
    std::string logSize;  // MB, of the logs the journal and syslog write into

    bool operator==(const ExtensionFields&) const = default;
};

enum class ExtensionField {
    ResumeLimit,
    SpoolHours,
    FloodLimit,
    JournalFolder,
    JournalHours,
    SyslogPort,
    SyslogBind,
    SyslogAllow,
    SyslogLog,
    LogSize
};

struct ExtensionProblem {
    ExtensionField field;
    std::string message;
};

ExtensionFields FieldsOf(const ExtensionSettings& settings);
// The settings the fields stand for; a number of an option that is off keeps its last value.
ExtensionSettings ExtensionOf(const ExtensionFields& fields, const ExtensionSettings& before);
// The numbers of the options that are on, in order: there, and in their ranges.
std::optional<ExtensionProblem> CheckExtension(const ExtensionFields& fields);

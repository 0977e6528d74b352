#pragma once

#include <cstdint>
#include <string>

#include "platform/errors.h"

// The general settings and their profile file ETC.DAT, with the shared routines that go with
// it: the program directory, integer settings, list-view column widths.

struct Settings {
    std::uint16_t Interval = 10;  // minutes between watch ticks
    std::string SenderName;
    std::string MailAddr;
    std::string SMTPServer;
    std::uint16_t SMTPPort = 25;
    std::uint16_t TimeOut = 0;  // seconds
    std::uint8_t AuthType = 0;  // 0 none, 1 LOGIN, 2 CRAM-MD5, 3 PLAIN
    std::string UserID;
    std::string Password;    // in clear, in memory only
    bool Enable = false;     // program log written to files
    std::string Path;        // log folder, ending in a separator
    std::int32_t Alive = 0;  // days log files are kept; 0 keeps them for ever

    bool operator==(const Settings&) const = default;
};

// The options beyond the general settings, in ETC.DAT's [Extension] section; all off by default,
// so that the program behaves as without them until a user turns them on.
struct ExtensionSettings {
    bool Resume = false;              // reports what was written while the program was down
    std::int32_t ResumeLimit = 1000;  // records per log caught up at start
    bool Spool = false;               // keeps undelivered report mail and tries it again
    std::int32_t SpoolHours = 24;     // how long a kept mail is tried
    bool Flood = false;               // holds back notifications beyond the limit
    std::int32_t FloodLimit = 10;     // notifications per watch entry and hour
    bool Immediate = false;           // checks a log the moment its file changes
    bool Journal = false;             // takes the systemd journal's entries into the machine's logs
    std::string JournalFolder;        // empty: the local journal; else a folder of journal files
    std::int32_t JournalHistory = 0;  // hours of entries taken at the first import: 0 from now on
    bool JournalAll = false;          // the first import takes every entry there is
    bool Syslog = false;              // receives syslog messages into a log of the machine
    std::int32_t SyslogPort = 5514;   // UDP and TCP; above 1023, so that no privilege is needed
    std::string SyslogBind = "127.0.0.1";
    std::string SyslogAllow;  // senders: addresses and networks; empty: the bind address's own
    std::string SyslogLog = "Syslog";
    // The size in MB the logs the sources write into may reach (they only grow to it): room for
    // a burst to wait in until the watch has read it.
    std::int32_t IngestLogSize = 32;

    bool operator==(const ExtensionSettings&) const = default;
};

// The ranges the extension dialog accepts; values read from the file are clamped to them.
constexpr std::int32_t kResumeLimitMax = 100000;
constexpr std::int32_t kSpoolHoursMax = 720;
constexpr std::int32_t kFloodLimitMax = 1000;
constexpr std::int32_t kJournalHistoryMax = 87600;  // ten years of hours
constexpr std::int32_t kIngestLogSizeMax = 1024;    // MB

void LoadExtensionSettings(ExtensionSettings& settings);
bool SaveExtensionSettings(const ExtensionSettings& settings);

// Where the settings and lists are, and where the logs, resume state, outbox and machine are:
// the program's folder for a portable copy, else the user's own (platform::UserFolders).
std::string ConfigDirectory();
std::string DataDirectory();

// ConfigDirectory() joined with "ETC.DAT".
std::string SettingsFilePath();

// Reads the EventLog, SMTP and Log sections into the record, with the defaults for missing keys.
void LoadSettings(Settings& settings);

// Writes every key of those sections from the record; false when a key did not reach the file.
// A new ETC.DAT is readable by its owner only: it holds the SMTP password.
bool SaveSettings(const Settings& settings);

// Writes an integer key ("%ld"); false when it did not reach the file.
bool WriteIntSetting(const std::string& section, const std::string& key, long value);

// Reads an integer key, the default when it is missing.
std::int32_t ReadIntSetting(const std::string& section, const std::string& key,
                            std::int32_t defaultValue);

// The stored form of a password: RC4 under the MD5 digest of the fixed pass phrase, in
// lowercase hexadecimal; and back.
std::string EncipherPassword(const std::string& password);
std::string DecipherPassword(const std::string& stored);

// A list view as the column-width routines see it.
class ColumnWidthView {
public:
    virtual ~ColumnWidthView() = default;
    virtual int ColumnCount() const = 0;
    virtual int ColumnWidth(int column) const = 0;
    virtual void SetColumnWidth(int column, int width) = 0;
    // A column no width was saved for: its design width, or one its contents fit in.
    virtual void DefaultColumn(int column) { SetColumnWidth(column, 100); }
    // False while the width says nothing of the column's contents (fitted to its header alone,
    // the list still empty): such a width is not kept.
    virtual bool WidthKnown(int /*column*/) const { return true; }
};

// Column i's width under "COL%02d" of i in the section; a column without one gets its default.
// A width that is not known is not saved, so the key stays missing.
void SaveColumnWidths(const std::string& section, const ColumnWidthView& view);
void LoadColumnWidths(const std::string& section, ColumnWidthView& view);

#include "config/settings.h"

#include <climits>
#include <cstdint>
#include <cstdio>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/user_folders.h"

namespace {

constexpr size_t kTextBuffer = 1024;
constexpr char kPassPhrase[] = "BKMorvant";

std::string ReadText(const char* section, const char* key, const std::string& defaultValue) {
    return platform::GetPrivateProfileString(section, key, defaultValue, kTextBuffer,
                                             SettingsFilePath());
}

std::uint32_t ReadInt(const char* section, const char* key, std::int32_t defaultValue) {
    return platform::GetPrivateProfileInt(section, key, defaultValue, SettingsFilePath());
}

// ETC.DAT holds the SMTP password: a new file is made readable by its owner only (the writes
// keep the mode of an existing file).
bool WriteProfile(const std::string& section, const std::string& key, const std::string& value) {
    const std::string path = SettingsFilePath();
    if (!platform::FileExists(path)) platform::CreatePrivateFile(path);
    return platform::WritePrivateProfileString(section, key, value, path);
}

std::string Decimal(long value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%ld", value);
    return buffer;
}

std::string PasswordKey() {
    platform::Md5Digest digest = platform::Md5(kPassPhrase);
    return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

}  // namespace

std::string ConfigDirectory() { return platform::UserFolders().config; }

std::string DataDirectory() { return platform::UserFolders().data; }

std::string SettingsFilePath() { return ConfigDirectory() + "ETC.DAT"; }

std::string EncipherPassword(const std::string& password) {
    return platform::ToHex(platform::Rc4(PasswordKey(), password));
}

std::string DecipherPassword(const std::string& stored) {
    std::string bytes;
    bytes.reserve(stored.size() / 2);
    for (size_t i = 0; i + 1 < stored.size(); i += 2) {
        // The leading hexadecimal digits of the pair count; a pair without any gives 0.
        int value = 0;
        int high = platform::HexDigitValue(stored[i]);
        if (high >= 0) {
            int low = platform::HexDigitValue(stored[i + 1]);
            value = low >= 0 ? high * 16 + low : high;
        }
        bytes.push_back(static_cast<char>(value));
    }
    std::string password = platform::Rc4(PasswordKey(), bytes);
    size_t zero = password.find('\0');
    if (zero != std::string::npos) password.resize(zero);
    return password;
}

void LoadSettings(Settings& s) {
    s.Interval = static_cast<std::uint16_t>(ReadInt("EventLog", "Interval", 10));
    s.SenderName = ReadText("SMTP", "SenderName", "");
    s.MailAddr = ReadText("SMTP", "MailAddr", "");
    s.SMTPServer = ReadText("SMTP", "SMTPServer", "");
    s.SMTPPort = static_cast<std::uint16_t>(ReadInt("SMTP", "SMTPPort", 25));
    s.TimeOut = static_cast<std::uint16_t>(ReadInt("SMTP", "TimeOut", 15));
    s.AuthType = static_cast<std::uint8_t>(ReadInt("SMTP", "AuthType", 0));
    s.UserID = ReadText("SMTP", "UserID", "");
    s.Password = DecipherPassword(ReadText("SMTP", "Password", ""));
    std::string enable = ReadText("Log", "Enable", "True");
    s.Enable = enable.size() == 4 && (enable[0] | 0x20) == 't' && (enable[1] | 0x20) == 'r' &&
               (enable[2] | 0x20) == 'u' && (enable[3] | 0x20) == 'e';
    s.Path = ReadText("Log", "Path", DataDirectory());
    s.Alive = static_cast<std::int32_t>(ReadInt("Log", "Alive", 7));
}

bool SaveSettings(const Settings& s) {
    // One replacement of the file: a kill never leaves new keys beside old ones.
    const std::string path = SettingsFilePath();
    if (!platform::FileExists(path)) platform::CreatePrivateFile(path);
    return platform::WritePrivateProfileStrings({{"EventLog", "Interval", Decimal(s.Interval)},
                                                 {"SMTP", "SenderName", s.SenderName},
                                                 {"SMTP", "MailAddr", s.MailAddr},
                                                 {"SMTP", "SMTPServer", s.SMTPServer},
                                                 {"SMTP", "SMTPPort", Decimal(s.SMTPPort)},
                                                 {"SMTP", "TimeOut", Decimal(s.TimeOut)},
                                                 {"SMTP", "AuthType", Decimal(s.AuthType)},
                                                 {"SMTP", "UserID", s.UserID},
                                                 {"SMTP", "Password", EncipherPassword(s.Password)},
                                                 {"Log", "Enable", s.Enable ? "True" : "False"},
                                                 {"Log", "Path", s.Path},
                                                 {"Log", "Alive", Decimal(s.Alive)}},
                                                path);
}

namespace {

std::int32_t Clamped(std::int32_t value, std::int32_t low, std::int32_t high) {
    return value < low ? low : value > high ? high : value;
}

}  // namespace

void LoadExtensionSettings(ExtensionSettings& e) {
    const ExtensionSettings defaults;
    e.Resume = ReadIntSetting("Extension", "Resume", 0) != 0;
    e.ResumeLimit = Clamped(ReadIntSetting("Extension", "ResumeLimit", defaults.ResumeLimit), 1,
                            kResumeLimitMax);
    e.Spool = ReadIntSetting("Extension", "Spool", 0) != 0;
    e.SpoolHours =
        Clamped(ReadIntSetting("Extension", "SpoolHours", defaults.SpoolHours), 1, kSpoolHoursMax);
    e.Flood = ReadIntSetting("Extension", "Flood", 0) != 0;
    e.FloodLimit =
        Clamped(ReadIntSetting("Extension", "FloodLimit", defaults.FloodLimit), 1, kFloodLimitMax);
    e.Immediate = ReadIntSetting("Extension", "Immediate", 0) != 0;
    e.Journal = ReadIntSetting("Extension", "Journal", 0) != 0;
    e.JournalFolder = ReadText("Extension", "JournalFolder", "");
    e.JournalHistory =
        Clamped(ReadIntSetting("Extension", "JournalHistory", defaults.JournalHistory), 0,
                kJournalHistoryMax);
    e.JournalAll = ReadIntSetting("Extension", "JournalAll", 0) != 0;
    e.Syslog = ReadIntSetting("Extension", "Syslog", 0) != 0;
    e.SyslogPort =
        Clamped(ReadIntSetting("Extension", "SyslogPort", defaults.SyslogPort), 1, 65535);
    e.SyslogBind = ReadText("Extension", "SyslogBind", defaults.SyslogBind);
    e.SyslogAllow = ReadText("Extension", "SyslogAllow", "");
    e.SyslogLog = ReadText("Extension", "SyslogLog", defaults.SyslogLog);
    e.IngestLogSize = Clamped(ReadIntSetting("Extension", "IngestLogSize", defaults.IngestLogSize),
                              1, kIngestLogSizeMax);
    if (e.SyslogLog.empty()) e.SyslogLog = defaults.SyslogLog;
}

bool SaveExtensionSettings(const ExtensionSettings& e) {
    const std::string path = SettingsFilePath();
    if (!platform::FileExists(path)) platform::CreatePrivateFile(path);
    return platform::WritePrivateProfileStrings(
        {{"Extension", "Resume", Decimal(e.Resume ? 1 : 0)},
         {"Extension", "ResumeLimit", Decimal(e.ResumeLimit)},
         {"Extension", "Spool", Decimal(e.Spool ? 1 : 0)},
         {"Extension", "SpoolHours", Decimal(e.SpoolHours)},
         {"Extension", "Flood", Decimal(e.Flood ? 1 : 0)},
         {"Extension", "FloodLimit", Decimal(e.FloodLimit)},
         {"Extension", "Immediate", Decimal(e.Immediate ? 1 : 0)},
         {"Extension", "Journal", Decimal(e.Journal ? 1 : 0)},
         {"Extension", "JournalFolder", e.JournalFolder},
         {"Extension", "JournalHistory", Decimal(e.JournalHistory)},
         {"Extension", "JournalAll", Decimal(e.JournalAll ? 1 : 0)},
         {"Extension", "Syslog", Decimal(e.Syslog ? 1 : 0)},
         {"Extension", "SyslogPort", Decimal(e.SyslogPort)},
         {"Extension", "SyslogBind", e.SyslogBind},
         {"Extension", "SyslogAllow", e.SyslogAllow},
         {"Extension", "SyslogLog", e.SyslogLog},
         {"Extension", "IngestLogSize", Decimal(e.IngestLogSize)}},
        path);
}

bool WriteIntSetting(const std::string& section, const std::string& key, long value) {
    return WriteProfile(section, key, Decimal(value));
}

std::int32_t ReadIntSetting(const std::string& section, const std::string& key,
                            std::int32_t defaultValue) {
    return static_cast<std::int32_t>(
        platform::GetPrivateProfileInt(section, key, defaultValue, SettingsFilePath()));
}

void SaveColumnWidths(const std::string& section, const ColumnWidthView& view) {
    char key[16];
    for (int i = 0; i < view.ColumnCount(); ++i) {
        if (!view.WidthKnown(i)) continue;
        std::snprintf(key, sizeof key, "COL%02d", i);
        WriteIntSetting(section, key, view.ColumnWidth(i));
    }
}

void LoadColumnWidths(const std::string& section, ColumnWidthView& view) {
    char key[16];
    for (int i = 0; i < view.ColumnCount(); ++i) {
        std::snprintf(key, sizeof key, "COL%02d", i);
        constexpr std::int32_t kMissing = INT32_MIN;
        const std::int32_t width = ReadIntSetting(section, key, kMissing);
        if (width == kMissing) {
            view.DefaultColumn(i);
        } else {
            view.SetColumnWidth(i, width);
        }
    }
}

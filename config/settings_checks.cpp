#include "config/settings_checks.h"

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/receiver.h"

namespace {

std::string Decimal(long value) { return std::to_string(value); }

std::optional<ExtensionProblem> CheckNumber(bool on, const std::string& text, ExtensionField field,
                                            const char8_t* name, long high) {
    if (!on) return std::nullopt;
    if (text.empty()) {
        return ExtensionProblem{field, sjis(name) + sjis(u8"が入力されていません。")};
    }
    const long value = FieldNumber(text);
    if (value < 1 || value > high) {
        return ExtensionProblem{field, sjis(name) +
                                           sjis(u8"が範囲外です。\r\n\r\n設定できる範囲は、1～") +
                                           std::to_string(high) + sjis(u8"です。")};
    }
    return std::nullopt;
}

std::optional<ExtensionProblem> CheckSyslog(const ExtensionFields& f) {
    if (!f.syslog) return std::nullopt;
    if (auto p = CheckNumber(true, f.syslogPort, ExtensionField::SyslogPort, u8"受信するポート番号",
                             65535)) {
        return p;
    }
    if (!platform::IsNumericAddress(f.syslogBind)) {
        return ExtensionProblem{ExtensionField::SyslogBind,
                                sjis(u8"受信するアドレスは、127.0.0.1 や :: のような数字のアドレス"
                                     u8"で入力してください。")};
    }
    std::string bad;
    platform::AddressAllowed("127.0.0.1", f.syslogAllow, &bad);
    if (!bad.empty()) {
        return ExtensionProblem{ExtensionField::SyslogAllow,
                                sjis(u8"許可する送信元「") + bad +
                                    sjis(u8"」は、アドレスかネットワーク(10.0.0.0/8 など)ではあ"
                                         u8"りません。")};
    }
    if (f.syslogLog.empty()) {
        return ExtensionProblem{ExtensionField::SyslogLog,
                                sjis(u8"記録するログの名前が入力されていません。")};
    }
    if (f.syslogLog.find('\\') != std::string::npos || f.syslogLog.size() > 64) {
        return ExtensionProblem{ExtensionField::SyslogLog,
                                sjis(u8"記録するログの名前が正しくありません。")};
    }
    return std::nullopt;
}

}  // namespace

long FieldNumber(const std::string& text) {
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
        if (value > 0x7FFFFFFF) return 0x7FFFFFFF;
    }
    return value;
}

SettingsFields FieldsOf(const Settings& s) {
    SettingsFields f;
    f.interval = Decimal(s.Interval);
    f.senderName = s.SenderName;
    f.mailAddr = s.MailAddr;
    f.server = s.SMTPServer;
    f.port = Decimal(s.SMTPPort);
    f.timeOut = Decimal(s.TimeOut);
    f.authType = s.AuthType <= 3 ? s.AuthType : 0;
    f.userId = s.UserID;
    f.password = s.Password;
    f.logEnabled = s.Enable;
    f.path = s.Path;
    f.aliveDays = Decimal(s.Alive);
    return f;
}

Settings SettingsOf(const SettingsFields& f) {
    Settings s;
    s.Interval = static_cast<std::uint16_t>(FieldNumber(f.interval));
    s.SenderName = f.senderName;
    s.MailAddr = f.mailAddr;
    s.SMTPServer = f.server;
    s.SMTPPort = static_cast<std::uint16_t>(FieldNumber(f.port));
    s.TimeOut = static_cast<std::uint16_t>(FieldNumber(f.timeOut));
    s.AuthType = static_cast<std::uint8_t>(f.authType);
    s.UserID = f.userId;
    s.Password = f.password;
    s.Enable = f.logEnabled;
    s.Path = f.path;
    s.Alive = static_cast<std::int32_t>(FieldNumber(f.aliveDays));
    return s;
}

std::optional<FieldProblem> CheckInterval(const SettingsFields& f) {
    if (f.interval.empty()) {
        return FieldProblem{SettingsField::Interval, sjis(u8"監視間隔が入力されていません。")};
    }
    if (FieldNumber(f.interval) == 0) {
        return FieldProblem{SettingsField::Interval,
                            sjis(u8"監視間隔が範囲外です。\r\n\r\n設定できる範囲は、1～99です。")};
    }
    return std::nullopt;
}

bool SmtpComplete(const SettingsFields& f) {
    if (f.senderName.empty() || f.mailAddr.empty() || f.server.empty() || f.port.empty()) {
        return false;
    }
    if (FieldNumber(f.port) >= 65536) return false;
    return f.authType == 0 || (!f.userId.empty() && !f.password.empty());
}

std::optional<FieldProblem> CheckSmtp(const SettingsFields& f) {
    using F = SettingsField;
    if (f.senderName.empty())
        return FieldProblem{F::Name, sjis(u8"送信者名が入力されていません。")};
    if (f.mailAddr.empty()) {
        return FieldProblem{F::MailAddr, sjis(u8"送信者メールアドレスが入力されていません。")};
    }
    if (f.server.empty()) {
        return FieldProblem{F::HostName, sjis(u8"SMTPサーバーが入力されていません。")};
    }
    if (f.port.empty()) {
        return FieldProblem{F::PortNum, sjis(u8"SMTPポート番号が入力されていません。")};
    }
    if (FieldNumber(f.port) >= 65536) {
        return FieldProblem{
            F::PortNum,
            sjis(u8"SMTPポート番号が範囲外です。\r\n\r\n設定できる範囲は、0～65535です。")};
    }
    if (f.timeOut.empty()) {
        return FieldProblem{F::TimeOut, sjis(u8"タイムアウトが入力されていません。")};
    }
    if (f.authType != 0 && f.userId.empty()) {
        return FieldProblem{F::UserID, sjis(u8"ユーザーIDが入力されていません。")};
    }
    if (f.authType != 0 && f.password.empty()) {
        return FieldProblem{F::Password, sjis(u8"パスワードが入力されていません。")};
    }
    return std::nullopt;
}

std::optional<FieldProblem> CheckLogFolder(SettingsFields& f) {
    if (!f.logEnabled) return std::nullopt;
    if (f.path.empty()) {
        return FieldProblem{SettingsField::PathName,
                            sjis(u8"Quorvikログの出力先フォルダが入力されていません。")};
    }
    if (f.path.back() != '/') f.path += '/';
    if (f.aliveDays.empty()) {
        return FieldProblem{SettingsField::AliveDays,
                            sjis(u8"Quorvikログの自動削除が入力されていません。")};
    }
    return std::nullopt;
}

bool SettingsChanged(const SettingsFields& a, const SettingsFields& b) {
    return FieldNumber(a.interval) != FieldNumber(b.interval) ||
           FieldNumber(a.port) != FieldNumber(b.port) ||
           FieldNumber(a.timeOut) != FieldNumber(b.timeOut) ||
           FieldNumber(a.aliveDays) != FieldNumber(b.aliveDays) || a.authType != b.authType ||
           a.logEnabled != b.logEnabled || a.senderName != b.senderName ||
           a.mailAddr != b.mailAddr || a.server != b.server || a.userId != b.userId ||
           a.password != b.password || a.path != b.path;
}

ExtensionFields FieldsOf(const ExtensionSettings& s) {
    ExtensionFields f;
    f.resume = s.Resume;
    f.resumeLimit = std::to_string(s.ResumeLimit);
    f.spool = s.Spool;
    f.spoolHours = std::to_string(s.SpoolHours);
    f.flood = s.Flood;
    f.floodLimit = std::to_string(s.FloodLimit);
    f.immediate = s.Immediate;
    f.journal = s.Journal;
    f.journalFolder = s.JournalFolder;
    f.journalStart = s.JournalAll           ? JournalStart::All
                     : s.JournalHistory > 0 ? JournalStart::Hours
                                            : JournalStart::Now;
    // A day, offered when no hours were given yet.
    f.journalHours = std::to_string(s.JournalHistory > 0 ? s.JournalHistory : 24);
    f.logSize = std::to_string(s.IngestLogSize);
    f.syslog = s.Syslog;
    f.syslogPort = std::to_string(s.SyslogPort);
    f.syslogBind = s.SyslogBind;
    f.syslogAllow = s.SyslogAllow;
    f.syslogLog = s.SyslogLog;
    return f;
}

ExtensionSettings ExtensionOf(const ExtensionFields& f, const ExtensionSettings& before) {
    ExtensionSettings s = before;
    s.Resume = f.resume;
    s.Spool = f.spool;
    s.Flood = f.flood;
    s.Immediate = f.immediate;
    if (f.resume) s.ResumeLimit = static_cast<std::int32_t>(FieldNumber(f.resumeLimit));
    if (f.spool) s.SpoolHours = static_cast<std::int32_t>(FieldNumber(f.spoolHours));
    if (f.flood) s.FloodLimit = static_cast<std::int32_t>(FieldNumber(f.floodLimit));
    s.Journal = f.journal;
    if (f.journal) {
        s.JournalFolder = f.journalFolder;
        s.JournalAll = f.journalStart == JournalStart::All;
        if (f.journalStart == JournalStart::Now) s.JournalHistory = 0;
        if (f.journalStart == JournalStart::Hours) {
            s.JournalHistory = static_cast<std::int32_t>(FieldNumber(f.journalHours));
        }
    }
    if (f.journal || f.syslog) s.IngestLogSize = static_cast<std::int32_t>(FieldNumber(f.logSize));
    s.Syslog = f.syslog;
    if (f.syslog) {
        s.SyslogPort = static_cast<std::int32_t>(FieldNumber(f.syslogPort));
        s.SyslogBind = f.syslogBind;
        s.SyslogAllow = f.syslogAllow;
        s.SyslogLog = f.syslogLog;
    }
    return s;
}

std::optional<ExtensionProblem> CheckExtension(const ExtensionFields& f) {
    if (auto p = CheckNumber(f.resume, f.resumeLimit, ExtensionField::ResumeLimit,
                             u8"さかのぼるレコード数", kResumeLimitMax)) {
        return p;
    }
    if (auto p = CheckNumber(f.spool, f.spoolHours, ExtensionField::SpoolHours, u8"再送する時間",
                             kSpoolHoursMax)) {
        return p;
    }
    if (auto p = CheckNumber(f.flood, f.floodLimit, ExtensionField::FloodLimit,
                             u8"1時間あたりの通知数", kFloodLimitMax)) {
        return p;
    }
    if (f.journal && !f.journalFolder.empty() && !platform::DirectoryExists(f.journalFolder)) {
        return ExtensionProblem{ExtensionField::JournalFolder,
                                sjis(u8"ジャーナルのフォルダが見つかりません。")};
    }
    if (auto p =
            CheckNumber(f.journal && f.journalStart == JournalStart::Hours, f.journalHours,
                        ExtensionField::JournalHours, u8"さかのぼる時間", kJournalHistoryMax)) {
        return p;
    }
    if (auto p = CheckSyslog(f)) return p;
    if (auto p = CheckNumber(f.journal || f.syslog, f.logSize, ExtensionField::LogSize,
                             u8"ログの最大サイズ", kIngestLogSizeMax)) {
        return p;
    }
    return std::nullopt;
}

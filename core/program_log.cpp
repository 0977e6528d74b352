#include "core/program_log.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "config/settings.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/machine/eventlog_writer.h"

namespace {

ProgramLog* g_programLog = nullptr;

std::string LogFileName(const platform::SystemTime& date) {
    char name[32];
    std::snprintf(name, sizeof name, "QV%02d%02d%02d.LOG", date.year % 100, date.month, date.day);
    return name;
}

// The date a log file's name stands for: "QV", six digits yymmdd, ".LOG" (letters in any case),
// the year taken in the century nearest to the reference date. False for any other name.
bool LogFileDate(const std::string& name, const platform::SystemTime& reference, int& date) {
    if (name.size() != 12 || !platform::StartsWithAsciiNoCase(name, "QV") ||
        !platform::EqualsAsciiNoCase(std::string_view(name).substr(8), ".LOG")) {
        return false;
    }
    int digits[6];
    for (int i = 0; i < 6; ++i) {
        const char c = name[2 + i];
        if (c < '0' || c > '9') return false;
        digits[i] = c - '0';
    }
    const int yy = digits[0] * 10 + digits[1];
    const int month = digits[2] * 10 + digits[3];
    const int day = digits[4] * 10 + digits[5];
    if (month < 1 || month > 12 || day < 1 || day > 31) return false;
    int year = reference.year - reference.year % 100 + yy;
    if (year > reference.year + 50) year -= 100;
    if (year <= reference.year - 50) year += 100;
    date = year * 10000 + month * 100 + day;
    return true;
}

int DateNumber(const platform::SystemTime& t) { return t.year * 10000 + t.month * 100 + t.day; }

}  // namespace

const std::string& LevelName(int level) {
    static const std::string kEmpty;
    switch (level) {
        case kLogSuccess: return sjis(u8"成功");
        case kLogInformation: return sjis(u8"情報");
        case kLogWarning: return sjis(u8"警告");
        case kLogError: return sjis(u8"エラー");
        case kLogDebug: return sjis(u8"Debug");
        default: return kEmpty;
    }
}

const std::string& LevelMark(int level) {
    static const std::string kEmpty;
    switch (level) {
        case kLogSuccess: return sjis(u8"\u3000");
        case kLogInformation: return sjis(u8"ｉ");
        case kLogWarning: return sjis(u8"△");
        case kLogError: return sjis(u8"×");
        case kLogDebug: return sjis(u8"Ｄ");
        default: return kEmpty;
    }
}

std::string FormatLogTime(const platform::SystemTime& t) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return buffer;
}

ProgramLog::ProgramLog(const Settings& settings, LogSink* sink)
    : m_settings(settings), m_sink(sink) {}

ProgramLog::~ProgramLog() {
    if (g_programLog == this) g_programLog = nullptr;
}

std::string ProgramLog::LogFolder() const {
    // The settings dialog keeps the separator at the end; a hand-edited file may not.
    std::string folder = m_settings.Path;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

std::string ProgramLog::LogFilePath() const { return LogFolder() + LogFileName(m_fileDate); }

void ProgramLog::SetSink(LogSink* sink) {
    std::lock_guard lock(m_mutex);
    m_sink = sink;
}

void ProgramLog::AddLogLine(int level, const platform::SystemTime& time, const std::string& text) {
    std::lock_guard lock(m_mutex);
    if (m_sink) m_sink->AddLogLine(level, time, text);
}

void ProgramLog::LogMessage(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogText(level, platform::StringPrintfV(format, args));
    va_end(args);
}

void ProgramLog::LogDebug(const char* format, ...) {
    if (!m_debug) return;
    va_list args;
    va_start(args, format);
    LogText(kLogDebug, platform::StringPrintfV(format, args));
    va_end(args);
}

void ProgramLog::LogText(int level, const std::string& raw) {
    // One line each, whatever a server's reply or a file name put in it: a line break or
    // another control character could otherwise forge lines of its own.
    std::string text = raw;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            text.erase(i + 1, 1);
        }
        if (c < 0x20 || c == 0x7F) text[i] = ' ';
    }
    std::lock_guard lock(m_mutex);
    platform::SystemTime now = platform::GetLocalTime();
    AddLogLine(level, now, text);

    if (!now.SameDate(m_fileDate)) {
        CloseLogFile();
        m_fileDate = now;
        if (m_settings.Enable && !OpenLogFile()) {
            AddLogLine(kLogError, now,
                       sjis(u8"ログファイルのオープンに失敗しました。ログは書き込まれません。"));
        }
    }
    if (!m_settings.Enable) return;

    if (m_file.IsOpen()) {
        char head[64];
        std::snprintf(head, sizeof head, "%s%-6s ", LevelMark(level).c_str(),
                      LevelName(level).c_str());
        std::string line = head + FormatLogTime(now) + " " + text + "\r\n";
        // One write per line, straight to the file: nothing waits in a buffer of ours.
        size_t written = 0;
        if (!m_file.Write(line.data(), line.size(), &written) || written != line.size()) {
            AddLogLine(kLogError, now, sjis(u8"ログファイルの書き込みに失敗しました。"));
        }
    }
    // After the line, so that the purge's own lines follow it in the file as in the list.
    PurgeOldLogFiles();
}

bool ProgramLog::OpenLogFile() {
    std::lock_guard lock(m_mutex);
    m_fileDate = platform::GetLocalTime();
    CloseLogFile();
    std::string folder = LogFolder();
    if (!platform::DirectoryExists(folder) && !platform::ForceDirectories(folder)) return false;
    using platform::File;
    // Never through a link another user planted in a shared folder, never into a file not ours.
    if (!m_file.Open(LogFilePath(), File::Access::Write, File::Disposition::OwnFile,
                     File::Share::Read)) {
        return false;
    }
    if (!m_file.SeekToEnd()) {
        m_file.Close();
        return false;
    }
    return true;
}

void ProgramLog::CloseLogFile() {
    std::lock_guard lock(m_mutex);
    m_file.Close();
}

void ProgramLog::StartLogFile() {
    std::lock_guard lock(m_mutex);
    if (!m_settings.Enable) {
        AddLogLine(kLogWarning, platform::GetLocalTime(),
                   sjis(u8"ログファイルの書き込みは行われません。"));
    } else if (OpenLogFile()) {
        LogMessage(kLogInformation, "%s", sjis(u8"ログファイルの書き込みを開始しました。").c_str());
    } else {
        AddLogLine(kLogError, platform::GetLocalTime(),
                   sjis(u8"ログファイルのオープンに失敗しました。ログは書き込まれません。"));
    }
}

void ProgramLog::PurgeOldLogFiles() {
    std::lock_guard lock(m_mutex);
    // The purge logs through LogMessage, which calls the purge again.
    if (m_purging) return;
    // A scan of the folder after every line would cost more than the line: once a day, again
    // when the folder or the age changes, and at the next line after a file that would not go.
    const std::string purgeKey = std::to_string(DateNumber(m_fileDate)) + "|" + LogFolder() + "|" +
                                 std::to_string(m_settings.Alive);
    if (purgeKey == m_purgedFor) return;
    m_purgedFor = purgeKey;
    m_purging = true;
    if (m_settings.Alive > 0) {
        const int current = DateNumber(m_fileDate);
        const int cutOff = DateNumber(platform::AddDays(m_fileDate, -m_settings.Alive));
        const std::string folder = LogFolder();
        std::vector<platform::FindData> found;
        platform::FindFiles(folder + "QV*.LOG", found);
        for (const platform::FindData& file : found) {
            // Only the program's own files, by the date in their names; never today's.
            int date = 0;
            if (!LogFileDate(file.name, m_fileDate, date) || date >= cutOff || date == current) {
                continue;
            }
            if (platform::DeleteFile(folder + file.name)) {
                LogMessage(kLogInformation, sjis(u8"ログファイル(%s)を削除しました。").c_str(),
                           file.name.c_str());
            } else {
                m_purgedFor.clear();
                LogMessage(kLogError, sjis(u8"ログファイル(%s)の削除に失敗しました。").c_str(),
                           file.name.c_str());
            }
        }
    }
    m_purging = false;
}

void SetProgramLog(ProgramLog* log) { g_programLog = log; }

ProgramLog* CurrentProgramLog() { return g_programLog; }

bool LogDebugEnabled() { return g_programLog && g_programLog->DebugMode(); }

void LogMessage(int level, const char* format, ...) {
    if (!g_programLog) return;
    va_list args;
    va_start(args, format);
    g_programLog->LogText(level, platform::StringPrintfV(format, args));
    va_end(args);
}

void LogDebug(const char* format, ...) {
    if (!g_programLog || !g_programLog->DebugMode()) return;
    va_list args;
    va_start(args, format);
    g_programLog->LogText(kLogDebug, platform::StringPrintfV(format, args));
    va_end(args);
}

bool MendBrokenLog(const std::string& logName) {
    platform::DWORD kept = 0;
    if (!platform::RepairEventLog(logName, kept)) {
        platform::SetLastError(platform::kErrorEventLogFileCorrupt);
        return false;
    }
    LogMessage(
        kLogWarning,
        sjis(u8"%sイベントログは書き込みの途中で終わっていたため修復しました(レコード%u件)。")
            .c_str(),
        logName.c_str(), static_cast<unsigned>(kept));
    return true;
}

#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/files.h"

struct Settings;

// Levels of the program log.
enum LogLevel : int {
    kLogSuccess = 0,
    kLogInformation = 1,
    kLogWarning = 2,
    kLogError = 3,
    kLogDebug = 4,
};

// "成功", "情報", "警告", "エラー", "Debug"; empty outside 0-4.
const std::string& LevelName(int level);
// The mark that starts a file line; empty outside 0-4.
const std::string& LevelMark(int level);

// "yyyy/mm/dd hh:mm:ss".
std::string FormatLogTime(const platform::SystemTime& time);

// Where log lines are shown (the main window's list view).
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void AddLogLine(int level, const platform::SystemTime& time,
                            const std::string& text) = 0;
};

// The program's own log: every line to the sink and, while the log switch is on, to the daily
// file "QVyymmdd.LOG" in the log folder, whose old files it deletes after the retention days.
// Any thread may log: a line goes to the file and to the sink whole, in one order for both.
class ProgramLog {
public:
    // The settings are read at each line, so changes take effect at once; a settings record
    // that another thread changes is changed while holding Lock().
    ProgramLog(const Settings& settings, LogSink* sink);
    ~ProgramLog();
    ProgramLog(const ProgramLog&) = delete;
    ProgramLog& operator=(const ProgramLog&) = delete;

    void LogMessage(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void LogDebug(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // LogMessage with a text already made: no conversions are applied to it.
    void LogText(int level, const std::string& text);

    void AddLogLine(int level, const platform::SystemTime& time, const std::string& text);
    bool OpenLogFile();
    void CloseLogFile();
    void StartLogFile();
    void PurgeOldLogFiles();

    // Where lines are shown; the main window sets its list once it exists.
    void SetSink(LogSink* sink);

    // Holds back every other thread's lines while the caller changes what the log reads.
    std::unique_lock<std::recursive_mutex> Lock() { return std::unique_lock(m_mutex); }

    bool DebugMode() const { return m_debug; }
    void SetDebugMode(bool on) { m_debug = on; }
    bool IsFileOpen() const { return m_file.IsOpen(); }
    // The path of the file for the current file date.
    std::string LogFilePath() const;

private:
    std::string LogFolder() const;

    const Settings& m_settings;
    // Recursive: the purge logs its own lines from inside a line.
    std::recursive_mutex m_mutex;
    LogSink* m_sink;
    platform::File m_file;
    platform::SystemTime m_fileDate;  // zero until the first file or day change
    bool m_purging = false;
    std::string m_purgedFor;  // the day, folder and age of the last purge: once for each
    std::atomic<bool> m_debug{false};
};

// The program log the program uses; set by the main window for its lifetime.
void SetProgramLog(ProgramLog* log);
ProgramLog* CurrentProgramLog();

// True when LogDebug writes anything: callers that would make many debug lines in a loop ask
// first, so that the loop costs nothing while debug mode is off.
bool LogDebugEnabled();

// Log through the current program log; nothing happens while none is set.
void LogMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Mends a log of the machine that a killed writer left without its end, saying so in the program
// log; false when it was not broken or could not be mended (last error 1500 then).
bool MendBrokenLog(const std::string& logName);

// Resume after restart: where monitoring stood in each log, kept in RESUME.DAT, and the records
// a start catches up.
#include <algorithm>

#include "config/settings.h"
#include "core/monitor.h"
#include "core/program_log.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/errors.h"

void Monitor::LoadResume() {
    bool damaged = false;
    std::string copy;
    m_resume = LoadResumeState(&damaged, &copy);
    if (damaged) {
        // The logs it no longer names start from now: what was written while the program
        // was stopped cannot be told from what was checked before.
        const std::string kept =
            copy.empty()
                ? platform::StringPrintf(
                      sjis(u8"元のファイルを残せませんでした: %s").c_str(),
                      platform::SystemErrorTextOrCode(platform::GetLastError()).c_str())
                : platform::StringPrintf(sjis(u8"元のファイルは%sとして残しました。").c_str(),
                                         copy.substr(copy.rfind('/') + 1).c_str());
        LogMessage(kLogWarning,
                   sjis(u8"監視状態ファイル(%s)が壊れているため、停止中に書き込まれたレコードを"
                        u8"チェックできないイベントログがあります。%s")
                       .c_str(),
                   ResumeStatePath().c_str(), kept.c_str());
    }
}

bool Monitor::Resuming() const { return m_extensions && m_extensions->Resume; }

bool Monitor::CatchingUp() const {
    return std::any_of(m_logs.begin(), m_logs.end(),
                       [](const auto& log) { return log->catchingUp != 0; });
}

void Monitor::ResumeLog(WatchedLog& log, std::uint32_t oldest, std::uint32_t count) {
    const auto saved = m_resume.find(log.name);
    if (saved == m_resume.end()) return;  // a log seen for the first time
    const char* name = log.name.c_str();
    const LogPosition position = saved->second;
    const std::uint32_t newest = oldest + count - 1;
    auto cleared = [&] {
        LogMessage(kLogWarning,
                   sjis(u8"%sイベントログは停止中にクリアされたため、停止中に書き込まれたレコードは"
                        u8"チェックできません。")
                       .c_str(),
                   name);
    };
    if (log.copy && position.record != 0) {
        // A copy: the newest record read in the last run stays the mark, whatever copy is
        // there now; the first check takes what is newer (up to the limit).
        const std::uint32_t newest = count == 0 ? 0 : oldest + count - 1;
        const auto limit = static_cast<std::uint32_t>(std::max(1, m_extensions->ResumeLimit));
        auto mark = std::make_unique<EventRecord>();
        mark->RecordNumber = position.record;
        log.lastIdentity =
            RecordIdentity{position.written != 0, position.written, position.length, position.hash};
        if (newest > position.record && newest - position.record > limit) {
            LogMessage(
                kLogWarning,
                sjis(u8"%sイベントログの停止中に書き込まれたレコードのうち%u件は、上限(%u件)を"
                     u8"超えるためチェックしません。")
                    .c_str(),
                name, static_cast<unsigned>(newest - position.record - limit),
                static_cast<unsigned>(limit));
            mark->RecordNumber = newest - limit;
            log.lastIdentity = RecordIdentity();
            ReadRecordIdentity(log.handle.Get(), mark->RecordNumber, log.lastIdentity);
        }
        log.catchingUp = newest > mark->RecordNumber ? newest - mark->RecordNumber : 0;
        log.lastRecord = std::move(mark);
        return;
    }
    if (count == 0) {
        if (position.record != 0) cleared();
        return;
    }
    std::uint32_t first = 0;  // the first record to catch up
    RecordIdentity before;    // of the record before it, when it is the saved one
    if (position.record != 0 && InLog(position.record, oldest, newest)) {
        RecordIdentity identity;
        if (!ReadRecordIdentity(log.handle.Get(), position.record, identity) ||
            (position.written != 0 && identity.timeWritten != position.written) ||
            (position.length != 0 && identity.length != position.length) ||
            (position.hash != 0 && identity.hash != position.hash)) {
            cleared();  // and written again up to the saved number or past it
            return;
        }
        if (position.record == newest) return;  // nothing was written meanwhile
        first = position.record + 1;
        before = identity;
    } else if (position.record < oldest && position.record < newest) {
        // The log wrapped: the oldest records written meanwhile were overwritten.
        const std::uint32_t lost = oldest - position.record - 1;
        if (lost != 0) {
            LogMessage(kLogWarning,
                       sjis(u8"%sイベントログは停止中に上書きされたため、レコード%u件をチェックで"
                            u8"きません。")
                           .c_str(),
                       name, static_cast<unsigned>(lost));
        }
        first = oldest;
    } else {
        cleared();  // numbered anew, below the saved record
        return;
    }
    std::uint32_t pending = newest - first + 1;
    const auto limit = static_cast<std::uint32_t>(std::max(1, m_extensions->ResumeLimit));
    if (pending > limit) {
        LogMessage(kLogWarning,
                   sjis(u8"%sイベントログの停止中に書き込まれたレコードのうち%u件は、上限(%u件)を"
                        u8"超えるためチェックしません。")
                       .c_str(),
                   name, static_cast<unsigned>(pending - limit), static_cast<unsigned>(limit));
        first = newest - limit + 1;
        pending = limit;
        before = RecordIdentity();
        if (InLog(first - 1, oldest, newest))
            ReadRecordIdentity(log.handle.Get(), first - 1, before);
    }
    // The next tick reads on from the record before the first one to catch up.
    auto start = std::make_unique<EventRecord>();
    start->RecordNumber = first - 1;
    log.lastRecord = std::move(start);
    log.lastIdentity = before;
    log.catchingUp = pending;
}

void Monitor::SaveResumeState() {
    const std::map<std::string, std::uint32_t> held = m_consumers.HeldRecords();
    for (const auto& log : m_logs) {
        if (!log->handle) continue;
        LogPosition& position = m_resume[log->name];
        if (log->lastRecord) {
            const RecordIdentity& id = log->lastIdentity;
            position = LogPosition{log->lastRecord->RecordNumber, id.known ? id.timeWritten : 0,
                                   id.known ? id.length : 0, id.known ? id.hash : 0};
        } else {
            position = LogPosition();
        }
        // A record whose report mail is neither sent nor kept yet is checked again by a next
        // start: the place stays before it (known by its number only).
        const auto hold = held.find(log->name);
        if (hold != held.end() && hold->second != 0 && hold->second - 1 < position.record) {
            position = LogPosition{hold->second - 1, 0, 0, 0};
        }
    }
    if (::SaveResumeState(m_resume)) {
        m_resumeSaveFailed = false;
    } else if (!m_resumeSaveFailed) {
        m_resumeSaveFailed = true;
        LogMessage(kLogWarning, sjis(u8"監視状態ファイル(%s)を保存できませんでした。%s").c_str(),
                   ResumeStatePath().c_str(),
                   platform::SystemErrorText(platform::GetLastError()).c_str());
    }
}

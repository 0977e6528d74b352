#include "core/monitor.h"

#include <algorithm>
#include <exception>

#include "config/settings.h"
#include "core/program_log.h"
#include "eventlog/catalog.h"
#include "eventlog/rendering.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/accounts.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry.h"

using platform::DWORD;

namespace {

// The dialogs are locked only while the tick hands its mail over and saves its place: it works on
// copies of the lists and settings, and a server that keeps the outbox waiting must not keep the
// user from entering another.
class TickEnd {
public:
    TickEnd(DialogLocks& locks, WatchTimer& timer) : m_locks(locks), m_timer(timer) {}
    // The tick's last steps run however it ends, so that monitoring goes on.
    ~TickEnd() {
        Unlock();
        LogDebug("%s", sjis(u8"イベントログのチェック終了").c_str());
        m_timer.SetEnabled(true);
    }
    void Lock() {
        if (!m_locked) m_locks.Lock();
        m_locked = true;
    }
    void Unlock() {
        if (m_locked) m_locks.Unlock();
        m_locked = false;
    }

private:
    DialogLocks& m_locks;
    WatchTimer& m_timer;
    bool m_locked = false;
};

// Runs one consumer; a failure that escapes it must not stop the tick, and the user must be
// able to see that it happened. False when it failed so.
template <typename Call>
bool Guarded(const char8_t* what, Call call) {
    try {
        call();
        return true;
    } catch (const std::exception& e) {
        LogMessage(kLogError, sjis(u8"%sの処理中に例外が発生しました。%s").c_str(),
                   sjis(what).c_str(), e.what());
    } catch (...) {
        LogMessage(kLogError, sjis(u8"%sの処理中に例外が発生しました。").c_str(),
                   sjis(what).c_str());
    }
    return false;
}

}  // namespace

Monitor::Monitor(const Settings& settings, const WatchList& watches, WatchTimer& timer,
                 DialogLocks& locks, BatchConsumers& consumers)
    : m_settings(settings),
      m_watches(watches),
      m_timer(timer),
      m_locks(locks),
      m_consumers(consumers) {}

Monitor::~Monitor() { ClearReadMarks(); }

void Monitor::StartMonitoring() {
    if (m_settings.SenderName.empty() || m_settings.MailAddr.empty() ||
        m_settings.SMTPServer.empty()) {
        LogMessage(kLogWarning, "%s",
                   sjis(u8"設定 - その他のSMTPが設定されていないので、メールの送信はできません。")
                       .c_str());
    }
    if (m_watches.empty()) {
        LogMessage(
            kLogWarning, "%s",
            sjis(u8"監視イベントが設定されていないので、監視を開始できませんでした。").c_str());
        return;
    }
    std::vector<std::string> names;
    ListLogs(names);
    if (Resuming()) LoadResume();
    for (const std::string& name : names) {
        auto log = std::make_unique<WatchedLog>();
        log->name = name;
        WatchedLog& l = *log;
        m_logs.push_back(std::move(log));
        auto giveUp = [&](const char8_t* message) {
            LogMessage(kLogWarning, sjis(message).c_str(), name.c_str());
            l.handle.Reset();
        };
        try {
            l.handle.Reset(OpenEventLogByName(name));
        } catch (const std::exception& e) {
            // One log's file (crafted or damaged) must not keep the others from being watched.
            LogMessage(kLogError,
                       sjis(u8"%sイベントログのオープン中にエラーが発生しました。%s").c_str(),
                       name.c_str(), e.what());
        }
        l.copy = platform::IsEvtxFile(platform::EventLogFilePath(name));
        if (!l.handle) {
            giveUp(
                u8"%sイベントログがオープンできませんでした。このイベントログは監視できません。");
            continue;
        }
        DWORD count = 0, oldest = 0;
        if (!CountRecords(l, count)) {
            giveUp(
                u8"%sイベントログのレコード数が取得できませんでした。このイベントログは監視できません。");
            continue;
        }
        if (!platform::GetOldestEventLogRecord(l.handle.Get(), oldest)) {
            giveUp(
                u8"%sイベントログの最終レコード番号が取得できませんでした。このイベントログは監視できません。");
            continue;
        }
        if (count == 0) {
            if (Resuming()) ResumeLog(l, oldest, 0);
            continue;
        }
        auto newest = std::make_unique<EventRecord>();
        DWORD error = 0;
        if (!ReadEventRecord(name, l.handle.Get(), oldest + count - 1, *newest, error,
                             &l.lastIdentity)) {
            giveUp(
                u8"%sイベントログのレコードデータが取得できませんでした。このイベントログは監視できません。");
            continue;
        }
        l.lastRecord = std::move(newest);
        if (Resuming()) ResumeLog(l, oldest, count);
    }
    bool anyOpen = false;
    for (const auto& l : m_logs) anyOpen = anyOpen || static_cast<bool>(l->handle);
    if (!anyOpen) {
        LogMessage(kLogError, "%s",
                   sjis(u8"すべてのイベントログが利用できません。監視を中止します。").c_str());
        m_logs.clear();
        return;
    }
    for (const auto& l : m_logs) {
        if (l->handle)
            LogMessage(kLogInformation, sjis(u8"%sイベントログの監視を開始しました。").c_str(),
                       l->name.c_str());
    }
    m_running.store(true, std::memory_order_release);
    PublishReadMarks();
    // The starting point of a log seen for the first time is kept at once: a run that ends
    // before its first tick still knows, at the next start, which records came after it.
    if (Resuming()) SaveResumeState();
    m_savedRules.clear();
    if (platform::ReadWholeFile(RuleStatePath(), m_savedRules)) m_rules.Parse(m_savedRules);
    m_rules.Start(m_watches, platform::NowUnixMilliseconds() / 1000, Resuming());
    // Deadlines that passed while the program was stopped are due at once.
    m_nextDeadline.store(m_rules.NextDeadline(), std::memory_order_release);
    m_timer.SetInterval(m_settings.Interval * 60000u);
    m_timer.SetEnabled(true);
}

void Monitor::AddNewLogs() {
    std::vector<std::string> names;
    ListLogs(names);
    for (const std::string& name : names) {
        const bool known = std::any_of(m_logs.begin(), m_logs.end(), [&](const auto& l) {
            return platform::EqualsNoCase(l->name, name);
        });
        if (known) continue;
        // A log that came after the start (a receiver's): every record it holds is new.
        auto log = std::make_unique<WatchedLog>();
        log->name = name;
        log->handle.Reset(OpenEventLogByName(name));
        if (!log->handle) continue;
        log->copy = platform::IsEvtxFile(platform::EventLogFilePath(name));
        LogMessage(kLogInformation, sjis(u8"%sイベントログの監視を開始しました。").c_str(),
                   name.c_str());
        m_logs.push_back(std::move(log));
    }
}

void Monitor::StopMonitoring() {
    m_timer.SetEnabled(false);
    if (m_logs.empty()) return;
    m_running.store(false, std::memory_order_release);
    m_nextDeadline.store(0, std::memory_order_release);
    ClearReadMarks();
    if (Resuming()) SaveResumeState();
    SaveRuleState();
    LogMessage(kLogInformation, "%s", sjis(u8"すべてのイベントログの監視を停止しました。").c_str());
    m_logs.clear();
}

bool Monitor::CountRecords(WatchedLog& log, DWORD& count) {
    if (platform::GetNumberOfEventLogRecords(log.handle.Get(), count)) return true;
    if (platform::GetLastError() != platform::kErrorEventLogFileCorrupt) return false;
    if (!MendBrokenLog(log.name)) return false;
    return platform::GetNumberOfEventLogRecords(log.handle.Get(), count);
}

void Monitor::PublishReadMarks() {
    for (const auto& log : m_logs) {
        if (!log->handle) continue;
        DWORD mark = 0;
        if (log->lastRecord) {
            mark = log->lastRecord->RecordNumber;
        } else {
            // Nothing read yet: every record the log holds, or will hold, waits for the watch.
            DWORD count = 0, first = 0;
            if (!platform::GetNumberOfEventLogRecords(log->handle.Get(), count) ||
                !(count == 0 ? platform::GetNextEventLogRecord(log->handle.Get(), first)
                             : platform::GetOldestEventLogRecord(log->handle.Get(), first))) {
                continue;
            }
            mark = first - 1;
        }
        const auto told = m_readMarks.find(log->name);
        if (told != m_readMarks.end() && told->second == mark) continue;
        if (platform::SetEventLogReadMark(log->name, mark)) m_readMarks[log->name] = mark;
    }
}

void Monitor::ClearReadMarks() {
    for (const auto& [name, mark] : m_readMarks) platform::ClearEventLogReadMark(name);
    m_readMarks.clear();
}

void Monitor::WatchTick() {
    m_timer.SetEnabled(false);
    LogDebug("%s", sjis(u8"イベントログのチェック開始").c_str());
    TickEnd end(m_locks, m_timer);
    TickBatch batch;
    // The list stays as it is for the tick: indexed once, each record meets only the entries
    // that can match it.
    AddNewLogs();
    const WatchIndex index(m_watches);
    m_tickTime = platform::NowUnixMilliseconds() / 1000;
    m_rules.BeginTick(m_watches, m_tickTime);
    m_ruleRecords.clear();
    for (size_t i = 0; i < m_logs.size(); ++i) {
        if (!m_logs[i]->handle) continue;
        // What goes wrong in one log (a file crafted to exhaust the memory) stays with it.
        try {
            CheckLog(*m_logs[i], i, index, batch);
        } catch (const std::exception& e) {
            LogMessage(kLogError,
                       sjis(u8"%sイベントログのチェック中にエラーが発生しました。%s").c_str(),
                       m_logs[i]->name.c_str(), e.what());
        }
        if (m_logs[i]->copy) SayFileWarnings(*m_logs[i]);
    }
    // After every log was read: a window's events may come from any of them.
    ObserveInArrivalOrder(batch);
    m_rules.EndTick(batch);
    m_nextDeadline.store(m_rules.NextDeadline(), std::memory_order_release);
    // What an absence rule only waited for is not reported.
    std::erase_if(batch, [](const auto& r) { return r->Kind == ReportKind::Expected; });
    if (!batch.empty()) Guarded(u8"アクション", [&] { m_consumers.ProcessActions(batch); });
    Guarded(u8"通知の準備", [&] { m_consumers.BeforeNotifications(batch); });
    end.Lock();
    const bool safe =
        batch.empty() || Guarded(u8"メール送信", [&] { m_consumers.DeliverMail(batch); });
    // The place in the logs moves on only past records whose mail is in safe hands: a run that
    // ends before this reports them again rather than never.
    Guarded(u8"状態の保存", [&] { m_consumers.Checkpoint(); });
    if (safe && Resuming()) SaveResumeState();
    if (safe) SaveRuleState();
    if (safe) PublishReadMarks();
    end.Unlock();
    Guarded(u8"メール送信", [&] { m_consumers.AfterCheckpoint(); });
    if (!batch.empty()) {
        Guarded(u8"ネットワークメッセージ送信", [&] { m_consumers.SendNetworkMessages(batch); });
    }
    batch.clear();
}

void Monitor::SayFileWarnings(WatchedLog& log) {
    // Each once: the file is read again at every change, and says the same again.
    constexpr size_t kMostAtOnce = 20;
    size_t said = 0, more = 0;
    for (const std::string& warning : platform::EventLogFileWarnings(log.handle.Get())) {
        if (!log.warned.insert(warning).second) continue;
        if (said++ < kMostAtOnce) {
            LogMessage(kLogWarning, sjis(u8"%sイベントログのファイル: %s").c_str(),
                       log.name.c_str(), warning.c_str());
        } else {
            ++more;
        }
    }
    if (more != 0) {
        LogMessage(kLogWarning,
                   sjis(u8"%sイベントログのファイル: ほか%u件の警告があります。").c_str(),
                   log.name.c_str(), static_cast<unsigned>(more));
    }
}

void Monitor::ObserveInArrivalOrder(TickBatch& batch) {
    if (m_ruleRecords.empty()) return;
    // The batch is made again in the same order, so that the mail goes out as things happened:
    // for each record, what closed before it arrived, its own reports, what it ended.
    TickBatch ordered;
    ordered.reserve(batch.size());
    const size_t base = batch.size();  // what the rules add comes after the matches
    auto takeFrom = [&](size_t from) {
        for (size_t i = from; i < batch.size(); ++i) ordered.push_back(std::move(batch[i]));
        batch.resize(from);
    };
    for (const size_t i : ArrivalOrder(m_ruleRecords)) {
        const RuleRecord& r = m_ruleRecords[i];
        m_rules.JudgeUntil(r.arrival - 1, batch);
        takeFrom(base);
        m_rules.Observe(r.logName, r.record, r.arrival, batch, r.first, r.end);
        for (size_t k = r.first; k < r.end; ++k) ordered.push_back(std::move(batch[k]));
        takeFrom(base);
    }
    // Reports of records no rule needed (none, while every record with reports is kept).
    for (auto& report : batch) {
        if (report) ordered.push_back(std::move(report));
    }
    batch = std::move(ordered);
    m_ruleRecords.clear();
}

void Monitor::CheckLog(WatchedLog& log, size_t place, const WatchIndex& index, TickBatch& batch) {
    const char* name = log.name.c_str();
    LogDebug(sjis(u8"%sログのチェック開始").c_str(), name);
    DWORD count = 0, oldest = 0;
    if (!CountRecords(log, count)) {
        LogMessage(kLogError,
                   sjis(u8"%sイベントログのレコード数が取得できませんでした。%s").c_str(), name,
                   platform::SystemErrorText(platform::GetLastError()).c_str());
    } else {
        LogDebug(sjis(u8"レコード件数:%d").c_str(), static_cast<int>(count));
        if (count != 0) {
            if (!platform::GetOldestEventLogRecord(log.handle.Get(), oldest)) {
                LogMessage(
                    kLogError,
                    sjis(u8"%sイベントログの最終レコード番号が取得できませんでした。%s").c_str(),
                    name, platform::SystemErrorText(platform::GetLastError()).c_str());
            } else {
                CheckNewRecords(log, place, oldest, count + oldest - 1, index, batch);
            }
        }
        if (log.catchingUp != 0) {
            LogMessage(
                kLogInformation,
                sjis(u8"%sイベントログの停止中に書き込まれたレコード%u件をチェックしました。")
                    .c_str(),
                name, static_cast<unsigned>(log.catchingUp));
            log.catchingUp = 0;
        }
    }
    LogDebug(sjis(u8"%sログのチェック終了").c_str(), name);
}

namespace {

void WarnDiscarded(const char* name, std::uint32_t next, std::uint32_t oldest) {
    LogMessage(
        kLogWarning,
        sjis(u8"%sイベントログのレコード番号%d～%dのログは破棄されたためチェックできません。")
            .c_str(),
        name, static_cast<int>(next), static_cast<int>(oldest - 1));
    LogMessage(
        kLogWarning,
        sjis(u8"%sイベントログのログサイズか、Quorvikのイベントログ監視間隔を調節してください。")
            .c_str(),
        name);
}

}  // namespace

void Monitor::CheckNewRecords(WatchedLog& log, size_t place, std::uint32_t oldest,
                              std::uint32_t newest, const WatchIndex& index, TickBatch& batch) {
    const char* name = log.name.c_str();
    const std::uint32_t previous = log.lastRecord ? log.lastRecord->RecordNumber : 0;
    LogDebug(sjis(u8"最終レコード番号:%d").c_str(), static_cast<int>(oldest));
    LogDebug(sjis(u8"前回チェックレコード番号:%d").c_str(), static_cast<int>(previous));
    LogDebug(sjis(u8"最大レコード番号:%d").c_str(), static_cast<int>(newest));
    std::uint32_t next = previous + 1;
    // A log cleared and refilled up to the handled number or past it holds another record under
    // that number: the records before it are new too.
    RecordIdentity now;
    if (log.copy && log.lastRecord) {
        next = FirstNewOfCopy(log, oldest, newest);
        if (next == 0) return;
    } else if (log.lastIdentity.known && InLog(previous, oldest, newest) &&
               ReadRecordIdentity(log.handle.Get(), previous, now) && !(now == log.lastIdentity)) {
        WarnDiscarded(name, next, oldest);
        next = oldest;
    } else if (previous == newest) {
        return;  // nothing is new
    } else if (!InLog(next, oldest, newest)) {
        WarnDiscarded(name, next, oldest);
        next = oldest;
    }
    const bool debug = LogDebugEnabled();
    for (std::uint32_t n = next;; ++n) {
        if (debug) LogDebug(sjis(u8"レコード[%d]のイベントログ取得").c_str(), static_cast<int>(n));
        auto record = std::make_unique<EventRecord>();
        DWORD error = 0;
        RecordIdentity identity;
        if (ReadEventRecord(log.name, log.handle.Get(), n, *record, error, &identity)) {
            log.failures = 0;
            const size_t first = batch.size();
            MatchRecord(index, log.name, *record, batch);
            for (size_t k = first; k < batch.size(); ++k) batch[k]->Identity = identity;
            const StateRules::Role role =
                m_rules.Active() ? m_rules.RoleOf(log.name, *record, batch, first, batch.size())
                                 : StateRules::Role::None;
            // With rules, every record with reports or a recovery is taken in arrival order.
            if (role != StateRules::Role::None || (m_rules.Active() && batch.size() > first)) {
                // A copy's records arrive when they are read; at a start that catches up, at
                // the time their machine wrote them (the program cannot know when they came).
                const std::int64_t arrival =
                    log.copy && log.catchingUp == 0 ? m_tickTime : ArrivalOf(identity, m_tickTime);
                m_ruleRecords.push_back(RuleRecord{arrival, role == StateRules::Role::Recovery,
                                                   place, log.name, *record, first, batch.size()});
            }
            log.lastRecord = std::move(record);
            log.lastIdentity = identity;
        } else if (error == platform::kErrorNotFound) {
            // A number that a damaged .evtx chunk took with it: nothing to read, now or later.
            if (n == newest) break;
            continue;
        } else {
            LogMessage(
                kLogError,
                sjis(u8"%sイベントログのレコードデータが取得できませんでした。エラーコード[%08x]")
                    .c_str(),
                name, static_cast<unsigned>(error));
            log.failures = log.failingNumber == n ? log.failures + 1 : 1;
            log.failingNumber = n;
            // The record is tried again at the next tick; one that never reads would stall
            // the log for good, so the third failure passes it by.
            if (log.failures < kReadAttempts) break;
            LogMessage(
                kLogWarning,
                sjis(
                    u8"%sイベントログのレコード番号%dは%d回続けて取得できなかったため、読み飛ばします。")
                    .c_str(),
                name, static_cast<int>(n), kReadAttempts);
            log.failures = 0;
            record->RecordNumber = n;
            log.lastRecord = std::move(record);
            log.lastIdentity = RecordIdentity();
        }
        if (n == newest) break;
    }
}

std::uint32_t Monitor::FirstNewOfCopy(WatchedLog& log, std::uint32_t oldest, std::uint32_t newest) {
    const std::uint32_t previous = log.lastRecord->RecordNumber;
    const std::uint32_t markTime = log.lastIdentity.known ? log.lastIdentity.timeWritten : 0;
    // The same record under the mark's number: the copy holds what was read, and maybe more.
    RecordIdentity now;
    const bool same = oldest <= previous && previous <= newest &&
                      ReadRecordIdentity(log.handle.Get(), previous, now) &&
                      (!log.lastIdentity.known || now == log.lastIdentity);
    if (!same) {
        // Its numbers start again below the mark, with records written after it: the log was
        // cleared on its machine. Anything else (an older copy put back) brings nothing new.
        RecordIdentity latest;
        const bool startedOver = markTime != 0 && (newest < previous || oldest <= previous) &&
                                 ReadRecordIdentity(log.handle.Get(), newest, latest) &&
                                 latest.timeWritten > markTime;
        if (startedOver) {
            LogMessage(kLogWarning,
                       sjis(u8"%sイベントログは元のマシンでクリアされたため、その後に書き込まれた"
                            u8"レコードからチェックします。")
                           .c_str(),
                       log.name.c_str());
            for (std::uint32_t n = oldest; n <= newest && n != 0; ++n) {
                RecordIdentity id;
                if (ReadRecordIdentity(log.handle.Get(), n, id) && id.timeWritten > markTime)
                    return n;
            }
            return 0;
        }
        if (newest <= previous) return 0;
    }
    if (newest <= previous) return 0;  // nothing new, or an older copy
    if (previous + 1 < oldest) {
        WarnDiscarded(log.name.c_str(), previous + 1, oldest);
        return oldest;
    }
    return previous + 1;
}

void Monitor::SaveRuleState() {
    const std::string text = m_rules.Empty() ? std::string() : m_rules.Format();
    if (text == m_savedRules) return;
    const bool saved = text.empty() ? platform::DeleteFile(RuleStatePath()) ||
                                          platform::GetLastError() == platform::kErrorFileNotFound
                                    : platform::WritePrivateFileAtomically(RuleStatePath(), text);
    if (saved) {
        m_savedRules = text;
        m_rulesSaveFailed = false;
    } else if (!m_rulesSaveFailed) {
        m_rulesSaveFailed = true;
        LogMessage(kLogWarning, sjis(u8"監視状態ファイル(%s)を保存できませんでした。%s").c_str(),
                   RuleStatePath().c_str(),
                   platform::SystemErrorText(platform::GetLastError()).c_str());
    }
}

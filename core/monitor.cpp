#include "core/monitor.h"

#include <cstring>
#include <functional>

#include "config/settings.h"
#include "core/program_log.h"
#include "eventlog/rendering.h"
#include "platform/accounts.h"
#include "platform/codepage.h"
#include "platform/machine.h"
#include "platform/registry.h"
#include "platform/shell.h"

using platform::DWORD;

namespace {

constexpr size_t kReadBufferStep = 40960;

// The fields of the first ANSI record in a buffer, every offset checked against its length.
bool TakeRecordApart(const char* buffer, DWORD bytesRead, platform::EventLogRecord& fixed,
                     std::string& source, std::string& computer, std::string& sid,
                     std::vector<std::string>& strings) {
    if (bytesRead < sizeof fixed) return false;
    std::memcpy(&fixed, buffer, sizeof fixed);
    if (fixed.Length < sizeof fixed + 4 || fixed.Length > bytesRead) return false;
    const size_t end = fixed.Length - 4;
    auto take = [&](size_t& at) {
        size_t stop = at;
        while (stop < end && buffer[stop] != '\0') ++stop;
        std::string s(buffer + at, stop - at);
        at = stop + 1;
        return s;
    };
    size_t pos = sizeof fixed;
    source = take(pos);
    computer = pos < end ? take(pos) : std::string();
    sid.clear();
    if (fixed.UserSidLength > 0 && fixed.UserSidOffset <= end &&
        fixed.UserSidLength <= end - fixed.UserSidOffset) {
        sid.assign(buffer + fixed.UserSidOffset, fixed.UserSidLength);
    }
    strings.clear();
    size_t at = fixed.StringOffset;
    for (unsigned i = 0; i < fixed.NumStrings && at < end; ++i) strings.push_back(take(at));
    return true;
}

class Unlocker {
public:
    Unlocker(DialogLocks& locks, WatchTimer& timer) : m_locks(locks), m_timer(timer) {}
    // The tick's last steps run however it ends, so that monitoring goes on.
    ~Unlocker() {
        m_locks.Unlock();
        LogDebug("%s", sjis(u8"イベントログのチェック終了").c_str());
        m_timer.SetEnabled(true);
    }

private:
    DialogLocks& m_locks;
    WatchTimer& m_timer;
};

// Runs one consumer; a failure that escapes it must not stop the tick.
template <typename Call>
void Guarded(Call call) {
    try {
        call();
    } catch (...) {
    }
}

bool SaveWithPrompt(const std::function<bool()>& save, const char8_t* message) {
    while (!save()) {
        if (platform::CurrentShell().MessageBox(sjis(message), sjis(u8"書き込みエラー"),
                                                platform::kMbRetryCancel,
                                                platform::kMbIconError) != platform::kIdRetry) {
            return false;
        }
    }
    return true;
}

}  // namespace

WatchedLog::~WatchedLog() {
    if (handle) platform::CloseEventLog(handle);
}

platform::EventLogHandle OpenEventLogByName(const std::string& logName) {
    std::string computer;
    if (!platform::GetComputerName(computer, 16)) return nullptr;
    return platform::OpenEventLog(computer, logName);
}

bool ReadEventRecord(const std::string& logName, platform::EventLogHandle handle,
                     std::uint32_t number, EventRecord& record, DWORD& error) {
    // A new buffer for each record, not cleared: the read fills what it reports.
    std::unique_ptr<char[]> buffer;
    size_t size = 0;
    DWORD read = 0, needed = 0;
    for (size_t attempt = 1;; ++attempt) {
        size = attempt * kReadBufferStep;
        buffer.reset(new char[size]);
        if (platform::ReadEventLog(
                handle, platform::kEventLogSeekRead | platform::kEventLogBackwardsRead, number,
                buffer.get(), static_cast<DWORD>(size), &read, &needed)) {
            break;
        }
        error = platform::GetLastError();
        // The buffer grows by a step per attempt; a read that asks for no more than it had is
        // not going to be satisfied by growing further.
        if (error != platform::kErrorInsufficientBuffer || (needed != 0 && needed <= size)) {
            return false;
        }
    }
    platform::EventLogRecord fixed;
    std::string source, computer, sid;
    std::vector<std::string> strings;
    if (!TakeRecordApart(buffer.get(), read, fixed, source, computer, sid, strings)) {
        error = platform::kErrorInvalidData;
        return false;
    }
    record.RecordNumber = fixed.RecordNumber;
    record.TimeGenerated = platform::LocalTimeOf(fixed.TimeGenerated);
    record.TimeGenerated.milliseconds = 0;
    record.EventID = fixed.EventID;
    record.EventType = fixed.EventType;
    record.SourceName = source;
    record.ComputerName = computer;
    std::string user;
    if (!sid.empty()) {
        std::string name, domain;
        if (platform::LookupAccountSid(computer, sid, name, domain)) user = name;
    }
    record.User = TrimControls(user);
    if (record.User.empty()) record.User = "N/A";
    record.Category = TrimControls(CategoryText(logName, source, fixed.EventCategory));
    if (record.Category.empty()) record.Category = sjis(u8"なし");
    record.Description = TrimControls(EventDescription(logName, source, fixed.EventID, strings,
                                                       static_cast<std::uint16_t>(strings.size())));
    if (record.Description.empty())
        record.Description = sjis(u8"Quorvik: なし、または取得に失敗しました。");
    return true;
}

Monitor::Monitor(const Settings& settings, const WatchList& watches, WatchTimer& timer,
                 DialogLocks& locks, BatchConsumers& consumers)
    : m_settings(settings),
      m_watches(watches),
      m_timer(timer),
      m_locks(locks),
      m_consumers(consumers) {}

Monitor::~Monitor() = default;

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
    platform::HKEY key = nullptr;
    if (platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, platform::kEventLogKey, key) ==
        platform::kErrorSuccess) {
        std::string name;
        for (DWORD i = 0; platform::RegEnumKeyEx(key, i, name) == platform::kErrorSuccess; ++i) {
            names.push_back(name);
        }
        platform::RegCloseKey(key);
    }
    for (const std::string& name : names) {
        auto log = std::make_unique<WatchedLog>();
        log->name = name;
        WatchedLog& l = *log;
        m_logs.push_back(std::move(log));
        auto giveUp = [&](const char8_t* message) {
            LogMessage(kLogWarning, sjis(message).c_str(), name.c_str());
            if (l.handle) platform::CloseEventLog(l.handle);
            l.handle = nullptr;
        };
        l.handle = OpenEventLogByName(name);
        if (!l.handle) {
            giveUp(
                u8"%sイベントログがオープンできませんでした。このイベントログは監視できません。");
            continue;
        }
        DWORD count = 0, oldest = 0;
        if (!platform::GetNumberOfEventLogRecords(l.handle, count)) {
            giveUp(
                u8"%sイベントログのレコード数が取得できませんでした。このイベントログは監視できませ"
                u8"ん。");
            continue;
        }
        if (!platform::GetOldestEventLogRecord(l.handle, oldest)) {
            giveUp(
                u8"%sイベントログの最終レコード番号が取得できませんでした。このイベントログは監視で"
                u8"きません。");
            continue;
        }
        if (count == 0) continue;
        auto newest = std::make_unique<EventRecord>();
        DWORD error = 0;
        if (!ReadEventRecord(name, l.handle, oldest + count - 1, *newest, error)) {
            giveUp(
                u8"%sイベントログのレコードデータが取得できませんでした。このイベントログは監視でき"
                u8"ません。");
            continue;
        }
        l.lastRecord = std::move(newest);
    }
    bool anyOpen = false;
    for (const auto& l : m_logs) anyOpen = anyOpen || l->handle;
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
    m_timer.SetInterval(m_settings.Interval * 60000u);
    m_timer.SetEnabled(true);
}

void Monitor::StopMonitoring() {
    m_timer.SetEnabled(false);
    if (m_logs.empty()) return;
    LogMessage(kLogInformation, "%s", sjis(u8"すべてのイベントログの監視を停止しました。").c_str());
    m_logs.clear();
}

void Monitor::WatchTick() {
    m_timer.SetEnabled(false);
    LogDebug("%s", sjis(u8"イベントログのチェック開始").c_str());
    m_locks.Lock();
    Unlocker unlock(m_locks, m_timer);
    TickBatch batch;
    for (const auto& log : m_logs) {
        if (log->handle) CheckLog(*log, batch);
    }
    if (!batch.empty()) {
        Guarded([&] { m_consumers.ProcessActions(batch); });
        Guarded([&] { m_consumers.DeliverMail(batch); });
        Guarded([&] { m_consumers.SendNetworkMessages(batch); });
    }
    batch.clear();
}

void Monitor::CheckLog(WatchedLog& log, TickBatch& batch) {
    const char* name = log.name.c_str();
    LogDebug(sjis(u8"%sログのチェック開始").c_str(), name);
    DWORD count = 0, oldest = 0;
    if (!platform::GetNumberOfEventLogRecords(log.handle, count)) {
        LogMessage(kLogError,
                   sjis(u8"%sイベントログのレコード数が取得できませんでした。%s").c_str(), name,
                   SystemErrorText(platform::GetLastError()).c_str());
    } else {
        LogDebug(sjis(u8"レコード件数:%d").c_str(), static_cast<int>(count));
        if (count != 0) {
            if (!platform::GetOldestEventLogRecord(log.handle, oldest)) {
                LogMessage(
                    kLogError,
                    sjis(u8"%sイベントログの最終レコード番号が取得できませんでした。%s").c_str(),
                    name, SystemErrorText(platform::GetLastError()).c_str());
            } else {
                const std::uint32_t previous = log.lastRecord ? log.lastRecord->RecordNumber : 0;
                const std::uint32_t newest = count + oldest - 1;
                LogDebug(sjis(u8"最終レコード番号:%d").c_str(), static_cast<int>(oldest));
                LogDebug(sjis(u8"前回チェックレコード番号:%d").c_str(), static_cast<int>(previous));
                LogDebug(sjis(u8"最大レコード番号:%d").c_str(), static_cast<int>(newest));
                if (previous != newest) {
                    std::uint32_t next = previous + 1;
                    const bool inLog = oldest <= newest ? (oldest <= next && next <= newest)
                                                        : (next >= oldest || next <= newest);
                    if (!inLog) {
                        LogMessage(kLogWarning,
                                   sjis(u8"%sイベントログのレコード番号%d～%"
                                        u8"dのログは破棄されたためチェックできません。")
                                       .c_str(),
                                   name, static_cast<int>(next), static_cast<int>(oldest - 1));
                        LogMessage(kLogWarning,
                                   sjis(u8"%sイベントログのログサイズか、Quorvikのイベントログ監視"
                                        u8"間隔を調節してください。")
                                       .c_str(),
                                   name);
                        next = oldest;
                    }
                    static const std::string& kReadLine = sjis(u8"レコード[%d]のイベントログ取得");
                    for (std::uint32_t n = next;; ++n) {
                        LogDebug(kReadLine.c_str(), static_cast<int>(n));
                        auto record = std::make_unique<EventRecord>();
                        DWORD error = 0;
                        if (!ReadEventRecord(log.name, log.handle, n, *record, error)) {
                            LogMessage(kLogError,
                                       sjis(u8"%sイベントログのレコードデータが取得できませんでした"
                                            u8"。エラーコード[%08x]")
                                           .c_str(),
                                       name, static_cast<unsigned>(error));
                            break;
                        }
                        MatchRecord(m_watches, log.name, *record, batch);
                        log.lastRecord = std::move(record);
                        if (n == newest) break;
                    }
                }
            }
        }
    }
    LogDebug(sjis(u8"%sログのチェック終了").c_str(), name);
}

bool SaveWatchListWithPrompt(const WatchList& watches) {
    return SaveWithPrompt([&] { return SaveWatchList(watches); },
                          u8"監視イベント設定ファイルの書き込みに失敗しました。\r\n\r\n"
                          u8"ディスクの空き容量などを確認してください。\r\n"
                          u8"キャンセルした場合、編集した内容は保存されません。");
}

bool SaveAddressListWithPrompt(const AddressList& addresses) {
    return SaveWithPrompt([&] { return SaveAddressList(addresses); },
                          u8"メールアドレス設定ファイルの書き込みに失敗しました。\r\n\r\n"
                          u8"ディスクの空き容量などを確認してください。\r\n"
                          u8"キャンセルした場合、編集した内容は保存されません。");
}

void OnAddressDeleted(WatchList& watches, const AddressEntry& deleted, Monitor& monitor) {
    bool changed = false;
    for (auto it = watches.begin(); it != watches.end();) {
        std::vector<std::string>& recipients = (*it)->AddrList;
        bool removedHere = false;
        for (auto r = recipients.begin(); r != recipients.end();) {
            const bool match = (!deleted.MailAddr.empty() && *r == deleted.MailAddr) ||
                               (!deleted.UserName.empty() && *r == deleted.UserName);
            if (match) {
                r = recipients.erase(r);
                removedHere = true;
            } else {
                ++r;
            }
        }
        changed = changed || removedHere;
        // An entry left without anyone to tell is of no use.
        if (removedHere && recipients.empty()) {
            it = watches.erase(it);
        } else {
            ++it;
        }
    }
    if (changed) SaveWatchListWithPrompt(watches);
    if (watches.empty()) monitor.StopMonitoring();
}

void OnAddressChanged(WatchList& watches, const AddressEntry& newValues, const AddressEntry& old) {
    if (newValues.MailAddr == old.MailAddr && newValues.UserName == old.UserName) return;
    bool changed = false;
    auto rename = [&](const std::string& from, const std::string& to) {
        for (auto& entry : watches) {
            for (std::string& recipient : entry->AddrList) {
                if (recipient == from && recipient != to) {
                    recipient = to;
                    changed = true;
                }
            }
        }
    };
    if (!newValues.MailAddr.empty()) rename(old.MailAddr, newValues.MailAddr);
    if (!newValues.UserName.empty()) rename(old.UserName, newValues.UserName);
    if (changed) SaveWatchListWithPrompt(watches);
}

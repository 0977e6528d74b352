#include "core/state_rules.h"

#include <algorithm>

#include "config/settings.h"
#include "core/program_log.h"
#include "eventlog/catalog.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/machine/accounts.h"

namespace {

constexpr std::int64_t kDay = 86400;
// Windows a restart after a long stop still judges; older ones are not worth a word.
constexpr std::int64_t kLookBack = 400 * kDay;
// Window ends an entry remembers ahead of judging them (events stamped far ahead cost no more).
constexpr size_t kSatisfiedMax = 64;

std::string DateTimeText(std::int64_t seconds) {
    const platform::SystemTime t = platform::LocalTimeOf(seconds);
    return platform::StringPrintf("%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                                  t.minute, t.second);
}

std::string DurationText(std::int64_t seconds) {
    seconds = std::max<std::int64_t>(seconds, 0);
    const auto days = static_cast<int>(seconds / kDay);
    const auto hours = static_cast<int>(seconds % kDay / 3600);
    const auto minutes = static_cast<int>(seconds % 3600 / 60);
    return days > 0 ? platform::StringPrintf(sjis(u8"%d日%d時間%d分").c_str(), days, hours, minutes)
                    : platform::StringPrintf(sjis(u8"%d時間%d分").c_str(), hours, minutes);
}

std::uint64_t Fnv(std::string_view bytes) {
    std::uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

// What the state of an entry was kept for: its rule and the event it watches.
std::string RuleKey(const WatchEntry& e) {
    const WatchRule& r = e.Rule;
    const std::string text = platform::StringPrintf(
        "%d|%d|%d|%d|%d|%d|%s|%s|%d|%d|%s|%s|%s|%d|%d|%s|%s", static_cast<int>(r.Kind),
        static_cast<int>(r.Every), static_cast<int>(r.From), static_cast<int>(r.By),
        static_cast<int>(r.Days), static_cast<int>(r.Renotify), platform::ToHex(r.LogName).c_str(),
        platform::ToHex(r.SourceName).c_str(), static_cast<int>(r.Type),
        static_cast<int>(r.EventID), platform::ToHex(r.Condition).c_str(),
        platform::ToHex(e.LogName).c_str(), platform::ToHex(e.SourceName).c_str(),
        static_cast<int>(e.Type), static_cast<int>(e.EventID), platform::ToHex(e.Category).c_str(),
        platform::ToHex(e.Condition).c_str());
    // A grace other than the first one there was counts too; the default leaves the key as
    // states kept before graces existed have it.
    const std::string grace =
        r.Grace == WatchRule().Grace ? std::string() : "|g" + std::to_string(r.Grace);
    return platform::StringPrintf("%016llx", static_cast<unsigned long long>(Fnv(text + grace)));
}

// The ends of the daily windows an event arriving at the time counts for: it fell between a
// window's start and its deadline's grace.
std::vector<std::int64_t> WindowsMetBy(const WatchRule& r, std::int64_t time) {
    std::vector<std::int64_t> ends;
    const platform::SystemTime today = platform::LocalTimeOf(time);
    for (int offset = -1; offset <= 1; ++offset) {
        const platform::SystemTime day = platform::AddDays(today, offset);
        if (!(r.Days & (1 << day.dayOfWeek))) continue;
        const RuleWindow w = DailyWindow(r, day);
        if (w.start <= time && time <= w.end + r.Grace) ends.push_back(w.end);
    }
    return ends;
}

// The record an absence is reported with: made by the program itself, in the entry's log.
EventRecord SelfRecord(const WatchEntry& e, std::int64_t time, std::string description) {
    EventRecord r;
    r.TimeGenerated = platform::LocalTimeOf(time);
    r.EventID = static_cast<std::uint32_t>(e.EventID);
    r.EventType = 2;  // warning
    r.Description = std::move(description);
    r.Category = sjis(u8"なし");
    r.SourceName = "Quorvik";
    if (!platform::GetComputerName(r.ComputerName)) r.ComputerName.clear();
    r.User = "N/A";
    return r;
}

std::string LastSeenText(std::int64_t lastSeen, std::int64_t since) {
    return lastSeen != 0
               ? DateTimeText(lastSeen)
               : platform::StringPrintf(sjis(u8"監視を始めた%sから発生していません").c_str(),
                                        DateTimeText(since).c_str());
}

std::string EventLine(const std::string& log, const EventRecord& r) {
    return platform::StringPrintf(
        sjis(u8"%04d/%02d/%02d %02d:%02d:%02d %sログ ソース：%s イベントID：%d").c_str(),
        r.TimeGenerated.year, r.TimeGenerated.month, r.TimeGenerated.day, r.TimeGenerated.hour,
        r.TimeGenerated.minute, r.TimeGenerated.second, log.c_str(), r.SourceName.c_str(),
        static_cast<int>(r.EventID & 0xFFFF));
}

}  // namespace

RuleWindow DailyWindow(const WatchRule& rule, const platform::SystemTime& day) {
    platform::SystemTime end = day;
    end.hour = rule.By / 60;
    end.minute = rule.By % 60;
    end.second = 0;
    // From at or after By: the window began the day before (a whole day when they are equal).
    platform::SystemTime start = rule.From < rule.By ? day : platform::AddDays(day, -1);
    start.hour = rule.From / 60;
    start.minute = rule.From % 60;
    start.second = 0;
    return RuleWindow{platform::UnixSecondsOfLocal(start), platform::UnixSecondsOfLocal(end)};
}

std::string ExpectationText(const WatchRule& r) {
    if (r.Every > 0) {
        return platform::StringPrintf(sjis(u8"%d分ごとに少なくとも1回").c_str(),
                                      static_cast<int>(r.Every));
    }
    static const char8_t* const kDays[] = {u8"日", u8"月", u8"火", u8"水", u8"木", u8"金", u8"土"};
    std::string days;
    for (int d = 0; d < 7; ++d) {
        if (r.Days & (1 << d)) days += sjis(kDays[d]);
    }
    return platform::StringPrintf(sjis(u8"%02d:%02d～%02d:%02dに少なくとも1回(%s)").c_str(),
                                  r.From / 60, r.From % 60, r.By / 60, r.By % 60, days.c_str());
}

std::string RuleStatePath() { return DataDirectory() + "STATE.DAT"; }

WatchEntry RecoveryTest(const WatchRule& r) {
    WatchEntry test;
    test.LogName = r.LogName.empty() ? AnyValueText() : r.LogName;
    test.SourceName = r.SourceName.empty() ? AnyValueText() : r.SourceName;
    test.Type = r.Type;
    test.EventID = r.EventID;
    test.Category = AnyValueText();
    test.Condition = r.Condition;
    return test;
}

std::int64_t ArrivalOf(const RecordIdentity& identity, std::int64_t now) {
    if (!identity.known || identity.timeWritten == 0) return now;
    return std::min<std::int64_t>(identity.timeWritten, now);
}

void StateRules::Start(const WatchList& watches, std::int64_t now, bool resuming) {
    // Times ahead of now (a damaged file, a clock set back) would keep windows from ever being
    // judged: they are taken as now.
    for (auto& [number, t] : m_state) {
        for (std::int64_t* time : {&t.since, &t.checked, &t.lastSeen, &t.openSince, &t.notified})
            *time = std::min(*time, now);
    }
    if (!resuming) {
        // What happened while the program was down is not known: nothing before now is judged.
        for (auto& [number, t] : m_state) {
            t.since = t.checked = now;
            t.satisfied.clear();
        }
    }
    BeginTick(watches, now);
}

void StateRules::BeginTick(const WatchList& watches, std::int64_t now) {
    m_now = now;
    m_entries.clear();
    m_recoveryTests.clear();
    m_reportWatches.clear();
    for (const auto& e : watches) {
        if (e->Rule.Kind != WatchRule::kAbsence && e->Rule.Kind != WatchRule::kRecovery) continue;
        m_entries[e->EventNum] = e.get();
        const std::string key = RuleKey(*e);
        Tracked& t = m_state[e->EventNum];
        if (t.rule != key) {
            t = Tracked();
            t.rule = key;
            t.since = t.checked = now;
        }
        if (e->Rule.Kind == WatchRule::kRecovery)
            m_recoveryTests.emplace(e->EventNum, RecoveryTest(e->Rule));
    }
    std::erase_if(m_state, [&](const auto& item) { return !m_entries.count(item.first); });
}

std::unique_ptr<ReportRecord> StateRules::Report(const WatchEntry& entry, ReportKind kind,
                                                 const std::string& logName,
                                                 const EventRecord& event, std::string text) {
    auto watch = std::make_unique<WatchEntry>(entry);
    if (kind == ReportKind::Recovery) {
        watch->MailSubject += sjis(u8" (復旧)");
        watch->ToDoList.clear();  // the actions answered the problem, not its end
    } else {
        watch->MailSubject += sjis(u8" (未発生)");
    }
    auto report = std::make_unique<ReportRecord>();
    report->LogName = logName;
    report->Event = event;
    report->Recipients = entry.AddrList;
    report->ReportText = std::move(text);
    report->Watch = watch.get();
    report->Kind = kind;
    m_reportWatches.push_back(std::move(watch));
    return report;
}

void StateRules::Close(const WatchEntry& e, Tracked& t, const std::string& logName,
                       const EventRecord& record, std::int64_t arrival, TickBatch& batch) {
    const std::int64_t at = std::max(arrival, t.openSince);
    const std::string happened = DateTimeText(platform::UnixSecondsOfLocal(record.TimeGenerated));
    std::string text;
    if (e.Rule.Kind == WatchRule::kAbsence) {
        // Late: it arrived after the deadline and its grace. One that arrived before (a copy's
        // record caught up at a start) says so rather than a time of less than nothing.
        const std::string when =
            arrival >= t.openSince
                ? platform::StringPrintf(sjis(u8"期限の%s後").c_str(),
                                         DurationText(arrival - t.openSince).c_str())
                : sjis(u8"期限より前のイベントが期限の後に記録されました");
        text = platform::StringPrintf(
            sjis(u8"監視イベント番号 %d の期待したイベントが発生しました。\r\n\r\n期待：%s\r\n"
                 u8"期限：%s\r\n発生：%s\r\n記録：%s (%s)\r\n\r\n")
                .c_str(),
            static_cast<int>(e.EventNum), ExpectationText(e.Rule).c_str(),
            DateTimeText(t.openSince).c_str(), happened.c_str(), DateTimeText(arrival).c_str(),
            when.c_str());
    } else {
        text = platform::StringPrintf(
            sjis(u8"監視イベント番号 %d の問題は復旧しました。\r\n\r\n発生：%s\r\n復旧：%s\r\n"
                 u8"継続時間：%s\r\n問題の間の発生：%d回\r\n最初のイベント：%s\r\n\r\n")
                .c_str(),
            static_cast<int>(e.EventNum),
            DateTimeText(platform::UnixSecondsOfLocal(t.first.TimeGenerated)).c_str(),
            happened.c_str(), DurationText(at - t.openSince).c_str(), t.count,
            EventLine(t.firstLog, t.first).c_str());
    }
    text += MakeReportText(logName, record, e.Note);
    LogMessage(kLogInformation,
               sjis(u8"監視イベント番号: %d - 問題が復旧しました。(継続時間 %s)").c_str(),
               static_cast<int>(e.EventNum), DurationText(at - t.openSince).c_str());
    batch.push_back(Report(e, ReportKind::Recovery, logName, record, std::move(text)));
    t.openSince = 0;
    t.count = 0;
    t.firstLog.clear();
    t.first = EventRecord();
}

StateRules::Role StateRules::RoleOf(const std::string& logName, const EventRecord& record,
                                    const TickBatch& batch, size_t first, size_t end) const {
    for (size_t i = first; i < end; ++i) {
        if (batch[i]->Watch && m_entries.count(batch[i]->Watch->EventNum)) return Role::Event;
    }
    for (const auto& [number, test] : m_recoveryTests) {
        if (EntryMatches(test, logName, record)) return Role::Recovery;
    }
    return Role::None;
}

void StateRules::Observe(const std::string& logName, const EventRecord& record,
                         std::int64_t arrival, TickBatch& batch, size_t first, size_t end) {
    if (m_entries.empty()) return;
    end = std::min(end, batch.size());
    const std::int64_t when = arrival;
    std::vector<int> closed;
    for (const auto& [number, test] : m_recoveryTests) {
        Tracked& t = m_state[number];
        // A recovery that arrived before the problem ends nothing.
        if (t.openSince == 0 || when < t.openSince || !EntryMatches(test, logName, record))
            continue;
        Close(*m_entries[number], t, logName, record, when, batch);
        closed.push_back(number);
    }
    for (size_t i = first; i < end; ++i) {
        ReportRecord& report = *batch[i];
        if (!report.Watch) continue;
        const auto entry = m_entries.find(report.Watch->EventNum);
        if (entry == m_entries.end()) continue;
        const WatchEntry& e = *entry->second;
        Tracked& t = m_state[e.EventNum];
        t.lastSeen = std::max(t.lastSeen, when);
        if (e.Rule.Kind == WatchRule::kAbsence) {
            if (e.Rule.Every == 0) {
                for (const std::int64_t window : WindowsMetBy(e.Rule, when)) {
                    if (window + e.Rule.Grace > t.checked && t.satisfied.size() < kSatisfiedMax)
                        t.satisfied.insert(window);
                }
            }
            report.Kind = e.Rule.ReportMatches ? ReportKind::Match : ReportKind::Expected;
            if (t.openSince != 0) Close(e, t, logName, record, when, batch);
            continue;
        }
        if (std::find(closed.begin(), closed.end(), e.EventNum) != closed.end()) {
            report.Kind = ReportKind::Expected;  // the record that ended the problem
        } else if (t.openSince == 0) {
            report.Kind = ReportKind::Opened;
            t.openSince = when;
            t.count = 1;
            t.notified = m_now;
            t.firstLog = logName;
            t.first = record;
        } else {
            ++t.count;
            if (e.Rule.Renotify > 0 && m_now >= t.notified + e.Rule.Renotify * 60ll) {
                t.notified = m_now;
                report.ReportText += platform::StringPrintf(
                    sjis(u8"\r\n\r\n問題は%sから続いています(%d回目の発生)。").c_str(),
                    DateTimeText(platform::UnixSecondsOfLocal(t.first.TimeGenerated)).c_str(),
                    t.count);
            } else {
                report.Kind = ReportKind::Repeated;
                report.NotifyHeld = true;
            }
        }
    }
}

void StateRules::EndTick(TickBatch& batch) { JudgeUntil(m_now, batch); }

void StateRules::JudgeUntil(std::int64_t time, TickBatch& batch) {
    for (const auto& [number, entry] : m_entries) {
        if (entry->Rule.Kind == WatchRule::kAbsence)
            Judge(number, *entry, m_state[number], time, batch);
    }
}

void StateRules::Judge(int number, const WatchEntry& e, Tracked& t, std::int64_t now,
                       TickBatch& batch) {
    const WatchRule& r = e.Rule;
    std::vector<RuleWindow> missed;
    if (r.Every > 0) {
        const std::int64_t period = r.Every * 60ll;
        const std::int64_t due = std::max(t.lastSeen, t.since) + period;
        if (t.openSince == 0 && now >= due + r.Grace) missed.push_back({due - period, due});
    } else {
        platform::SystemTime day =
            platform::LocalTimeOf(std::max(t.checked - r.Grace, now - kLookBack));
        day.hour = day.minute = day.second = 0;
        for (; platform::UnixSecondsOfLocal(day) <= now; day = platform::AddDays(day, 1)) {
            if (!(r.Days & (1 << day.dayOfWeek))) continue;
            const RuleWindow w = DailyWindow(r, day);
            // A window that began before watching did cannot be judged.
            if (w.end + r.Grace > t.checked && w.end + r.Grace <= now && w.start >= t.since &&
                !t.satisfied.count(w.end)) {
                missed.push_back(w);
            }
        }
        t.checked = std::max(t.checked, now);
        std::erase_if(t.satisfied, [&](std::int64_t end) { return end + r.Grace <= t.checked; });
    }
    if (!missed.empty()) {
        if (t.openSince == 0) {
            t.openSince = missed.front().end;
            t.count = 0;
        }
        t.count += static_cast<int>(missed.size());
        t.notified = now;
        std::string description =
            missed.size() == 1
                ? platform::StringPrintf(
                      sjis(u8"期待したイベントが発生しませんでした。\r\n期待：%s\r\n期間：%s ～ "
                           u8"%s\r\n最後の発生：%s")
                          .c_str(),
                      ExpectationText(r).c_str(), DateTimeText(missed.front().start).c_str(),
                      DateTimeText(missed.front().end).c_str(),
                      LastSeenText(t.lastSeen, t.since).c_str())
                : platform::StringPrintf(
                      sjis(u8"期待したイベントが%u回の期間に発生しませんでした。\r\n期待：%s\r\n"
                           u8"最初の期間：%s ～ %s\r\n最後の期間：%s ～ %s\r\n最後の発生：%s")
                          .c_str(),
                      static_cast<unsigned>(missed.size()), ExpectationText(r).c_str(),
                      DateTimeText(missed.front().start).c_str(),
                      DateTimeText(missed.front().end).c_str(),
                      DateTimeText(missed.back().start).c_str(),
                      DateTimeText(missed.back().end).c_str(),
                      LastSeenText(t.lastSeen, t.since).c_str());
        LogMessage(kLogWarning,
                   sjis(u8"監視イベント番号: %d - 期待したイベントが発生していません。").c_str(),
                   number);
        const EventRecord self = SelfRecord(e, missed.back().end, std::move(description));
        t.firstLog = e.LogName;
        t.first = self;
        batch.push_back(Report(e, ReportKind::Absence, e.LogName, self,
                               MakeReportText(e.LogName, self, e.Note)));
        return;
    }
    if (t.openSince != 0 && r.Renotify > 0 && now >= t.notified + r.Renotify * 60ll) {
        t.notified = now;
        const EventRecord self = SelfRecord(
            e, now,
            platform::StringPrintf(
                sjis(u8"期待したイベントは、%sから発生していません。\r\n期待：%s\r\n最後の発生：%s")
                    .c_str(),
                DateTimeText(t.openSince).c_str(), ExpectationText(r).c_str(),
                LastSeenText(t.lastSeen, t.since).c_str()));
        batch.push_back(Report(e, ReportKind::Absence, e.LogName, self,
                               MakeReportText(e.LogName, self, e.Note)));
    }
}

std::int64_t StateRules::NextDeadline() const {
    std::int64_t next = 0;
    auto take = [&next](std::int64_t time) {
        if (time > 0 && (next == 0 || time < next)) next = time;
    };
    for (const auto& [number, entry] : m_entries) {
        const WatchRule& r = entry->Rule;
        const auto found = m_state.find(number);
        if (r.Kind != WatchRule::kAbsence || found == m_state.end()) continue;
        const Tracked& t = found->second;
        if (t.openSince != 0 && r.Renotify > 0) take(t.notified + r.Renotify * 60ll);
        if (r.Every > 0) {
            if (t.openSince == 0) take(std::max(t.lastSeen, t.since) + r.Every * 60ll + r.Grace);
            continue;
        }
        // The next window not judged yet, not met yet, and begun after watching did.
        platform::SystemTime day = platform::LocalTimeOf(std::max(t.checked - r.Grace, t.since));
        day.hour = day.minute = day.second = 0;
        for (int i = 0; i < 9; ++i, day = platform::AddDays(day, 1)) {
            if (!(r.Days & (1 << day.dayOfWeek))) continue;
            const RuleWindow w = DailyWindow(r, day);
            if (w.end + r.Grace > t.checked && w.start >= t.since && !t.satisfied.count(w.end)) {
                take(w.end + r.Grace);
                break;
            }
        }
    }
    return next;
}

size_t StateRules::OpenProblems() const {
    return static_cast<size_t>(std::count_if(m_state.begin(), m_state.end(), [](const auto& item) {
        return item.second.openSince != 0;
    }));
}

std::string StateRules::Format() const {
    std::string out = "QuorvikState=1\r\n";
    for (const auto& [number, t] : m_state) {
        out += platform::StringPrintf(
            "[%d]\r\nRule=%s\r\nSince=%lld\r\nChecked=%lld\r\nLastSeen=%lld\r\nOpen=%lld\r\n"
            "Notified=%lld\r\nCount=%d\r\n",
            number, t.rule.c_str(), static_cast<long long>(t.since),
            static_cast<long long>(t.checked), static_cast<long long>(t.lastSeen),
            static_cast<long long>(t.openSince), static_cast<long long>(t.notified), t.count);
        for (std::int64_t end : t.satisfied)
            out += platform::StringPrintf("Satisfied=%lld\r\n", static_cast<long long>(end));
        if (t.openSince != 0) AppendEventFields(out, "First", t.firstLog, t.first);
        out += "End=1\r\n";
    }
    return out;
}

void StateRules::Parse(std::string_view text) {
    m_state.clear();
    Tracked t;
    std::int64_t number = -1;
    bool valid = false;
    platform::ReadStateLines(
        text, "QuorvikState=1",
        [&](std::optional<std::int64_t> n) {
            t = Tracked();
            number = n.value_or(-1);
            valid = n && number >= -0x7FFFFFFFll - 1 && number <= 0x7FFFFFFF;
        },
        [&](std::string_view name, std::string_view value) {
            if (!valid) return;
            std::int64_t n = 0;
            const bool isNumber = platform::ParseDecimal(value, n);
            if (name == "Rule") {
                // A key as RuleKey writes it, nothing else.
                valid = value.size() == 16 && std::all_of(value.begin(), value.end(), [](char c) {
                            return platform::HexDigitValue(c) >= 0;
                        });
                t.rule = std::string(value);
            } else if (name.substr(0, 5) == "First") {
                // Only what the reports show: a damaged field leaves its default, as in FLOOD.DAT.
                ReadEventField(name.substr(5), value, t.firstLog, t.first);
            } else if (name == "End") {
                if (!t.rule.empty() && t.count >= 0) m_state[static_cast<int>(number)] = t;
                valid = false;
            } else if (!isNumber) {
                valid = false;  // a damaged entry is dropped whole
            } else if (name == "Since") {
                t.since = n;
            } else if (name == "Checked") {
                t.checked = n;
            } else if (name == "LastSeen") {
                t.lastSeen = n;
            } else if (name == "Open") {
                t.openSince = n;
            } else if (name == "Notified") {
                t.notified = n;
            } else if (name == "Count") {
                t.count = static_cast<int>(std::clamp<std::int64_t>(n, -1, 0x7FFFFFFF));
            } else if (name == "Satisfied" && t.satisfied.size() < kSatisfiedMax) {
                t.satisfied.insert(n);
            }
        });
}

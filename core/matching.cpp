#include "core/matching.h"

#include <algorithm>
#include <cstdio>

#include "core/program_log.h"
#include "eventlog/catalog.h"
#include "expr/parser.h"
#include "platform/bytes.h"
#include "platform/codepage.h"

std::string VisibleText(std::string_view text, bool oneLine) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        // Shift-JIS trail bytes are 0x40 and above: a byte below 0x20 is always a character.
        const bool control = c < 0x20 || c == 0x7F;
        if (!control || c == '\t' || (!oneLine && (c == '\r' || c == '\n'))) {
            out += ch;
            continue;
        }
        switch (c) {
            case 0x00: out += "<NUL>"; break;
            case 0x1B: out += "<ESC>"; break;
            case '\r': out += "<CR>"; break;
            case '\n': out += "<LF>"; break;
            default: out += platform::StringPrintf("<%02X>", c); break;
        }
    }
    return out;
}

std::string MakeReportText(const std::string& logName, const EventRecord& r,
                           const std::string& note) {
    static const std::string& kFormat = sjis(
        u8"種別：%s\r\n日付：%04d/%02d/%02d\r\n時刻：%02d:%02d:%02d\r\nユーザー：%s\r\n"
        u8"コンピュータ：%s\r\nイベントID：%d\r\nソース：%s\r\n種類：%s\r\n分類：%s\r\n\r\n"
        u8"説明：\r\n%s\r\n\r\n");
    static const std::string& kNote = sjis(u8"注記：\r\n");
    const platform::SystemTime& t = r.TimeGenerated;
    // What a sender wrote reaches the mail as text: a field cannot add a line, and an escape or a
    // NUL cannot switch the mail's character set or cut it short.
    const std::string log = VisibleText(logName, true), user = VisibleText(r.User, true),
                      computer = VisibleText(r.ComputerName, true),
                      source = VisibleText(r.SourceName, true),
                      category = VisibleText(r.Category, true),
                      description = VisibleText(r.Description, false);
    auto format = [&](char* buffer, size_t size) {
        return std::snprintf(buffer, size, kFormat.c_str(), log.c_str(), t.year, t.month, t.day,
                             t.hour, t.minute, t.second, user.c_str(), computer.c_str(),
                             static_cast<int>(r.EventID & 0xFFFF), source.c_str(),
                             EventTypeName(r.EventType).c_str(), category.c_str(),
                             description.c_str());
    };
    char small[1024];
    const int n = format(small, sizeof small);
    std::string text;
    if (n < 0) return text;
    if (static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
    } else {
        text.resize(static_cast<size_t>(n) + 1);
        format(text.data(), text.size());
        text.resize(static_cast<size_t>(n));
    }
    if (!note.empty()) text += kNote + note;
    return text;
}

void AppendEventFields(std::string& out, const char* prefix, const std::string& log,
                       const EventRecord& r) {
    auto number = [&](const char* name, long long value) {
        out += platform::StringPrintf("%s%s=%lld\r\n", prefix, name, value);
    };
    auto text = [&](const char* name, const std::string& value) {
        out += platform::StringPrintf("%s%s=%s\r\n", prefix, name, platform::ToHex(value).c_str());
    };
    text("Log", log);
    number("Record", r.RecordNumber);
    number("Time", platform::UnixSecondsOfLocal(r.TimeGenerated));
    number("EventID", r.EventID);
    number("Type", r.EventType);
    text("Description", r.Description);
    text("Category", r.Category);
    text("Source", r.SourceName);
    text("Computer", r.ComputerName);
    text("User", r.User);
}

bool ReadEventField(std::string_view field, std::string_view value, std::string& log,
                    EventRecord& r) {
    std::int64_t n = 0;
    if (field == "Record" || field == "Time" || field == "EventID" || field == "Type") {
        if (!platform::ParseDecimal(value, n) || n < 0 || n > 0xFFFFFFFFll) return false;
        if (field == "Record") r.RecordNumber = static_cast<std::uint32_t>(n);
        if (field == "Time") r.TimeGenerated = platform::LocalTimeOf(n);
        if (field == "EventID") r.EventID = static_cast<std::uint32_t>(n);
        if (field == "Type") r.EventType = static_cast<std::uint16_t>(n);
        return true;
    }
    std::string* target = field == "Log"           ? &log
                          : field == "Description" ? &r.Description
                          : field == "Category"    ? &r.Category
                          : field == "Source"      ? &r.SourceName
                          : field == "Computer"    ? &r.ComputerName
                          : field == "User"        ? &r.User
                                                   : nullptr;
    std::string bytes;
    if (!target || !platform::FromHex(value, bytes)) return false;
    *target = std::move(bytes);
    return true;
}

const char* ReportKindName(ReportKind kind) {
    switch (kind) {
        case ReportKind::Match: return "match";
        case ReportKind::Opened: return "opened";
        case ReportKind::Expected: return "expected";
        case ReportKind::Repeated: return "repeated";
        case ReportKind::Absence: return "absence";
        case ReportKind::Recovery: return "recovery";
    }
    return "";
}

const char* MatchTestName(MatchTest test) {
    switch (test) {
        case MatchTest::Log: return "log";
        case MatchTest::Source: return "source";
        case MatchTest::Type: return "type";
        case MatchTest::EventId: return "eventId";
        case MatchTest::Category: return "category";
        case MatchTest::Computer: return "computer";
        case MatchTest::Condition: return "condition";
    }
    return "";
}

bool EntryMatches(const WatchEntry& e, const std::string& logName, const EventRecord& r,
                  MatchTest* failed) {
    // The numbers first when nobody asks which test failed: they are the cheapest tests, and
    // the answer is the same in any order.
    if (!failed &&
        ((e.Type != 0 && static_cast<std::uint16_t>(e.Type) != r.EventType) ||
         (e.EventID != 0 && static_cast<std::uint32_t>(e.EventID) != (r.EventID & 0xFFFF)))) {
        return false;
    }
    const std::string& any = AnyValueText();
    auto fail = [&](MatchTest test) {
        if (failed) *failed = test;
        return false;
    };
    // "Any" is compared byte for byte; names without regard to case.
    if (e.LogName != any && !platform::EqualsNoCase(e.LogName, logName))
        return fail(MatchTest::Log);
    if (e.SourceName != any && !platform::EqualsNoCase(e.SourceName, r.SourceName)) {
        return fail(MatchTest::Source);
    }
    if (e.Type != 0 && static_cast<std::uint16_t>(e.Type) != r.EventType)
        return fail(MatchTest::Type);
    if (e.EventID != 0 && static_cast<std::uint32_t>(e.EventID) != (r.EventID & 0xFFFF)) {
        return fail(MatchTest::EventId);
    }
    if (e.Category != any && !platform::EqualsNoCase(e.Category, r.Category)) {
        return fail(MatchTest::Category);
    }
    if (!e.Computers.empty() && !ComputerMatches(e.Computers, r.ComputerName)) {
        return fail(MatchTest::Computer);
    }
    // The expression runs last: it is by far the dearest test.
    if (!e.Condition.empty()) {
        bool internalError = false;
        if (!MatchCondition(e.Condition, r.Description, &internalError)) {
            if (internalError) {
                LogMessage(kLogError,
                           sjis(u8"監視イベント番号: %d - 検索式の評価で内部エラーが発生しました。")
                               .c_str(),
                           e.EventNum);
            }
            return fail(MatchTest::Condition);
        }
    }
    return true;
}

namespace {

void AddReport(const WatchEntry& entry, const std::string& logName, const EventRecord& record,
               TickBatch& batch) {
    auto report = std::make_unique<ReportRecord>();
    report->LogName = logName;
    report->Event = record;
    report->Recipients = entry.AddrList;
    report->Watch = &entry;
    report->ReportText = MakeReportText(logName, record, entry.Note);
    batch.push_back(std::move(report));
}

std::string SourceAndId(const std::string& foldedSource, std::uint32_t id) {
    return foldedSource + '\0' + std::to_string(id);
}

}  // namespace

void MatchRecord(const WatchList& watches, const std::string& logName, const EventRecord& record,
                 TickBatch& batch) {
    // This runs for every record and every entry: the debug lines cost nothing while off.
    const bool debug = LogDebugEnabled();
    if (debug) LogDebug(sjis(u8"監視リスト検索開始:%s").c_str(), logName.c_str());
    for (const auto& entry : watches) {
        if (debug) LogDebug(sjis(u8"監視イベント番号: %d").c_str(), entry->EventNum);
        if (!EntryMatches(*entry, logName, record)) continue;
        if (debug) {
            LogDebug(sjis(u8"監視イベント番号: %d - 監視イベントが発生").c_str(), entry->EventNum);
            LogDebug("%s", sjis(u8"メール送信データ作成開始").c_str());
        }
        AddReport(*entry, logName, record, batch);
        if (debug) LogDebug("%s", sjis(u8"メール送信データ作成終了").c_str());
    }
    if (debug) LogDebug(sjis(u8"監視リスト検索終了:%s").c_str(), logName.c_str());
}

WatchIndex::WatchIndex(const WatchList& watches) : m_watches(watches) {
    const std::string& any = AnyValueText();
    for (size_t i = 0; i < watches.size(); ++i) {
        const WatchEntry& e = *watches[i];
        Add(e.LogName == any ? m_anyLog : m_byLog[platform::FoldCase(e.LogName)], e, i);
    }
}

void WatchIndex::Add(Group& group, const WatchEntry& e, size_t position) {
    const bool source = e.SourceName != AnyValueText();
    const bool id = e.EventID != 0;
    const std::string folded = source ? platform::FoldCase(e.SourceName) : std::string();
    const auto number = static_cast<std::uint32_t>(e.EventID);
    if (source && id) {
        group.bySourceAndId[SourceAndId(folded, number)].push_back(position);
    } else if (source) {
        group.bySource[folded].push_back(position);
    } else if (id) {
        group.byId[number].push_back(position);
    } else {
        group.rest.push_back(position);
    }
}

void WatchIndex::Collect(const Group& group, const std::string& source, std::uint32_t id,
                         std::vector<size_t>& out) {
    auto take = [&](const std::vector<size_t>& positions) {
        out.insert(out.end(), positions.begin(), positions.end());
    };
    if (const auto it = group.bySourceAndId.find(SourceAndId(source, id));
        it != group.bySourceAndId.end()) {
        take(it->second);
    }
    if (const auto it = group.bySource.find(source); it != group.bySource.end()) take(it->second);
    if (const auto it = group.byId.find(id); it != group.byId.end()) take(it->second);
    take(group.rest);
}

void WatchIndex::Candidates(const std::string& logName, const EventRecord& record,
                            std::vector<size_t>& out) const {
    out.clear();
    const std::string source = platform::FoldCase(record.SourceName);
    const std::uint32_t id = record.EventID & 0xFFFF;
    if (const auto it = m_byLog.find(platform::FoldCase(logName)); it != m_byLog.end()) {
        Collect(it->second, source, id, out);
    }
    Collect(m_anyLog, source, id, out);
    // Reports go out in list order, as without the index.
    std::sort(out.begin(), out.end());
}

void MatchRecord(const WatchIndex& index, const std::string& logName, const EventRecord& record,
                 TickBatch& batch) {
    if (LogDebugEnabled()) return MatchRecord(index.Watches(), logName, record, batch);
    thread_local std::vector<size_t> candidates;
    index.Candidates(logName, record, candidates);
    for (size_t position : candidates) {
        const WatchEntry& entry = *index.Watches()[position];
        if (EntryMatches(entry, logName, record)) AddReport(entry, logName, record, batch);
    }
}

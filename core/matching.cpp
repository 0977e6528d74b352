#include "core/matching.h"

#include <cstdio>

#include "core/program_log.h"
#include "eventlog/catalog.h"
#include "expr/parser.h"
#include "platform/codepage.h"

std::string MakeReportText(const std::string& logName, const EventRecord& r,
                           const std::string& note) {
    static const std::string& kFormat = sjis(
        u8"種別：%s\r\n日付：%04d/%02d/%02d\r\n時刻：%02d:%02d:%02d\r\nユーザー：%s\r\n"
        u8"コンピュータ：%s\r\nイベントID：%d\r\nソース：%s\r\n種類：%s\r\n分類：%s\r\n\r\n"
        u8"説明：\r\n%s\r\n\r\n");
    static const std::string& kNote = sjis(u8"注記：\r\n");
    const platform::SystemTime& t = r.TimeGenerated;
    auto format = [&](char* buffer, size_t size) {
        return std::snprintf(buffer, size, kFormat.c_str(), logName.c_str(), t.year, t.month, t.day,
                             t.hour, t.minute, t.second, r.User.c_str(), r.ComputerName.c_str(),
                             static_cast<int>(r.EventID & 0xFFFF), r.SourceName.c_str(),
                             EventTypeName(r.EventType).c_str(), r.Category.c_str(),
                             r.Description.c_str());
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

const char* MatchTestName(MatchTest test) {
    switch (test) {
        case MatchTest::Log: return "log";
        case MatchTest::Source: return "source";
        case MatchTest::Type: return "type";
        case MatchTest::EventId: return "eventId";
        case MatchTest::Category: return "category";
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
    // The expression runs last: it is by far the dearest test.
    if (!e.Condition.empty() && !MatchCondition(e.Condition, r.Description)) {
        return fail(MatchTest::Condition);
    }
    return true;
}

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
        auto report = std::make_unique<ReportRecord>();
        report->LogName = logName;
        report->Event = record;
        report->Recipients = entry->AddrList;
        report->Watch = entry.get();
        report->ReportText = MakeReportText(logName, record, entry->Note);
        batch.push_back(std::move(report));
        if (debug) LogDebug("%s", sjis(u8"メール送信データ作成終了").c_str());
    }
    if (debug) LogDebug(sjis(u8"監視リスト検索終了:%s").c_str(), logName.c_str());
}

#include "core/flood_control.h"

#include "core/program_log.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/codepage.h"

namespace {

std::string DateTimeText(const platform::SystemTime& t) {
    return platform::StringPrintf("%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                                  t.minute, t.second);
}

std::string FirstLine(const std::string& text) {
    const size_t end = text.find_first_of("\r\n");
    return text.substr(0, end);
}

std::string EventLines(const char8_t* title, const std::string& log, const EventRecord& r) {
    return platform::StringPrintf(
        sjis(u8"%s\r\n日付：%s\r\nログ：%s\r\nソース：%s\r\nイベントID：%d\r\n説明：%s\r\n")
            .c_str(),
        sjis(title).c_str(), DateTimeText(r.TimeGenerated).c_str(), log.c_str(),
        r.SourceName.c_str(), static_cast<int>(r.EventID & 0xFFFF),
        FirstLine(r.Description).c_str());
}

}  // namespace

std::string FloodSummaryText(int watchNumber, int limit, int held, const std::string& firstLog,
                             const EventRecord& first, const std::string& lastLog,
                             const EventRecord& last, std::int64_t startSeconds,
                             std::int64_t endSeconds) {
    std::string text = platform::StringPrintf(
        sjis(u8"監視イベント番号 %d の通知は、1時間あたり%d件を超えたため控えました。\r\n\r\n"
             u8"控えた通知：%d件\r\n期間：%s ～ %s\r\n\r\n")
            .c_str(),
        watchNumber, limit, held, DateTimeText(platform::LocalTimeOf(startSeconds)).c_str(),
        DateTimeText(platform::LocalTimeOf(endSeconds)).c_str());
    text += EventLines(u8"最初の通知", firstLog, first);
    if (held > 1) text += "\r\n" + EventLines(u8"最後の通知", lastLog, last);
    return text;
}

void FloodControl::Mark(TickBatch& batch, std::int64_t now) {
    for (const auto& report : batch) {
        if (report->Recipients.empty() || !report->Watch) continue;
        const int number = report->Watch->EventNum;
        auto it = m_windows.find(number);
        if (it != m_windows.end() && now - it->second.start >= kWindow && it->second.held == 0) {
            m_windows.erase(it);  // an hour that ended quietly
            it = m_windows.end();
        }
        if (it == m_windows.end()) {
            it = m_windows.emplace(number, Window()).first;
            it->second.start = now;
        }
        Window& w = it->second;
        if (w.notified < m_limit && w.held == 0) {
            ++w.notified;
            continue;
        }
        report->NotifyHeld = true;
        if (w.held == 0) {
            w.firstLog = report->LogName;
            w.first = report->Event;
            LogMessage(kLogWarning,
                       sjis(u8"監視イベント番号: %d - 1時間の通知数が上限(%d件)に達したため、"
                            u8"以降の通知を控えます。")
                           .c_str(),
                       number, m_limit);
        }
        ++w.held;
        w.lastLog = report->LogName;
        w.last = report->Event;
        w.watch = *report->Watch;
        w.recipients = report->Recipients;
    }
}

TickBatch FloodControl::TakeSummaries(std::int64_t now) {
    m_summaryWatches.clear();
    TickBatch summaries;
    for (auto it = m_windows.begin(); it != m_windows.end();) {
        const Window& w = it->second;
        if (now - w.start < kWindow) {
            ++it;
            continue;
        }
        if (w.held > 0) {
            LogMessage(kLogInformation,
                       sjis(u8"監視イベント番号: %d - 通知の抑制を終了しました。控えた通知は%d件"
                            u8"です。")
                           .c_str(),
                       it->first, w.held);
            auto watch = std::make_unique<WatchEntry>(w.watch);
            watch->MailSubject += sjis(u8" (控えた通知のまとめ)");
            auto report = std::make_unique<ReportRecord>();
            report->LogName = w.lastLog;
            report->Event = w.last;
            report->Event.TimeGenerated = platform::LocalTimeOf(now);
            report->Recipients = w.recipients;
            report->Watch = watch.get();
            report->ReportText = FloodSummaryText(it->first, m_limit, w.held, w.firstLog, w.first,
                                                  w.lastLog, w.last, w.start, now);
            m_summaryWatches.push_back(std::move(watch));
            summaries.push_back(std::move(report));
        }
        it = m_windows.erase(it);
    }
    return summaries;
}

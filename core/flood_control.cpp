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
        // Held already (a problem still open): it notifies nobody, so it takes no allowance.
        if (report->Recipients.empty() || !report->Watch || report->NotifyHeld) continue;
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

namespace {

void Field(std::string& out, const char* name, std::int64_t value) {
    out += platform::StringPrintf("%s=%lld\r\n", name, static_cast<long long>(value));
}

void TextField(std::string& out, const char* name, const std::string& value) {
    out += platform::StringPrintf("%s=%s\r\n", name, platform::ToHex(value).c_str());
}

}  // namespace

std::string FloodControl::Format() const {
    std::string out = "QuorvikFlood=1\r\n";
    for (const auto& [number, w] : m_windows) {
        out += "[" + std::to_string(number) + "]\r\n";
        Field(out, "Start", w.start);
        Field(out, "Notified", w.notified);
        Field(out, "Held", w.held);
        TextField(out, "Subject", w.watch.MailSubject);
        for (const std::string& r : w.recipients) TextField(out, "To", r);
        AppendEventFields(out, "First", w.firstLog, w.first);
        AppendEventFields(out, "Last", w.lastLog, w.last);
        out += "End=1\r\n";
    }
    return out;
}

void FloodControl::Parse(std::string_view text) {
    m_windows.clear();
    Window w;
    std::int64_t number = -1;
    bool valid = false;
    platform::ReadStateLines(
        text, "QuorvikFlood=1",
        [&](std::optional<std::int64_t> n) {
            w = Window();
            number = n.value_or(-1);
            valid = number >= 0 && number <= 0x7FFFFFFF;
        },
        [&](std::string_view nameView, std::string_view value) {
            if (!valid) return;
            const std::string name(nameView);
            std::int64_t n = 0;
            std::string bytes;
            const bool isNumber = platform::ParseDecimal(value, n);
            const bool isText = platform::FromHex(value, bytes);
            EventRecord* event = name.rfind("First", 0) == 0  ? &w.first
                                 : name.rfind("Last", 0) == 0 ? &w.last
                                                              : nullptr;
            std::string* log = event == &w.first ? &w.firstLog : &w.lastLog;
            const std::string field = event ? name.substr(event == &w.first ? 5 : 4) : name;
            if (field == "Start" && isNumber) {
                w.start = n;
            } else if (field == "Notified" && isNumber) {
                w.notified = static_cast<int>(n);
            } else if (field == "Held" && isNumber) {
                w.held = static_cast<int>(n);
            } else if (field == "Subject" && isText) {
                w.watch.MailSubject = bytes;
            } else if (field == "To" && isText) {
                w.recipients.push_back(bytes);
            } else if (event && ReadEventField(field, value, *log, *event)) {
            } else if (field == "End") {
                // Only an hour read to its end counts.
                w.watch.EventNum = static_cast<std::int32_t>(number);
                if (w.notified >= 0 && w.held >= 0) m_windows[static_cast<int>(number)] = w;
                valid = false;
            }
        });
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

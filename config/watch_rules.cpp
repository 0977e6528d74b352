#include <map>

#include "config/lists.h"
#include "config/settings.h"
#include "platform/bytes.h"
#include "platform/codepage.h"

namespace {

constexpr std::string_view kHeader = "QuorvikRules=1";
constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// What tells an entry from another under the same number: what it watches, not its wording.
std::string EntryKey(const WatchEntry& e) {
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
    auto add = [&](std::string_view bytes) {
        for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
        hash = (hash ^ 0xFF) * 1099511628211ull;  // a separator no text byte run can fake
    };
    add(e.LogName);
    add(e.SourceName);
    add(std::to_string(e.Type));
    add(std::to_string(e.EventID));
    return platform::StringPrintf("%016llx", static_cast<unsigned long long>(hash));
}

std::string ClockText(int minutes) {
    return platform::StringPrintf("%02d:%02d", minutes / 60, minutes % 60);
}

bool ParseClock(std::string_view text, std::int32_t& minutes) {
    std::int64_t h = 0, m = 0;
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos || !platform::ParseDecimal(text.substr(0, colon), h) ||
        !platform::ParseDecimal(text.substr(colon + 1), m) || h < 0 || h > 23 || m < 0 || m > 59) {
        return false;
    }
    minutes = static_cast<std::int32_t>(h * 60 + m);
    return true;
}

std::string DaysText(int days) {
    std::string text;
    for (int d = 0; d < 7; ++d) {
        if (!(days & (1 << d))) continue;
        if (!text.empty()) text += ',';
        text += kDayNames[d];
    }
    return text;
}

bool ParseDays(std::string_view text, std::int32_t& days) {
    days = 0;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view name = text.substr(0, comma);
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
        int d = 0;
        while (d < 7 && name != kDayNames[d]) ++d;
        if (d == 7) return false;
        days |= 1 << d;
    }
    return true;
}

bool InRange(std::int64_t value, std::int64_t low, std::int64_t high) {
    return low <= value && value <= high;
}

// A rule as a hand or another program may have left it: kept only when every value makes sense.
bool Sensible(const WatchRule& r) {
    return InRange(r.Kind, WatchRule::kNone, WatchRule::kRecovery) &&
           InRange(r.Every, 0, kRuleMinutesMax) && InRange(r.Renotify, 0, kRuleMinutesMax) &&
           InRange(r.Grace, 0, kRuleGraceMax) && InRange(r.From, 0, 1439) &&
           InRange(r.By, 0, 1439) && InRange(r.Days, 0, 0x7F) &&
           (r.Kind != WatchRule::kAbsence || r.Every != 0 || r.Days != 0) &&
           InRange(r.EventID, 0, 65535);
}

}  // namespace

std::string WatchRulesPath() { return ConfigDirectory() + "RULES.DAT"; }

std::string FormatWatchRules(const WatchList& list) {
    std::string out = std::string(kHeader) + "\r\n";
    for (const auto& e : list) {
        const WatchRule& r = e->Rule;
        if (r.Kind == WatchRule::kNone && e->Computers.empty()) continue;
        out += platform::StringPrintf(
            "[%d]\r\nFor=%s\r\nKind=%d\r\nEvery=%d\r\nFrom=%s\r\nBy=%s\r\nDays=%s\r\n"
            "ReportMatches=%d\r\nRenotify=%d\r\nGrace=%d\r\nLog=%s\r\nSource=%s\r\nType=%d\r\n"
            "EventID=%d\r\nCondition=%s\r\nComputers=%s\r\nEnd=1\r\n",
            static_cast<int>(e->EventNum), EntryKey(*e).c_str(), static_cast<int>(r.Kind),
            static_cast<int>(r.Every), ClockText(r.From).c_str(), ClockText(r.By).c_str(),
            DaysText(r.Days).c_str(), r.ReportMatches ? 1 : 0, static_cast<int>(r.Renotify),
            static_cast<int>(r.Grace), platform::ToHex(r.LogName).c_str(),
            platform::ToHex(r.SourceName).c_str(), static_cast<int>(r.Type),
            static_cast<int>(r.EventID), platform::ToHex(r.Condition).c_str(),
            platform::ToHex(e->Computers).c_str());
    }
    return out;
}

void ApplyWatchRules(std::string_view text, WatchList& list, std::vector<std::string>* warnings) {
    auto warn = [&](const char8_t* message, std::int64_t number) {
        if (warnings) {
            warnings->push_back(
                platform::StringPrintf(sjis(message).c_str(), static_cast<int>(number)));
        }
    };
    std::map<std::int64_t, WatchEntry*> byNumber;
    for (const auto& e : list) byNumber[e->EventNum] = e.get();
    WatchRule rule;
    std::string key, computers;
    std::int64_t number = 0;
    bool inSection = false, valid = false;
    const bool known = platform::ReadStateLines(
        text, kHeader,
        [&](std::optional<std::int64_t> n) {
            rule = WatchRule();
            key.clear();
            computers.clear();
            inSection = true;
            valid = n.has_value();
            number = n.value_or(0);
        },
        [&](std::string_view name, std::string_view value) {
            if (!inSection) return;
            std::int64_t n = 0;
            const bool isNumber =
                platform::ParseDecimal(value, n) && InRange(n, -32768, 0x7FFFFFFF);
            const auto asInt = static_cast<std::int32_t>(n);
            if (name == "For") {
                key = std::string(value);
            } else if (name == "Kind" || name == "Every" || name == "Renotify" || name == "Grace" ||
                       name == "EventID" || name == "Type" || name == "ReportMatches") {
                valid = valid && isNumber;
                if (name == "Kind") rule.Kind = asInt;
                if (name == "Every") rule.Every = asInt;
                if (name == "Renotify") rule.Renotify = asInt;
                if (name == "Grace") rule.Grace = asInt;
                if (name == "EventID") rule.EventID = asInt;
                if (name == "Type") rule.Type = static_cast<std::int16_t>(asInt);
                if (name == "ReportMatches") rule.ReportMatches = n != 0;
            } else if (name == "From") {
                valid = valid && ParseClock(value, rule.From);
            } else if (name == "By") {
                valid = valid && ParseClock(value, rule.By);
            } else if (name == "Days") {
                valid = valid && ParseDays(value, rule.Days);
            } else if (name == "Computers") {
                valid = valid && platform::FromHex(value, computers);
            } else if (name == "Log" || name == "Source" || name == "Condition") {
                std::string bytes;
                valid = valid && platform::FromHex(value, bytes);
                (name == "Log"      ? rule.LogName
                 : name == "Source" ? rule.SourceName
                                    : rule.Condition) = bytes;
            } else if (name == "End") {
                inSection = false;
                const auto found = byNumber.find(number);
                if (!valid || !Sensible(rule)) {
                    warn(
                        u8"RULES.DAT の監視イベント番号 %d の状態の設定は壊れているため、使いま"
                        u8"せん。",
                        number);
                } else if (found == byNumber.end() || EntryKey(*found->second) != key) {
                    warn(
                        u8"RULES.DAT の監視イベント番号 %d の状態の設定は、別の監視イベントのも"
                        u8"ののため使いません。",
                        number);
                } else {
                    found->second->Rule = rule;
                    found->second->Computers = computers;
                }
            }
        });
    if (!known && !text.empty() && warnings) {
        warnings->push_back(
            sjis(u8"RULES.DAT(監視イベントの状態の設定)が読み取れないため、使いません。"));
    }
}

#include "ingest/windows_event.h"

#include <algorithm>

#include "ingest/log_writer.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/json.h"

namespace {

// The classic type of an event type as either agent names it.
std::uint16_t TypeOf(std::string_view name) {
    using platform::EqualsAsciiNoCase;
    if (EqualsAsciiNoCase(name, "error") || EqualsAsciiNoCase(name, "critical")) return 1;
    if (EqualsAsciiNoCase(name, "warning")) return 2;
    for (std::string_view audit : {"success audit", "audit_success", "audit success"}) {
        if (EqualsAsciiNoCase(name, audit)) return 8;
    }
    for (std::string_view audit : {"failure audit", "audit_failure", "audit failure"}) {
        if (EqualsAsciiNoCase(name, audit)) return 16;
    }
    return 4;
}

bool Digits(std::string_view text, int& value) {
    std::int64_t n = 0;
    if (text.empty() || text.size() > 9 || !platform::ParseDecimal(text, n)) return false;
    value = static_cast<int>(n);
    return true;
}

// The sender's local time, which carries no zone: read as this machine's local time.
std::int64_t LocalSeconds(int year, int month, int day, int hour, int minute, int second) {
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 ||
        year < 1970 || year > 9999) {
        return -1;
    }
    platform::SystemTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    return platform::UnixSecondsOfLocal(t);
}

// Snare's "Fri Dec 05 10:11:12 2025".
std::int64_t SnareTime(std::string_view text) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::vector<std::string_view> words;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find(' ', at), text.size());
        if (end > at) words.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    if (words.size() != 5 || words[3].size() != 8 || words[3][2] != ':' || words[3][5] != ':') {
        return -1;
    }
    const auto* month = std::find(std::begin(kMonths), std::end(kMonths), words[1]);
    int day = 0, year = 0, h = 0, m = 0, s = 0;
    if (month == std::end(kMonths) || !Digits(words[2], day) || !Digits(words[4], year) ||
        !Digits(words[3].substr(0, 2), h) || !Digits(words[3].substr(3, 2), m) ||
        !Digits(words[3].substr(6, 2), s)) {
        return -1;
    }
    return LocalSeconds(year, static_cast<int>(month - std::begin(kMonths)) + 1, day, h, m, s);
}

// NXLog's "2025-12-05 10:11:12" (local), or RFC 3339 with its zone.
std::int64_t NxlogTime(std::string_view text) {
    std::int64_t seconds = -1;
    if (Rfc3339(text, seconds)) return seconds;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (text.size() < 19 || text[4] != '-' || text[7] != '-' ||
        (text[10] != ' ' && text[10] != 'T') || text[13] != ':' || text[16] != ':' ||
        !Digits(text.substr(0, 4), y) || !Digits(text.substr(5, 2), mo) ||
        !Digits(text.substr(8, 2), d) || !Digits(text.substr(11, 2), h) ||
        !Digits(text.substr(14, 2), mi) || !Digits(text.substr(17, 2), s)) {
        return -1;
    }
    return LocalSeconds(y, mo, d, h, mi, s);
}

bool ParseSnare(std::string_view raw, ForwardedEvent& out) {
    // The fields follow the word, split by tabs; a relay that escapes control characters
    // (rsyslog) turns them into "#011".
    const size_t word = raw.find("MSWinEventLog");
    if (word == std::string_view::npos || word > 512) return false;
    std::string_view rest = raw.substr(word + 13);
    std::string_view separator = "\t";
    if (rest.substr(0, 4) == "#011") {
        separator = "#011";
    } else if (rest.empty() || rest.front() != '\t') {
        return false;
    }
    std::vector<std::string_view> fields;
    rest.remove_prefix(separator.size());
    for (;;) {
        const size_t end = rest.find(separator);
        fields.push_back(rest.substr(0, end));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + separator.size());
    }
    // criticality, log, counter, time, id, provider, user, SID type, type, computer, category,
    // data, description[, record counter]
    if (fields.size() < 13) return false;
    int id = 0;
    if (!Digits(platform::TrimBlanks(fields[4]), id)) return false;
    auto text = [](std::string_view field) {
        std::string t = TextAsUtf8(platform::TrimBlanks(field));
        return t == "N/A" ? std::string() : t;
    };
    out.log = text(fields[1]);
    out.time = SnareTime(platform::TrimBlanks(fields[3]));
    out.eventId = static_cast<std::uint32_t>(id);
    out.source = text(fields[5]);
    out.user = text(fields[6]);
    out.type = TypeOf(platform::TrimBlanks(fields[8]));
    out.computer = text(fields[9]);
    out.category = text(fields[10]);
    const std::string data = text(fields[11]);
    if (!data.empty()) out.strings.push_back(data);
    out.description = TextAsUtf8(platform::TrimBlanks(fields[12]));
    return !out.log.empty() && !out.source.empty();
}

// NXLog's own fields; every other member is a data value of the event.
bool NxlogField(const std::string& key) {
    static const char* const kOwn[] = {"EventTime",
                                       "EventReceivedTime",
                                       "Hostname",
                                       "Keywords",
                                       "EventType",
                                       "SeverityValue",
                                       "Severity",
                                       "EventID",
                                       "SourceName",
                                       "ProviderGuid",
                                       "Version",
                                       "Task",
                                       "OpcodeValue",
                                       "RecordNumber",
                                       "ActivityID",
                                       "RelatedActivityID",
                                       "ProcessID",
                                       "ThreadID",
                                       "Channel",
                                       "Domain",
                                       "AccountName",
                                       "UserID",
                                       "AccountType",
                                       "Category",
                                       "Opcode",
                                       "Message",
                                       "SourceModuleName",
                                       "SourceModuleType",
                                       "MessageSourceAddress",
                                       "EventData",
                                       "UserData",
                                       "Qualifiers",
                                       "Level",
                                       "ERRORMESSAGE"};
    return std::find(std::begin(kOwn), std::end(kOwn), key) != std::end(kOwn);
}

std::string ValueText(const platform::json::Value& v) {
    using Type = platform::json::Value::Type;
    if (v.type == Type::String || v.type == Type::Number) return v.text;
    if (v.type == Type::Bool) return v.boolean ? "true" : "false";
    return std::string();
}

bool ParseNxlog(std::string_view text, ForwardedEvent& out) {
    text = platform::TrimBlanks(text);
    if (text.empty() || text.front() != '{') return false;
    platform::json::Value root;
    std::string error;
    int line = 0;
    if (!platform::json::Parse(text, root, error, line, 8)) return false;
    const platform::json::Value* id = root.Find("EventID");
    long long number = 0;
    if (!id || !id->Integer(number) || number < 0 || number > 0xFFFFFFFFll) return false;
    auto member = [&](const char* key) {
        const platform::json::Value* v = root.Find(key);
        return v ? ValueText(*v) : std::string();
    };
    out.eventId = static_cast<std::uint32_t>(number);
    long long qualifiers = 0;
    if (const auto* q = root.Find("Qualifiers"); q && q->Integer(qualifiers) && qualifiers > 0 &&
                                                 qualifiers <= 0xFFFF && out.eventId <= 0xFFFF) {
        out.eventId |= static_cast<std::uint32_t>(qualifiers) << 16;
    }
    out.log = member("Channel");
    out.source = member("SourceName");
    out.type = TypeOf(member("EventType"));
    out.category = member("Category");
    out.computer = member("Hostname");
    const std::string account = member("AccountName"), domain = member("Domain");
    out.user = account.empty()  ? member("UserID")
               : domain.empty() ? account
                                : domain + "\\" + account;
    out.time = NxlogTime(member("EventTime"));
    out.description = member("Message");
    for (size_t i = 0; i < root.keys.size(); ++i) {
        if (!NxlogField(root.keys[i])) out.strings.push_back(ValueText(root.values[i]));
    }
    return !out.log.empty() && !out.source.empty();
}

}  // namespace

bool ParseForwardedEvent(const SyslogMessage& message, std::string_view raw, ForwardedEvent& out) {
    out = ForwardedEvent();
    if (ParseSnare(raw, out)) return true;
    out = ForwardedEvent();
    if (ParseNxlog(message.text, out)) return true;
    out = ForwardedEvent();
    return false;
}

std::string LogNameOfChannel(std::string_view channel) {
    std::string name;
    for (char c : channel) {
        name += c == '/' || c == '\\' ? '-' : c;
        if (name.size() == 64) break;
    }
    return name;
}

#include "ingest/syslog_message.h"

#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/codepage.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The next field up to a blank (the blank is consumed); false when there is none.
bool Field(std::string_view& rest, std::string_view& field) {
    if (rest.empty()) return false;
    const size_t blank = rest.find(' ');
    field = rest.substr(0, blank);
    rest.remove_prefix(blank == std::string_view::npos ? rest.size() : blank + 1);
    return !field.empty();
}

std::string Nil(std::string_view field) {
    return field == "-" ? std::string() : std::string(field);
}

bool Number(std::string_view text, int& value) {
    std::int64_t n = 0;
    if (text.empty() || !IsDigit(text.front()) || !platform::ParseDecimal(text, n) || n > 9999)
        return false;
    value = static_cast<int>(n);
    return true;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

}  // namespace

bool Rfc3339(std::string_view t, std::int64_t& seconds) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (t.size() < 20 || t[4] != '-' || t[7] != '-' || (t[10] != 'T' && t[10] != 't') ||
        t[13] != ':' || t[16] != ':' || !Number(t.substr(0, 4), y) || !Number(t.substr(5, 2), mo) ||
        !Number(t.substr(8, 2), d) || !Number(t.substr(11, 2), h) || !Number(t.substr(14, 2), mi) ||
        !Number(t.substr(17, 2), s) || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 ||
        s > 60) {
        return false;
    }
    std::string_view zone = t.substr(19);
    if (!zone.empty() && zone.front() == '.') {
        zone.remove_prefix(1);
        size_t digits = 0;
        while (digits < zone.size() && IsDigit(zone[digits])) ++digits;
        if (digits == 0 || digits > 6) return false;
        zone.remove_prefix(digits);
    }
    int offset = 0;
    if (zone == "Z" || zone == "z") {
        offset = 0;
    } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
        int oh = 0, om = 0;
        if (!Number(zone.substr(1, 2), oh) || !Number(zone.substr(4, 2), om) || oh > 23 || om > 59)
            return false;
        offset = (oh * 60 + om) * (zone[0] == '-' ? -1 : 1);
    } else {
        return false;
    }
    seconds = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s - offset * 60;
    return true;
}

namespace {

// "Dec  7 23:32:02" (local time, no year); false when the text does not start with one.
bool BsdTime(std::string_view t, int year, std::int64_t& seconds) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (t.size() < 15 || t[3] != ' ' || t[6] != ' ' || t[9] != ':' || t[12] != ':') return false;
    int month = 0;
    while (month < 12 && t.substr(0, 3) != kMonths[month]) ++month;
    int day = 0, h = 0, mi = 0, s = 0;
    const std::string_view dayText = t[4] == ' ' ? t.substr(5, 1) : t.substr(4, 2);
    if (month == 12 || !Number(dayText, day) || !Number(t.substr(7, 2), h) ||
        !Number(t.substr(10, 2), mi) || !Number(t.substr(13, 2), s) || day < 1 || day > 31 ||
        h > 23 || mi > 59 || s > 60) {
        return false;
    }
    platform::SystemTime local;
    local.year = year;
    local.month = month + 1;
    local.day = day;
    local.hour = h;
    local.minute = mi;
    local.second = s;
    seconds = platform::UnixSecondsOfLocal(local);
    return true;
}

// The structured data at the start of rest ("-" or one or more "[...]"); false when it is
// neither.
bool StructuredData(std::string_view& rest, std::string& out) {
    if (!rest.empty() && rest.front() == '-') {
        rest.remove_prefix(1);
        return rest.empty() || rest.front() == ' ';
    }
    size_t i = 0;
    while (i < rest.size() && rest[i] == '[') {
        bool quoted = false;
        size_t j = i + 1;
        for (; j < rest.size(); ++j) {
            const char c = rest[j];
            if (quoted && c == '\\' && j + 1 < rest.size()) {
                ++j;  // \" \\ \] inside a value
            } else if (c == '"') {
                quoted = !quoted;
            } else if (c == ']' && !quoted) {
                break;
            }
        }
        if (j >= rest.size()) return false;
        i = j + 1;
    }
    if (i == 0 || (i < rest.size() && rest[i] != ' ')) return false;
    out = std::string(rest.substr(0, i));
    rest.remove_prefix(i);
    return true;
}

std::string_view WithoutBom(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    return text;
}

// A BSD tag: letters, digits and a few marks, ending at "[" or ":"; the rest after it.
bool BsdTag(std::string_view& rest, SyslogMessage& m) {
    size_t i = 0;
    while (i < rest.size() && i <= 48 && rest[i] != '[' && rest[i] != ':' && rest[i] != ' ') ++i;
    if (i == 0 || i > 48 || i == rest.size() || rest[i] == ' ') return false;
    std::string_view after = rest.substr(i);
    std::string pid;
    if (after.front() == '[') {
        const size_t close = after.find(']');
        if (close == std::string_view::npos || close > 32) return false;
        pid = std::string(after.substr(1, close - 1));
        after.remove_prefix(close + 1);
    }
    if (after.empty() || after.front() != ':') return false;
    after.remove_prefix(1);
    if (!after.empty() && after.front() == ' ') after.remove_prefix(1);
    m.appName = std::string(rest.substr(0, i));
    m.procId = pid;
    rest = after;
    return true;
}

}  // namespace

SyslogMessage ParseSyslogMessage(std::string_view bytes, int year) {
    SyslogMessage m;
    // Line ends a sender left at the end are not part of the message.
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r' || bytes.back() == '\0'))
        bytes.remove_suffix(1);
    const size_t close = bytes.find('>');
    int pri = -1;
    if (bytes.size() >= 3 && bytes.front() == '<' && close != std::string_view::npos &&
        close >= 2 && close <= 4 && Number(bytes.substr(1, close - 1), pri) && pri <= 191 &&
        (close == 2 || bytes[1] != '0')) {
        m.facility = pri / 8;
        m.severity = pri % 8;
    } else {
        m.problem = sjis(u8"優先度(PRI)がありません");
        m.text = std::string(bytes);
        return m;
    }
    std::string_view rest = bytes.substr(close + 1);
    if (rest.size() >= 2 && rest[0] == '1' && rest[1] == ' ') {
        m.rfc5424 = true;
        rest.remove_prefix(2);
        std::string_view time, host, app, proc, msgId;
        if (!Field(rest, time) || !Field(rest, host) || !Field(rest, app) || !Field(rest, proc) ||
            !Field(rest, msgId)) {
            m.problem = sjis(u8"RFC 5424の項目が足りません");
            m.text = std::string(bytes);
            return m;
        }
        if (time != "-" && !Rfc3339(time, m.time)) m.problem = sjis(u8"時刻が正しくありません");
        m.hostname = Nil(host);
        m.appName = Nil(app);
        m.procId = Nil(proc);
        m.msgId = Nil(msgId);
        if (!StructuredData(rest, m.structuredData)) {
            m.problem = sjis(u8"構造化データが正しくありません");
            m.text = std::string(WithoutBom(rest));
            return m;
        }
        if (!rest.empty()) rest.remove_prefix(1);
        m.text = std::string(WithoutBom(rest));
        return m;
    }
    // The BSD form: a timestamp, a host name and a tag, each of which senders leave out.
    if (BsdTime(rest, year, m.time)) {
        rest.remove_prefix(rest.size() > 15 && rest[15] == ' ' ? 16 : 15);
        std::string_view probe = rest;
        std::string_view host;
        SyslogMessage tagged;
        if (!BsdTag(probe, tagged) && Field(rest, host)) m.hostname = std::string(host);
    }
    BsdTag(rest, m);
    m.text = std::string(rest);
    return m;
}

void SyslogFramer::Feed(std::string_view bytes, std::vector<std::string>& messages) {
    m_buffer.append(bytes);
    size_t at = 0;
    for (;;) {
        std::string_view rest = std::string_view(m_buffer).substr(at);
        if (m_skip > 0) {
            const size_t drop = std::min(m_skip, rest.size());
            m_skip -= drop;
            at += drop;
            if (m_skip > 0) break;
            continue;
        }
        if (m_skipLine) {
            const size_t end = rest.find_first_of(std::string_view("\n\0", 2));
            if (end == std::string_view::npos) {
                at += rest.size();
                break;
            }
            at += end + 1;
            m_skipLine = false;
            continue;
        }
        if (rest.empty()) break;
        if (m_mode != Mode::Lines && IsDigit(rest.front())) {
            // Octet counting: the length, a blank, then exactly that many bytes.
            size_t digits = 0;
            while (digits < rest.size() && digits < 10 && IsDigit(rest[digits])) ++digits;
            if (digits == rest.size()) break;  // the length goes on in the next bytes
            std::int64_t length = 0;
            if (rest[digits] == ' ' && platform::ParseDecimal(rest.substr(0, digits), length)) {
                m_mode = Mode::Counted;
                const auto size = static_cast<size_t>(length);
                if (size > kSyslogMaxMessage) {
                    // Kept up to the largest size; the rest of the frame is passed over.
                    if (rest.size() < digits + 1 + kSyslogMaxMessage) break;
                    messages.emplace_back(rest.substr(digits + 1, kSyslogMaxMessage));
                    ++m_truncated;
                    at += digits + 1 + kSyslogMaxMessage;
                    m_skip = size - kSyslogMaxMessage;
                    continue;
                }
                if (rest.size() < digits + 1 + size) break;
                messages.emplace_back(rest.substr(digits + 1, size));
                at += digits + 1 + size;
                continue;
            }
            // Digits that are no length: a line that happens to start with one.
        }
        if (m_mode == Mode::Unknown) m_mode = Mode::Lines;
        const size_t end = rest.find_first_of(std::string_view("\n\0", 2));
        if (end == std::string_view::npos) {
            if (rest.size() < kSyslogMaxMessage) break;
            // Kept up to the largest size, once; the rest of the line is passed over.
            messages.emplace_back(rest.substr(0, kSyslogMaxMessage));
            ++m_truncated;
            at += kSyslogMaxMessage;
            m_skipLine = true;
            continue;
        }
        if (end > kSyslogMaxMessage) {
            // Its end came in the same bytes: cut all the same, as one that arrived in pieces.
            messages.emplace_back(rest.substr(0, kSyslogMaxMessage));
            ++m_truncated;
        } else if (end > 0) {
            messages.emplace_back(rest.substr(0, end));
        }
        at += end + 1;
    }
    m_buffer.erase(0, at);
}

void SyslogFramer::Finish(std::vector<std::string>& messages) {
    if (m_skip == 0 && !m_skipLine && !m_buffer.empty()) messages.push_back(m_buffer);
    m_buffer.clear();
    m_skip = 0;
    m_skipLine = false;
}

std::string SyslogFacilityName(int facility) {
    static const char* const kNames[] = {
        "kern",   "user",   "mail",     "daemon", "auth",   "syslog", "lpr",    "news",
        "uucp",   "cron",   "authpriv", "ftp",    "ntp",    "audit",  "alert",  "clock",
        "local0", "local1", "local2",   "local3", "local4", "local5", "local6", "local7"};
    if (facility >= 0 && facility < 24) return kNames[facility];
    return std::to_string(facility);
}

std::uint16_t SyslogEventType(int severity) {
    if (severity <= 3) return 1;
    return severity == 4 ? 2 : 4;
}

std::uint32_t SyslogEventId(std::string_view msgId, std::string_view appName) {
    const std::string_view key = msgId.empty() ? appName : msgId;
    std::uint32_t hash = 2166136261u;  // FNV-1a, 32 bits
    for (unsigned char c : key) hash = (hash ^ c) * 16777619u;
    return 1 + hash % 1000;
}

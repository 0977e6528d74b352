#include "libs/bsmtp/mail_arguments.h"

#include "platform/bytes.h"
#include "platform/codepage.h"

namespace bsmtp {
namespace {

std::vector<std::string> SplitTabs(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t tab = text.find('\t', start);
        parts.push_back(
            text.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return parts;
        start = tab + 1;
    }
}

bool Decimal(const std::string& text, int max, int& value) {
    if (text.empty() || text.size() > 5) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value <= max;
}

// Letters, digits, '.', '-', '_' for a name; hexadecimal digits, ':' and '.' for IPv6.
bool ValidHost(const std::string& host) {
    if (host.empty() || host.size() > 253) return false;
    const bool ipv6 = host.find(':') != std::string::npos;
    for (char c : host) {
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (ipv6 ? !(alnum || c == ':' || c == '.')
                 : !(alnum || c == '.' || c == '-' || c == '_')) {
            return false;
        }
    }
    return true;
}

std::string Unbracketed(std::string_view text) {
    text = platform::TrimBlanks(text);
    if (text.size() >= 2 && text.front() == '<' && text.back() == '>') {
        text = text.substr(1, text.size() - 2);
    }
    return std::string(text);
}

bool Fail(std::string& error, const char8_t* what, const std::string& detail = "") {
    error = sjis(what) + detail;
    return false;
}

bool ParseServer(const std::string& server, MailArguments& a, std::string& error) {
    // "host:port:timeout", read from the right so that an IPv6 host may hold colons.
    const size_t last = server.rfind(':');
    const size_t middle =
        last == std::string::npos || last == 0 ? std::string::npos : server.rfind(':', last - 1);
    if (middle == std::string::npos) {
        return Fail(error, u8"サーバーの指定が「ホスト:ポート:タイムアウト」ではありません。");
    }
    if (!Decimal(server.substr(middle + 1, last - middle - 1), 65535, a.port) || a.port == 0) {
        return Fail(error, u8"サーバーのポート番号が正しくありません。");
    }
    if (!Decimal(server.substr(last + 1), 65535, a.timeoutSeconds)) {
        return Fail(error, u8"サーバーのタイムアウトが正しくありません。");
    }
    a.host = server.substr(0, middle);
    if (a.host.size() >= 2 && a.host.front() == '[' && a.host.back() == ']') {
        a.host = a.host.substr(1, a.host.size() - 2);
    }
    if (!ValidHost(a.host)) return Fail(error, u8"サーバー名が正しくありません。");
    return true;
}

bool ParseSender(const std::string& from, MailArguments& a, std::string& error) {
    const std::vector<std::string> parts = SplitTabs(from);
    if (parts.size() != 1 && parts.size() != 3) {
        return Fail(error, u8"送信者の指定が正しくありません。");
    }
    const std::string& who = parts[0];
    const size_t open = who.rfind('<');
    if (open == std::string::npos) {
        a.senderAddress = std::string(platform::TrimBlanks(who));
    } else {
        const size_t close = who.find('>', open);
        if (close == std::string::npos || !platform::TrimBlanks(who.substr(close + 1)).empty()) {
            return Fail(error, u8"送信者のメールアドレスが正しくありません。");
        }
        a.senderAddress = who.substr(open + 1, close - open - 1);
        a.senderName = std::string(platform::TrimBlanks(who.substr(0, open)));
    }
    if (!ValidAddress(a.senderAddress)) {
        return Fail(error, u8"送信者のメールアドレスが正しくありません。");
    }
    for (char c : a.senderName) {
        if (c == '\r' || c == '\n' || c == '\0')
            return Fail(error, u8"送信者名が正しくありません。");
    }
    if (parts.size() == 1) return true;
    a.authenticate = true;
    const size_t colon = parts[1].find(':');
    if (colon == std::string::npos) {
        return Fail(error, u8"認証の指定が「ユーザー:パスワード」ではありません。");
    }
    a.user = parts[1].substr(0, colon);
    a.password = parts[1].substr(colon + 1);
    if (a.user.empty()) return Fail(error, u8"認証のユーザー名がありません。");
    for (const char* method : {"LOGIN", "CRAM-MD5", "PLAIN"}) {
        if (platform::EqualsAsciiNoCase(parts[2], method)) a.method = method;
    }
    if (a.method.empty()) {
        return Fail(error, u8"認証方式が正しくありません。",
                    platform::StringPrintf("(%.40s)", parts[2].c_str()));
    }
    return true;
}

}  // namespace

bool ValidAddress(const std::string& address) {
    if (address.empty() || address.size() > 254) return false;
    for (char c : address) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '<' || c == '>' || c == ',' || c == '"') return false;
    }
    return true;
}

bool ParseMailArguments(const char* server, const char* to, const char* from, const char* subject,
                        const char* body, const char* attachments, MailArguments& a,
                        std::string& error) {
    a = MailArguments();
    auto text = [](const char* p) { return p ? std::string(p) : std::string(); };
    if (!ParseServer(text(server), a, error)) return false;
    for (const std::string& entry : SplitTabs(text(to))) {
        const std::string address = Unbracketed(entry);
        if (address.empty() && entry.empty()) continue;
        if (!ValidAddress(address)) {
            return Fail(error, u8"宛先のメールアドレスが正しくありません。",
                        platform::StringPrintf("(%.60s)", entry.c_str()));
        }
        a.recipients.push_back(address);
    }
    if (a.recipients.empty()) return Fail(error, u8"宛先がありません。");
    if (!ParseSender(text(from), a, error)) return false;
    a.subject = text(subject);
    a.body = text(body);
    for (const std::string& path : SplitTabs(text(attachments))) {
        if (!path.empty()) a.attachments.push_back(path);
    }
    return true;
}

}  // namespace bsmtp

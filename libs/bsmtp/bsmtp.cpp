// The authenticated mail library loaded as BSMTP.DLL: one mail per call, over libcurl, with the
// message composed as the built-in client composes it.
#include "notify/bsmtp_abi.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "libs/bsmtp/mail_arguments.h"
#include "notify/mail_faults.h"
#include "notify/mail_message.h"
#include "notify/smtp.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/machine/accounts.h"
#include "platform/machine/machine.h"

namespace {

// What the dialogue showed: each command's verb and the reply that answered it, so that a
// failure is judged by the step that failed, not by an earlier refusal the dialogue got past (an
// EHLO refused before a HELO that worked).
struct Dialogue {
    std::string step;       // what the next reply answers: the last command's verb, or "." for
                            // the end of the message once DATA was answered 354
    std::string lastVerb;   // the last command sent
    std::string lastStep;   // the step of the last complete reply
    std::string lastReply;  // that reply's last line
    int lastCode = 0;
    // The RCPT replies, in the order of the recipients: code and line (code 0: none came).
    std::vector<std::pair<int, std::string>> rcpt;
    bool authSent = false;
    bool wantAuth = false;
    bool refusedPlainSession = false;
    std::string message;
    size_t sent = 0;
    // When the dialogue last moved, and whether it stood still longer than the time-out.
    std::chrono::steady_clock::time_point moved = std::chrono::steady_clock::now();
    long timeout = 0;  // seconds
    bool stalled = false;

    // The whole message went out: the reply to its end may take a server ten minutes.
    bool MessageEnded() const { return step == "." && sent == message.size(); }
};

// The time-out bounds each step but the reply to the message's end, which curl would bound too.
int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* d = static_cast<Dialogue*>(user);
    if (d->MessageEnded()) return 0;
    if (std::chrono::steady_clock::now() - d->moved > std::chrono::seconds(d->timeout)) {
        d->stalled = true;
        return 1;
    }
    return 0;
}

int Trace(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    auto* d = static_cast<Dialogue*>(user);
    d->moved = std::chrono::steady_clock::now();
    std::string text(data, size);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (type == CURLINFO_HEADER_OUT) {
        // The command's name only: other lines of an authentication carry credentials.
        std::string verb = text.substr(0, text.find(' '));
        if (verb == "MAIL" || verb == "RCPT") verb = text.substr(0, text.find(':'));
        static const char* const kCommands[] = {"EHLO", "HELO",      "STARTTLS", "AUTH", "DATA",
                                                "QUIT", "MAIL FROM", "RCPT TO",  "RSET", "NOOP"};
        const bool known = std::any_of(std::begin(kCommands), std::end(kCommands),
                                       [&](const char* command) { return verb == command; });
        d->lastVerb = d->step = known ? verb : "AUTH";
        if (verb == "AUTH") d->authSent = true;
        if (verb == "RCPT TO") d->rcpt.emplace_back(0, std::string());
    } else if (type == CURLINFO_HEADER_IN) {
        const size_t lastLine = text.rfind('\n');
        std::string line = lastLine == std::string::npos ? text : text.substr(lastLine + 1);
        while (!line.empty() && line.back() == '\r') line.pop_back();
        // A continuation line ("250-...") is no reply yet.
        if (line.size() > 3 && line[3] == '-') return 0;
        int code = 0;
        for (size_t i = 0; i < 3 && i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
            code = code * 10 + (line[i] - '0');
        }
        // The QUIT that ends every session, taken or not, says nothing of the mail.
        if (d->step == "QUIT") return 0;
        d->lastStep = d->step;
        d->lastReply = line;
        d->lastCode = code;
        if (d->step == "RCPT TO" && !d->rcpt.empty() && d->rcpt.back().first == 0) {
            d->rcpt.back() = {code, line};
        }
        if (d->step == "DATA" && code == 354) d->step = ".";
    }
    return 0;
}

size_t ReadMessage(char* buffer, size_t size, size_t count, void* user) {
    auto* d = static_cast<Dialogue*>(user);
    // Authentication was asked for and the server offered none: nothing may go out.
    if (d->wantAuth && !d->authSent) {
        d->refusedPlainSession = true;
        return CURL_READFUNC_ABORT;
    }
    d->moved = std::chrono::steady_clock::now();
    const size_t n = std::min(size * count, d->message.size() - d->sent);
    std::memcpy(buffer, d->message.data() + d->sent, n);
    d->sent += n;
    return n;
}

std::string Sjis(const char8_t* text) { return sjis(text); }

// The refusal the server gave to the step that failed, as the error text shows it.
std::string StepText(const Dialogue& d) {
    if (d.lastCode < 400 || d.lastStep.empty()) return std::string();
    const std::string step = d.lastStep == "." ? "DATA" : d.lastStep;
    return platform::StringPrintf(Sjis(u8"%sでエラーが返されました。%s").c_str(), step.c_str(),
                                  d.lastReply.c_str());
}

// How a send ended for each recipient.
enum class Fate : char { Accepted = 'A', Deferred = 'D', Refused = 'R', Unconfirmed = 'U' };

Fate FateOfReply(int code) {
    if (code >= 200 && code < 300) return Fate::Accepted;
    return code >= 500 ? Fate::Refused : Fate::Deferred;
}

// "a@example.jp (550 5.1.1 No such user), ..." for the recipients that did not take the mail.
std::string NotTakenText(const bsmtp::MailArguments& a, const Dialogue& d) {
    std::string text;
    for (size_t i = 0; i < d.rcpt.size() && i < a.recipients.size(); ++i) {
        if (FateOfReply(d.rcpt[i].first) == Fate::Accepted) continue;
        if (!text.empty()) text += ", ";
        text += a.recipients[i];
        if (!d.rcpt[i].second.empty()) text += " (" + d.rcpt[i].second + ")";
    }
    return text;
}

// The kind of a failure curl reported, as the program's own client tells them apart.
MailFault FaultOfCurl(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST: return MailFault::HostUnknown;
        case CURLE_COULDNT_CONNECT: return MailFault::ConnectFailed;
        case CURLE_OPERATION_TIMEDOUT: return MailFault::ConnectionLost;
        case CURLE_LOGIN_DENIED: return MailFault::AuthenticationFailed;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_USE_SSL_FAILED: return MailFault::Tls;
        default: return MailFault::Other;
    }
}

std::string ErrorText(CURLcode code, const Dialogue& d, const bsmtp::MailArguments& a,
                      const char* curlError) {
    const std::string detail = curlError[0] ? curlError : curl_easy_strerror(code);
    const std::string server = a.host + ":" + std::to_string(a.port);
    if (code == CURLE_ABORTED_BY_CALLBACK && d.refusedPlainSession) {
        return platform::StringPrintf(
            Sjis(u8"SMTPサーバー(%s)は認証を受け付けていません。送信を中止しました。").c_str(),
            server.c_str());
    }
    switch (FaultOfCurl(code)) {
        case MailFault::HostUnknown:
            return platform::StringPrintf(Sjis(u8"SMTPサーバー名(%s)が見つかりません。").c_str(),
                                          a.host.c_str());
        case MailFault::ConnectFailed:
            return platform::StringPrintf(
                Sjis(u8"SMTPサーバー(%s)に接続できませんでした。%s").c_str(), server.c_str(),
                detail.c_str());
        case MailFault::ConnectionLost:
            return platform::StringPrintf(
                Sjis(u8"SMTPサーバー(%s)の応答がタイムアウトしました。%s").c_str(), server.c_str(),
                d.lastVerb.c_str());
        case MailFault::AuthenticationFailed: {
            if (d.authSent && d.lastCode >= 400) {
                return platform::StringPrintf(Sjis(u8"認証(%s)に失敗しました。%s").c_str(),
                                              a.method.c_str(), d.lastReply.c_str());
            }
            return platform::StringPrintf(
                Sjis(u8"SMTPサーバーは認証方式%sを受け付けていません。").c_str(), a.method.c_str());
        }
        case MailFault::Tls: return Sjis(u8"TLSの接続を確立できませんでした。") + detail;
        default: break;
    }
    // Every recipient refused: say which, and why.
    if (d.lastStep == "RCPT TO" && d.lastCode >= 400) {
        return Sjis(u8"RCPT TOでエラーが返されました。") + NotTakenText(a, d);
    }
    const std::string step = StepText(d);
    return step.empty() ? Sjis(u8"メールを送信できませんでした。") + detail : step;
}

// What became of the mail as a whole when curl gave up: a refusal of the mail itself (a 5xx reply
// to MAIL FROM, to DATA or to the message) is for good; a refusal of every recipient is for good
// when none was only for now; everything else (no connection, a time-out, a dropped connection, a
// session the server would not open) may go through later.
Fate FateOfFailure(const Dialogue& d) {
    if (d.lastCode < 400) return Fate::Deferred;
    if (d.lastStep == "MAIL FROM" || d.lastStep == "DATA" || d.lastStep == ".") {
        return FateOfReply(d.lastCode);
    }
    if (d.lastStep == "RCPT TO") {
        const bool anyForNow = std::any_of(d.rcpt.begin(), d.rcpt.end(), [](const auto& r) {
            return FateOfReply(r.first) == Fate::Deferred;
        });
        return anyForNow || d.rcpt.empty() ? Fate::Deferred : Fate::Refused;
    }
    return Fate::Deferred;
}

// One transfer: the fate of the mail for each recipient (in the order of the arguments), and the
// text of what went wrong (a failure, or the recipients that were refused).
std::vector<Fate> Transfer(const bsmtp::MailArguments& a, const std::string& message,
                           std::string& error) {
    std::vector<Fate> fates(a.recipients.size(), Fate::Deferred);
    Dialogue d;
    d.wantAuth = a.authenticate;
    d.message = message;
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CURL* curl = curl_easy_init();
    if (!curl) {
        error = Sjis(u8"メール送信の準備ができませんでした。");
        return fates;
    }
    const bool ipv6 = a.host.find(':') != std::string::npos;
    // Port 465 speaks TLS from the start; any other port takes STARTTLS when offered.
    const bool implicitTls = a.port == 465;
    std::string helo = platform::HostComputerName();
    for (char& c : helo) c = platform::AsciiLower(c);
    const std::string url = std::string(implicitTls ? "smtps://" : "smtp://") +
                            (ipv6 ? "[" + a.host + "]" : a.host) + ":" + std::to_string(a.port) +
                            "/" + helo;
    const long timeout = std::max(1, a.timeoutSeconds);
    d.timeout = timeout;
    // As long as RFC 5321 lets a server take over the message's end; Progress bounds the rest.
    const long longest = std::max(timeout, 600L);
    char curlError[CURL_ERROR_SIZE] = {};
    struct curl_slist* recipients = nullptr;
    for (const std::string& r : a.recipients) {
        recipients = curl_slist_append(recipients, ("<" + r + ">").c_str());
    }
    const std::string mailFrom = "<" + a.senderAddress + ">";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, mailFrom.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
    // One refused recipient does not stop the mail to the others.
#if LIBCURL_VERSION_NUM >= 0x080200
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT_ALLOWFAILS, 1L);
#else
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);  // its name before curl 8.2
#endif
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadMessage);
    curl_easy_setopt(curl, CURLOPT_READDATA, &d);
    curl_easy_setopt(curl, CURLOPT_USE_SSL, implicitTls ? CURLUSESSL_ALL : CURLUSESSL_TRY);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // A private CA, as OpenSSL's own tools take it.
    if (const char* file = std::getenv("SSL_CERT_FILE"); file && *file) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, file);
    }
    if (const char* dir = std::getenv("SSL_CERT_DIR"); dir && *dir) {
        curl_easy_setopt(curl, CURLOPT_CAPATH, dir);
    }
    const std::string loginOptions = "AUTH=" + a.method;
    if (a.authenticate) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, a.user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, a.password.c_str());
        // Only the method asked for: never a weaker one the server may prefer.
        curl_easy_setopt(curl, CURLOPT_LOGIN_OPTIONS, loginOptions.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeout);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, longest);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, longest);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, Progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &d);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curlError);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, Trace);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &d);
    CURLcode result = curl_easy_perform(curl);
    curl_slist_free_all(recipients);
    curl_easy_cleanup(curl);
    if (result == CURLE_ABORTED_BY_CALLBACK && d.stalled) result = CURLE_OPERATION_TIMEDOUT;
    if (result != CURLE_OK) {
        error = ErrorText(result, d, a, curlError);
        // Its end went out and no reply came: the server may have it.
        const Fate fate =
            d.MessageEnded() && d.lastStep != "." ? Fate::Unconfirmed : FateOfFailure(d);
        // Refused at its recipients: each keeps the fate its own reply gave.
        if (fate == Fate::Unconfirmed) {
            for (size_t i = 0; i < d.rcpt.size() && i < fates.size(); ++i) {
                const Fate own = FateOfReply(d.rcpt[i].first);
                fates[i] = own == Fate::Accepted ? Fate::Unconfirmed : own;
            }
        } else if (d.lastStep == "RCPT TO" && d.lastCode >= 400) {
            for (size_t i = 0; i < d.rcpt.size() && i < fates.size(); ++i) {
                fates[i] =
                    FateOfReply(d.rcpt[i].first) == Fate::Refused ? Fate::Refused : Fate::Deferred;
            }
        } else {
            std::fill(fates.begin(), fates.end(), fate);
        }
        return fates;
    }
    // Taken: by the recipients the server accepted; the others as their replies said.
    for (size_t i = 0; i < fates.size(); ++i) {
        fates[i] = i < d.rcpt.size() ? FateOfReply(d.rcpt[i].first) : Fate::Accepted;
    }
    error = NotTakenText(a, d);
    return fates;
}

bool AnyAccepted(const std::vector<Fate>& fates) {
    return std::find(fates.begin(), fates.end(), Fate::Accepted) != fates.end();
}

// Composes and sends; true when at least one recipient took the mail (error then names those
// that did not, if any).
bool Send(const bsmtp::MailArguments& a, std::string& error) {
    std::vector<std::string> attachments;
    for (const std::string& path : a.attachments) {
        const bool windows =
            path.find('\\') != std::string::npos || (path.size() >= 2 && path[1] == ':');
        attachments.push_back(windows ? platform::MapMachinePath(path) : path);
    }
    std::string message;
    try {
        TExStringList header;
        message = ComposeMessage(
            ReportMessage(a.senderName, a.senderAddress, a.subject, a.body, a.recipients,
                          attachments, FormatMailDate(platform::GetLocalTime())),
            "iso-2022-jp", NewBoundary(), header);
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    return AnyAccepted(Transfer(a, message, error));
}

// A message as it may go on the wire: lines ended by CR LF, no NUL, nothing that could end the
// data early or be read as a line end by one server and not by another.
bool WellFormedMessage(std::string_view message) {
    if (message.empty()) return false;
    for (size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        if (c == '\0') return false;
        if (c == '\r' && (i + 1 == message.size() || message[i + 1] != '\n')) return false;
        if (c == '\n' && (i == 0 || message[i - 1] != '\r')) return false;
    }
    return true;
}

void Report(char* buffer, const std::string& text) {
    if (!buffer) return;
    const size_t n = platform::SjisPrefixLength(text, kBSendMailErrorSize - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int BSendRawMailEx(const char* server,
                                                                     const char* to,
                                                                     const char* from,
                                                                     const char* message,
                                                                     char* fates, char* error) {
    try {
        bsmtp::MailArguments arguments;
        std::string text;
        if (!bsmtp::ParseMailArguments(server, to, from, nullptr, nullptr, nullptr, arguments,
                                       text)) {
            Report(error, text);
            return 0;
        }
        auto every = [&](Fate fate) {
            if (fates) std::memset(fates, static_cast<char>(fate), arguments.recipients.size());
        };
        if (!message || !WellFormedMessage(message)) {
            every(Fate::Refused);
            Report(error, sjis(u8"メールの内容が正しくありません。"));
            return 0;
        }
        const std::vector<Fate> result = Transfer(arguments, message, text);
        if (fates) std::memcpy(fates, result.data(), result.size());
        Report(error, text);
        if (AnyAccepted(result)) return 1;
        const bool later = std::any_of(result.begin(), result.end(), [](Fate f) {
            return f == Fate::Deferred || f == Fate::Unconfirmed;
        });
        return later ? -1 : 0;
    } catch (...) {
        Report(error, sjis(u8"メール送信中に内部エラーが発生しました。"));
        return -1;
    }
}

extern "C" __attribute__((visibility("default"))) int BSendMail(
    const char* server, const char* to, const char* from, const char* subject, const char* body,
    const char* attachments, char* error) {
    try {
        bsmtp::MailArguments arguments;
        std::string text;
        if (!bsmtp::ParseMailArguments(server, to, from, subject, body, attachments, arguments,
                                       text)) {
            Report(error, text);
            return 0;
        }
        const bool taken = Send(arguments, text);
        Report(error, text);
        return taken ? 1 : 0;
    } catch (...) {
        Report(error, sjis(u8"メール送信中に内部エラーが発生しました。"));
        return 0;
    }
}

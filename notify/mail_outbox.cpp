// The outbox path of the report mail: each mail composed once and written into the outbox before
// it is first sent, sent from there over either path, and removed once a server took it.
#include <algorithm>

#include "config/settings.h"
#include "core/program_log.h"
#include "notify/mail_report.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

// The failures of a send that say the server is not there for now (no answer in time, the
// connection gone), as opposed to a reply that refused something; a refused reset is a server
// that will not take anything now.
bool ServerAway(const std::exception& e, const TNMSMTP& client) {
    return ServerAway(FaultOf(e)) || client.FailedStep() == SmtpStep::Rset;
}

void Line(int level, int watch, const char8_t* text, const std::string& detail = std::string()) {
    LogMessage(level, sjis(u8"監視イベント番号: %d - %s%s").c_str(), watch, sjis(text).c_str(),
               detail.c_str());
}

// The lines of one mail's delivery from the outbox. kept: the mail waited there before this
// try; what was refused for now stays in the outbox.
void LogKeptDelivery(int watch, const MailDelivery& d, bool kept) {
    if (!d.accepted.empty()) {
        if (d.deferred.empty() && d.refused.empty()) {
            Line(0, watch,
                 kept ? u8"保存されたメールが送信されました。" : u8"メールが送信されました。");
            return;
        }
        Line(2, watch,
             kept ? u8"保存されたメールは送信されましたが、受け付けられなかった受信者があります。"
                  : u8"メールは送信されましたが、受け付けられなかった受信者があります。",
             d.refusedText);
        if (!d.deferred.empty()) {
            Line(2, watch,
                 u8"一時的に受け付けられなかった受信者へのメールは保存しました。次回のチェックから"
                 u8"再送します。");
        }
        return;
    }
    if (!d.deferred.empty()) {
        if (!d.refused.empty()) {
            Line(2, watch, u8"メールを受け付けなかった受信者があります。", d.refusedText);
        }
        if (d.unconfirmed) {
            Line(2, watch,
                 u8"メールを送信しましたが、SMTPサーバーの応答がなかったため保存しました。次回の"
                 u8"チェックから再送します。すでに届いている場合があります。",
                 d.error);
        } else if (kept) {
            Line(2, watch, u8"保存されたメールを再送できませんでした。次回のチェックで再送します。",
                 d.error);
        } else {
            if (!d.error.empty()) LogDebug("%s", d.error.c_str());
            Line(2, watch,
                 u8"メールを送信できなかったため保存しました。次回のチェックから再送します。");
        }
        return;
    }
    const std::string& reason = d.refusedText.empty() ? d.error : d.refusedText;
    Line(3, watch,
         kept ? u8"保存されたメールは受け付けられませんでした。" : u8"メールの送信に失敗しました。",
         reason);
}

}  // namespace

void ReportMailer::QueueMail(TickBatch& batch) {
    if (!Spooling()) {
        if (UsesLibrary()) {
            MailReportsByLibrary(batch);
        } else {
            MailReportsByClient(batch);
        }
        return;
    }
    if (!SmtpConfigured(m_settings)) {
        NotConfigured(batch);
        return;
    }
    for (const auto& report : batch) {
        const std::vector<std::string> recipients = MailRecipients(*report);
        if (!recipients.empty()) {
            SpooledMail mail;
            mail.from = m_settings.MailAddr;
            mail.recipients = recipients;
            mail.watch = static_cast<int>(report->Watch->EventNum);
            mail.spooled = platform::NowUnixMilliseconds() / 1000;
            mail.report = ReportKey(*report);
            // Read again because the last run ended before it saved its place: the mail it
            // made waits in the outbox already.
            if (m_keptReports.erase(mail.report) != 0) {
                Line(
                    1, mail.watch,
                    u8"このイベントのメールは前回の実行で保存されているため、新たには作成しません。");
                RemoveAttachFolders(*report);
                continue;
            }
            try {
                TExStringList header;
                mail.message = ComposeMessage(
                    ReportMessage(m_settings.SenderName, m_settings.MailAddr,
                                  MailSubject(*report->Watch), report->ReportText, recipients,
                                  report->AttachFiles, FormatMailDate(report->Event.TimeGenerated)),
                    "iso-2022-jp", NewBoundary(), header);
                const std::string path = m_spool->Keep(mail);
                if (!path.empty()) {
                    m_fresh.emplace_back(path, mail.watch);
                } else {
                    // Not lost for that: it goes out now, only without the outbox's promise.
                    Line(2, mail.watch, u8"メールを保存できませんでした。",
                         platform::SystemErrorText(platform::GetLastError()));
                    Unkept unkept;
                    unkept.mail = std::move(mail);
                    // Its record is read again by a next start until the mail is sent or kept.
                    if (report->Kind != ReportKind::Absence && report->Event.RecordNumber != 0) {
                        unkept.log = report->LogName;
                        unkept.record = report->Event.RecordNumber;
                    }
                    m_unkept.push_back(std::move(unkept));
                }
            } catch (const std::exception& e) {
                Line(3, mail.watch, u8"メールの送信に失敗しました。", e.what());
            }
        }
        // The attachments travel inside the kept mail.
        RemoveAttachFolders(*report);
    }
}

void ReportMailer::UseSpool(MailSpool* spool, int hours) {
    m_spool = spool;
    m_spoolHours = std::max(1, hours);
}

MailDelivery ReportMailer::SendComposed(const SpooledMail& mail) {
    if (UsesLibrary()) {
        char text[kBSendMailErrorSize] = {};
        std::string fates(mail.recipients.size(), 'D');
        const int result = CallRawMailLibrary(
            m_raw, LibraryServerText(m_settings), LibraryRecipientsText(mail.recipients),
            LibrarySenderText(m_settings), mail.message, fates.data(), text);
        text[kBSendMailErrorSize - 1] = '\0';
        MailDelivery d;
        for (size_t i = 0; i < mail.recipients.size(); ++i) {
            auto& list = fates[i] == 'A' ? d.accepted : fates[i] == 'R' ? d.refused : d.deferred;
            list.push_back(mail.recipients[i]);
            d.unconfirmed = d.unconfirmed || fates[i] == 'U';
        }
        (d.accepted.empty() ? d.error : d.refusedText) = text;
        // Nothing taken and nothing refused: the server was not there for this mail.
        d.away = result < 0 && d.accepted.empty() && d.refused.empty();
        return d;
    }
    if (!m_composedClient) {
        m_composedClient = ConnectMailClient();
        // No connection is the failure that goes away by itself.
        if (!m_composedClient) {
            MailDelivery d;
            d.deferred = mail.recipients;
            d.error = m_connectionError;
            d.away = true;
            return d;
        }
    }
    TNMSMTP& client = *m_composedClient;
    try {
        client.SendComposed(mail.from, mail.recipients, mail.message);
        return ClientDelivery(client, mail.recipients, false, false, std::string());
    } catch (const std::exception& e) {
        const MailDelivery d =
            ClientDelivery(client, mail.recipients, true, ServerAway(e, client), e.what());
        m_composedClient.reset();  // in no known state: the next mail connects again
        return d;
    }
}

bool ReportMailer::SendKept(const std::string& path, std::int64_t now, bool& left) {
    const auto freshAt = std::find_if(m_fresh.begin(), m_fresh.end(),
                                      [&](const auto& fresh) { return fresh.first == path; });
    const bool kept = freshAt == m_fresh.end();
    if (!kept) m_fresh.erase(freshAt);
    std::string bytes;
    SpooledMail mail;
    if (!platform::ReadWholeFile(path, bytes)) {
        if (platform::GetLastError() == platform::kErrorFileNotFound) return true;  // gone
    } else if (bytes.empty()) {
        // Taken before, and emptied because it could not be removed.
        platform::DeleteFile(path);
        return true;
    }
    if (!bytes.empty() && m_spool->SentBefore(path, bytes)) {
        // Taken by a server in an earlier run, and still not removable: never sent again.
        if (m_spool->Remove(path)) {
            m_spool->ForgetSent(path);
        } else {
            m_stuck.push_back(path);
            LogMessage(2,
                       sjis(u8"送信済みのメール(%s)を保存フォルダから削除できないため、送信しま"
                            u8"せん。%s")
                           .c_str(),
                       path.c_str(), platform::SystemErrorText(platform::GetLastError()).c_str());
        }
        return true;
    }
    if (bytes.empty() || !ParseSpoolFile(bytes, mail)) {
        const std::string aside = m_spool->SetAside(path, ".bad");
        LogMessage(3, sjis(u8"保存されたメール(%s)は壊れているため送信しません。%s").c_str(),
                   path.c_str(), aside.c_str());
        return true;
    }
    if (now - mail.spooled >= static_cast<std::int64_t>(m_spoolHours) * 3600) {
        const std::string aside = m_spool->SetAside(path, ".expired");
        LogMessage(3,
                   sjis(u8"監視イベント番号: %d - 保存されたメールは%d時間送信できなかったため、"
                        u8"再送をあきらめました。%s")
                       .c_str(),
                   mail.watch, m_spoolHours, aside.c_str());
        return true;
    }
    if (MailSpool::Interrupted(path)) {
        Line(2, mail.watch,
             u8"保存されたメールは前回の送信中にプログラムが終了したため、もう一度送信します。"
             u8"すでに届いている場合があります。");
    }
    // Marked while it is sent: a run that ends now leaves a mail that may have arrived.
    const std::string sending = m_spool->BeginSend(path);
    const MailDelivery d = SendComposed(mail);
    left = left || !d.deferred.empty();
    // A mail whose end went out unanswered stays marked: it may have arrived.
    if (!d.deferred.empty() && d.accepted.empty() && d.refused.empty()) {
        m_spool->Requeue(sending, nullptr, d.unconfirmed);
    } else if (!d.deferred.empty()) {
        // Only the recipients refused for now wait for the next try.
        SpooledMail rest = mail;
        rest.recipients = d.deferred;
        m_spool->Requeue(sending, &rest, d.unconfirmed);
    } else if (d.accepted.empty()) {
        m_spool->SetAside(sending, ".refused");
    }
    // What waits for the others was written over it (or, not written, keeps them all).
    if (!d.accepted.empty() && d.deferred.empty() && !m_spool->Remove(sending)) {
        m_stuck.push_back(sending);
        const std::string why = platform::SystemErrorText(platform::GetLastError());
        // A next run must not send it again: noted beside the folder.
        const bool noted = m_spool->NoteSent(sending, bytes);
        LogMessage(3,
                   sjis(noted ? u8"送信したメール(%s)を保存フォルダから削除できませんでした。%s"
                              : u8"送信したメール(%s)を保存フォルダから削除できませんでした。次回"
                                u8"の起動時にもう一度送信されます。%s")
                       .c_str(),
                   sending.c_str(), why.c_str());
    }
    LogKeptDelivery(mail.watch, d, kept);
    return !d.away;
}

bool ReportMailer::SendUnkept(Unkept& unkept, bool& away) {
    const SpooledMail& mail = unkept.mail;
    if (unkept.mayHaveArrived) {
        Line(2, mail.watch,
             u8"保存できなかったメールは前回の送信でSMTPサーバーの応答がなかったため、もう一度"
             u8"送信します。すでに届いている場合があります。");
    }
    MailDelivery d = SendComposed(mail);
    away = d.away;
    unkept.mayHaveArrived = unkept.mayHaveArrived || d.unconfirmed;
    if (!d.deferred.empty()) {
        // Nothing else holds it: it waits here, and its record for a next start, until it goes.
        unkept.mail.recipients = d.deferred;
        if (!d.accepted.empty() || !d.refused.empty()) LogKeptDelivery(mail.watch, d, false);
        Line(2, mail.watch,
             u8"メールを保存も送信もできませんでした。次回のチェックから再送します。", d.error);
        return false;
    }
    LogKeptDelivery(mail.watch, d, false);
    return true;
}

void ReportMailer::NoteKeptReports(const MailSpool& spool) {
    for (const std::string& path : spool.Waiting()) {
        std::string bytes;
        SpooledMail mail;
        if (platform::ReadWholeFile(path, bytes) && ParseSpoolFile(bytes, mail) &&
            !mail.report.empty()) {
            m_keptReports.insert(mail.report);
        }
    }
}

std::map<std::string, std::uint32_t> ReportMailer::HeldRecords() const {
    std::map<std::string, std::uint32_t> held;
    for (const Unkept& u : m_unkept) {
        if (u.record == 0) continue;
        const auto [at, added] = held.emplace(u.log, u.record);
        if (!added) at->second = std::min(at->second, u.record);
    }
    return held;
}

void ReportMailer::SayFreshKept(const char8_t* text, const std::string& detail) {
    for (const auto& [path, watch] : m_fresh) Line(2, watch, text, detail);
    m_fresh.clear();
}

std::string ReportMailer::ServerSettingsText() const {
    return m_settings.SMTPServer + ":" + std::to_string(m_settings.SMTPPort) + ":" +
           std::to_string(m_settings.TimeOut) + ":" + m_settings.MailAddr +
           (UsesLibrary() ? ":library" : ":client");
}

bool ReportMailer::BackingOff(std::int64_t now) const {
    // New server settings are tried at once: they may be what mends it.
    return m_retryAt != 0 && now < m_retryAt && ServerSettingsText() == m_awayServer;
}

void ReportMailer::ServerWasAway(std::int64_t now) {
    // A watch interval first, then twice as long each time, up to half an hour (or the
    // interval, when it is longer): a server that keeps every try waiting is not waited on at
    // every check.
    const std::int64_t interval = std::max<std::int64_t>(60, m_settings.Interval * INT64_C(60));
    const std::int64_t longest = std::max<std::int64_t>(interval, 1800);
    m_backoff = m_backoff == 0 ? interval : std::min(m_backoff * 2, longest);
    m_retryAt = now + m_backoff;
    m_awayServer = ServerSettingsText();
    LogMessage(
        1, sjis(u8"SMTPサーバーに送信できないため、保存されたメールは%d分後に再送します。").c_str(),
        static_cast<int>((m_backoff + 59) / 60));
}

bool ReportMailer::FlushOutbox() {
    if (!Spooling()) {
        // The outbox was turned off: what it could not take goes no further, and says so.
        for (const Unkept& u : m_unkept) {
            Line(3, u.mail.watch, u8"保存できなかったメールの再送をあきらめました。");
        }
        m_unkept.clear();
        return true;
    }
    // What the outbox could not take before may fit now: there it is safe.
    for (auto u = m_unkept.begin(); u != m_unkept.end();) {
        if (u->mayHaveArrived) {
            ++u;
            continue;  // no file could say so
        }
        const std::string path = m_spool->Keep(u->mail);
        if (path.empty()) {
            ++u;
            continue;
        }
        Line(1, u->mail.watch, u8"保存できなかったメールを保存しました。");
        u = m_unkept.erase(u);
    }
    const std::vector<std::string> waiting = m_spool->Waiting();
    if (waiting.empty() && m_unkept.empty()) return true;
    if (!SmtpConfigured(m_settings)) return false;
    const std::int64_t now = platform::NowUnixMilliseconds() / 1000;
    if (BackingOff(now)) {
        SayFreshKept(u8"SMTPサーバーに送信できないため、メールを保存しました。",
                     platform::StringPrintf(sjis(u8"%d分後に送信します。").c_str(),
                                            static_cast<int>((m_retryAt - now + 59) / 60)));
        return false;
    }
    LogDebug("%s", sjis(u8"メール送信開始").c_str());
    bool away = false;
    bool left = false;  // mail still waits for a later try
    for (const std::string& path : waiting) {
        if (std::find(m_stuck.begin(), m_stuck.end(), path) != m_stuck.end()) continue;
        // Behind mail that could not go, the rest waits too: in order, and without waiting on a
        // server that just failed.
        if (away) {
            left = true;
            break;
        }
        away = !SendKept(path, now, left);
    }
    const std::int64_t hours = static_cast<std::int64_t>(m_spoolHours) * 3600;
    for (auto u = m_unkept.begin(); u != m_unkept.end();) {
        if (now - u->mail.spooled >= hours) {
            LogMessage(
                3,
                sjis(u8"監視イベント番号: %d - 保存できなかったメールは%d時間送信できなかった"
                     u8"ため、再送をあきらめました。")
                    .c_str(),
                u->mail.watch, m_spoolHours);
            u = m_unkept.erase(u);
        } else if (!away && SendUnkept(*u, away)) {
            u = m_unkept.erase(u);
        } else {
            left = true;
            ++u;
        }
    }
    SayFreshKept(u8"メールを送信できなかったため保存しました。次回のチェックから再送します。");
    EndComposedSends();
    if (away) {
        ServerWasAway(now);
    } else {
        m_retryAt = m_backoff = 0;
    }
    LogDebug("%s", sjis(u8"メール送信終了").c_str());
    return !left && !away;
}

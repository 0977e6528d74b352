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
        if (kept) {
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
            try {
                TExStringList header;
                mail.message = ComposeMessage(
                    ReportMessage(m_settings.SenderName, m_settings.MailAddr,
                                  MailSubject(*report->Watch), report->ReportText, recipients,
                                  report->AttachFiles, FormatMailDate(report->Event.TimeGenerated)),
                    "iso-2022-jp", NewBoundary(), header);
                const std::string path = m_spool->Keep(mail);
                if (!path.empty()) {
                    m_fresh.push_back(path);
                } else {
                    // Not lost for that: it goes out now, only without the outbox's promise.
                    Line(2, mail.watch, u8"メールを保存できませんでした。",
                         platform::SystemErrorText(platform::GetLastError()));
                    m_unkept.push_back(std::move(mail));
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
    const auto freshAt = std::find(m_fresh.begin(), m_fresh.end(), path);
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
    bool done = true;
    left = left || !d.deferred.empty();
    if (!d.deferred.empty() && d.accepted.empty() && d.refused.empty()) {
        m_spool->Requeue(sending, nullptr);
    } else if (!d.deferred.empty()) {
        // Only the recipients refused for now wait for the next try.
        SpooledMail rest = mail;
        rest.recipients = d.deferred;
        done = !m_spool->Requeue(sending, &rest).empty();
    } else if (d.accepted.empty()) {
        m_spool->SetAside(sending, ".refused");
    }
    if (!d.accepted.empty() && done && !m_spool->Remove(sending)) {
        m_stuck.push_back(sending);
        LogMessage(3,
                   sjis(u8"送信したメール(%s)を保存フォルダから削除できませんでした。%s").c_str(),
                   sending.c_str(), platform::SystemErrorText(platform::GetLastError()).c_str());
    }
    LogKeptDelivery(mail.watch, d, kept);
    return !d.away;
}

void ReportMailer::SendUnkept(const SpooledMail& mail) {
    MailDelivery d = SendComposed(mail);
    // Nothing waits for what was refused for now: it failed.
    d.refused.insert(d.refused.end(), d.deferred.begin(), d.deferred.end());
    d.deferred.clear();
    LogKeptDelivery(mail.watch, d, false);
}

bool ReportMailer::FlushOutbox() {
    if (!Spooling()) return true;
    const std::vector<std::string> waiting = m_spool->Waiting();
    if (waiting.empty() && m_unkept.empty()) return true;
    if (!SmtpConfigured(m_settings)) return false;
    LogDebug("%s", sjis(u8"メール送信開始").c_str());
    const std::int64_t now = platform::NowUnixMilliseconds() / 1000;
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
    for (const SpooledMail& mail : m_unkept) SendUnkept(mail);
    m_unkept.clear();
    for (const std::string& path : m_fresh) {
        SpooledMail mail;
        std::string bytes;
        if (platform::ReadWholeFile(path, bytes) && ParseSpoolFile(bytes, mail)) {
            Line(2, mail.watch,
                 u8"メールを送信できなかったため保存しました。次回のチェックから再送します。");
        }
    }
    m_fresh.clear();
    EndComposedSends();
    LogDebug("%s", sjis(u8"メール送信終了").c_str());
    return !left && !away;
}

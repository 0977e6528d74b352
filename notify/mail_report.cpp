#include "notify/mail_report.h"

#include <algorithm>

#include "actions/attachments.h"
#include "config/settings.h"
#include "core/program_log.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/pump.h"

namespace {

const std::string& Sent() { return sjis(u8"メールが送信されました。"); }
const std::string& Failed() { return sjis(u8"メールの送信に失敗しました。"); }

void WatchLine(int level, const ReportRecord& report, const std::string& text) {
    LogMessage(level, sjis(u8"監視イベント番号: %d - %s").c_str(),
               static_cast<int>(report.Watch->EventNum), text.c_str());
}

// The client's clean-up of the socket library, with its debug lines.
void Drain() {
    LogDebug("%s", sjis(u8"WSACleanup()開始").c_str());
    const int count = DrainSocketLibrary();
    LogDebug(sjis(u8"WSACleanup()終了：回数[%d]").c_str(), count);
}

const char* MethodName(int authType) {
    switch (authType) {
        case 1: return "LOGIN";
        case 2: return "CRAM-MD5";
        case 3: return "PLAIN";
        default: return "";  // an unknown method, which the library refuses by name
    }
}

}  // namespace

std::string MailSubject(const WatchEntry& watch) {
    return platform::StringPrintf(sjis(u8"Quorvik Report (監視イベント番号: %d) - %s").c_str(),
                                  static_cast<int>(watch.EventNum), watch.MailSubject.c_str());
}

std::vector<std::string> MailRecipients(const ReportRecord& report) {
    std::vector<std::string> addresses;
    if (report.NotifyHeld) return addresses;
    for (const std::string& r : report.Recipients) {
        if (r.find('@') != std::string::npos) addresses.push_back(r);
    }
    return addresses;
}

bool SmtpConfigured(const Settings& s) {
    return !s.SenderName.empty() && !s.MailAddr.empty() && !s.SMTPServer.empty();
}

std::string BracketedAddress(const std::string& address) {
    return !address.empty() && address[0] == '<' ? address : "<" + address + ">";
}

std::string LibraryServerText(const Settings& s) {
    return platform::StringPrintf("%s:%d:%d", s.SMTPServer.c_str(), static_cast<int>(s.SMTPPort),
                                  static_cast<int>(s.TimeOut));
}

std::string LibrarySenderText(const Settings& s) {
    std::string from = s.SenderName + " " + BracketedAddress(s.MailAddr);
    if (s.AuthType != 0) {
        from += "\t" + s.UserID + ":" + s.Password + "\t" + MethodName(s.AuthType);
    }
    return from;
}

int CallMailLibrary(BSendMailFunction send, const std::string& server, const std::string& to,
                    const std::string& from, const std::string& subject, const std::string& body,
                    const std::string& attachments, char* error) {
    int result = 0;
    platform::RunWhilePumping([&] {
        result = send(server.c_str(), to.c_str(), from.c_str(), subject.c_str(), body.c_str(),
                      attachments.c_str(), error);
    });
    return result;
}

bool MailLibrary::Load() {
    library.Reset(platform::LoadLibrary("BSMTP.DLL"));
    send = nullptr;
    if (!library) return false;
    send =
        reinterpret_cast<BSendMailFunction>(platform::GetProcAddress(library.Get(), "BSendMail"));
    if (!send) library.Reset();
    sendRaw = send ? reinterpret_cast<BSendRawMailFunction>(
                         platform::GetProcAddress(library.Get(), "BSendRawMail"))
                   : nullptr;
    return send != nullptr;
}

void RemoveAttachFolders(const ReportRecord& report) {
    for (const std::string& folder : report.AttachFolders) {
        if (!RemoveTempFolder(folder)) {
            // A copy of private files must not stay behind unnoticed.
            LogMessage(2,
                       sjis(u8"添付ファイルの一時フォルダ(%s)を削除できませんでした。%s").c_str(),
                       folder.c_str(), AttachmentErrorText().c_str());
        }
    }
}

void ReportMailer::DeliverMail(TickBatch& batch) {
    if (Spooling()) {
        DeliverKeepingFailures(batch);
    } else if (UsesLibrary()) {
        MailReportsByLibrary(batch);
    } else {
        MailReportsByClient(batch);
    }
}

void ReportMailer::NotConfigured(TickBatch& batch) {
    LogDebug("%s", sjis(u8"SMTP設定がされていないのでメール送信なし").c_str());
    for (const auto& report : batch) {
        if (!MailRecipients(*report).empty()) {
            WatchLine(2, *report,
                      sjis(u8"SMTP設定されていないので、メールは送信されませんでした。"));
        }
        RemoveAttachFolders(*report);
    }
}

std::unique_ptr<TNMSMTP> ReportMailer::ConnectMailClient() {
    m_connectionError.clear();
    const std::string cannot = sjis(u8"SMTPサーバーに接続できませんでした。");
    int attempts = 0;
    std::unique_ptr<TNMSMTP> client;
    for (;;) {
        client.reset();
        try {
            client = m_factory ? m_factory() : std::make_unique<TNMSMTP>();
        } catch (const ESockError& e) {
            m_connectionError =
                sjis(u8"SMTPコンポーネント生成中にソケットエラーが発生しました。") + e.what();
        } catch (const std::exception& e) {
            m_connectionError =
                sjis(u8"SMTPコンポーネント生成中にシステムエラーが発生しました。") + e.what();
        }
        if (!client) {
            Drain();
            return nullptr;
        }
        client->OnSuccess = [this] { m_success = true; };
        client->OnFailure = [this] { m_success = false; };
        const size_t at = m_settings.MailAddr.find('@');
        client->UserID = m_settings.MailAddr.substr(0, at);
        client->Charset = "iso-2022-jp";
        client->Host = m_settings.SMTPServer;
        client->Port = m_settings.SMTPPort;
        client->ReportLevel = 1;
        client->TimeOut = static_cast<std::uint32_t>(m_settings.TimeOut) * 1000;
        bool timedOut = false;
        try {
            client->Connect();
            return client;
        } catch (const ESockError& e) {
            const std::string message = e.what();
            if (message == "Connection Timed out") {
                m_connectionError =
                    cannot + sjis(u8"STMPサーバー名、ポート番号を確認してください。");
                timedOut = true;
            } else if (message == "Null Remote Address") {
                m_connectionError = cannot + sjis(u8"STMPサーバー名が無効です。");
            } else {
                m_connectionError = cannot + message;
            }
        } catch (const std::exception& e) {
            const std::string message = e.what();
            m_connectionError = message == "Authentication failed"
                                    ? cannot + sjis(u8"送信者メールアドレスを確認してください。")
                                    : cannot + message;
        } catch (...) {
            m_connectionError =
                cannot + sjis(u8"内部エラーが発生しました。アプリケーションを再起動してください。");
        }
        if (timedOut && ++attempts < 3) continue;
        break;
    }
    client.reset();
    LogDebug("%s", sjis(u8"SMTPConnect失敗").c_str());
    Drain();
    return nullptr;
}

void ReportMailer::SendOneByClient(TNMSMTP& client, ReportRecord& report) {
    client.PostMessage = ReportMessage(
        m_settings.SenderName, m_settings.MailAddr, MailSubject(*report.Watch), report.ReportText,
        MailRecipients(report), report.AttachFiles, FormatMailDate(report.Event.TimeGenerated));
    m_success = false;
    try {
        client.SendMail();
    } catch (const std::exception& e) {
        m_success = false;
        LogDebug("%s", e.what());
    }
    if (m_success) {
        WatchLine(0, report, Sent());
    } else {
        WatchLine(3, report, Failed());
    }
}

bool ReportMailer::MailReportsByClient(TickBatch& batch) {
    LogDebug("%s", sjis(u8"TNMSMTPを使用").c_str());
    if (!SmtpConfigured(m_settings)) {
        NotConfigured(batch);
        return true;
    }
    LogDebug("%s", sjis(u8"メール送信開始").c_str());
    std::unique_ptr<TNMSMTP> client = ConnectMailClient();
    if (!client) {
        LogMessage(3, "%s", m_connectionError.c_str());
        for (const auto& report : batch) {
            RemoveAttachFolders(*report);
            if (report->NotifyHeld) continue;
            LogMessage(3, sjis(u8"監視イベント番号: %d - メールの送信に失敗しました。").c_str(),
                       static_cast<int>(report->Watch->EventNum));
        }
        LogDebug("%s", sjis(u8"メール送信終了").c_str());
        return true;
    }
    bool connectionLost = false;
    for (const auto& report : batch) {
        if (!MailRecipients(*report).empty()) {
            // After a failed send the connection is in no known state: the next mail gets a new
            // one.
            if (connectionLost) {
                try {
                    client->Disconnect();
                } catch (const std::exception&) {
                }
                client = ConnectMailClient();
                connectionLost = false;
            }
            if (client) {
                SendOneByClient(*client, *report);
                connectionLost = !m_success;
            } else {
                LogMessage(3, "%s", m_connectionError.c_str());
                WatchLine(3, *report, Failed());
            }
        }
        RemoveAttachFolders(*report);
    }
    if (client) {
        try {
            client->Disconnect();
        } catch (const std::exception& e) {
            LogDebug("%s", e.what());
        }
        client.reset();
    }
    LogDebug("%s", sjis(u8"メール送信後処理").c_str());
    Drain();
    LogDebug("%s", sjis(u8"メール送信終了").c_str());
    return true;
}

bool ReportMailer::MailReportsByLibrary(TickBatch& batch) {
    LogDebug("%s", sjis(u8"BSMTP.DLLを使用").c_str());
    if (!SmtpConfigured(m_settings)) {
        NotConfigured(batch);
        return true;
    }
    LogDebug("%s", sjis(u8"メール送信開始").c_str());
    const Settings& s = m_settings;
    for (const auto& report : batch) {
        std::string to;
        for (const std::string& address : MailRecipients(*report)) {
            if (!to.empty()) to += '\t';
            to += BracketedAddress(address);
        }
        if (!to.empty()) {
            std::string attachments;
            for (const std::string& path : report->AttachFiles) {
                if (!attachments.empty()) attachments += '\t';
                attachments += path;
            }
            char error[kBSendMailErrorSize] = {};
            const int result = CallMailLibrary(m_send, LibraryServerText(s), to,
                                               LibrarySenderText(s), MailSubject(*report->Watch),
                                               report->ReportText, attachments, error);
            error[kBSendMailErrorSize - 1] = '\0';
            if (result != 0) {
                LogMessage(0, sjis(u8"監視イベント番号: %d - メールが送信されました。").c_str(),
                           static_cast<int>(report->Watch->EventNum));
            } else {
                LogMessage(3,
                           sjis(u8"監視イベント番号: %d - メールの送信に失敗しました。%s").c_str(),
                           static_cast<int>(report->Watch->EventNum), error);
            }
        }
        RemoveAttachFolders(*report);
    }
    LogDebug("%s", sjis(u8"メール送信終了").c_str());
    return true;
}

// Mail that may be kept: composed here, sent over either path, kept when it fails for now.

namespace {

std::string Recipients(const std::vector<std::string>& recipients) {
    std::string to;
    for (const std::string& address : recipients) {
        if (!to.empty()) to += '\t';
        to += BracketedAddress(address);
    }
    return to;
}

}  // namespace

void ReportMailer::UseSpool(MailSpool* spool, int hours) {
    m_spool = spool;
    m_spoolHours = std::max(1, hours);
}

SendOutcome ReportMailer::SendComposed(const SpooledMail& mail, std::string& error) {
    if (UsesLibrary()) {
        char text[kBSendMailErrorSize] = {};
        int result = 0;
        platform::RunWhilePumping([&] {
            result =
                m_raw(LibraryServerText(m_settings).c_str(), Recipients(mail.recipients).c_str(),
                      LibrarySenderText(m_settings).c_str(), mail.message.c_str(), text);
        });
        text[kBSendMailErrorSize - 1] = '\0';
        error = text;
        return result > 0   ? SendOutcome::Accepted
               : result < 0 ? SendOutcome::Deferred
                            : SendOutcome::Refused;
    }
    if (!m_composedClient) {
        m_composedClient = ConnectMailClient();
        // No connection is the failure that goes away by itself.
        if (!m_composedClient) {
            error = m_connectionError;
            return SendOutcome::Deferred;
        }
    }
    TNMSMTP& client = *m_composedClient;
    try {
        client.SendComposed(mail.from, mail.recipients, mail.message);
        return SendOutcome::Accepted;
    } catch (const ESockError& e) {
        error = e.what();
        m_composedClient.reset();  // in no known state: the next mail connects again
        return SendOutcome::Deferred;
    } catch (const std::exception& e) {
        error = e.what();
        const long long code = client.ReplyNumber();
        m_composedClient.reset();
        const bool forNow = (code >= 400 && code < 500) ||
                            (client.RecipientsAccepted() == 0 && client.RecipientDeferred()) ||
                            code == 0;
        return forNow ? SendOutcome::Deferred : SendOutcome::Refused;
    }
}

void ReportMailer::EndComposedSends() {
    if (!m_composedClient) return;
    try {
        m_composedClient->Disconnect();
    } catch (const std::exception& e) {
        LogDebug("%s", e.what());
    }
    m_composedClient.reset();
    Drain();
}

void ReportMailer::KeepInSpool(const SpooledMail& mail) {
    const std::string path = m_spool->Keep(mail);
    if (path.empty()) {
        LogMessage(
            3,
            sjis(u8"監視イベント番号: %d - メールの送信に失敗しました。メールを保存できません"
                 u8"でした。%s")
                .c_str(),
            mail.watch, platform::SystemErrorText(platform::GetLastError()).c_str());
        return;
    }
    LogMessage(2,
               sjis(u8"監視イベント番号: %d - メールを送信できなかったため保存しました。次回の"
                    u8"チェックから再送します。")
                   .c_str(),
               mail.watch);
}

void ReportMailer::DeliverKeepingFailures(TickBatch& batch) {
    if (!SmtpConfigured(m_settings)) {
        NotConfigured(batch);
        return;
    }
    LogDebug("%s", sjis(u8"メール送信開始").c_str());
    // Behind mail that still waits, new mail waits too: in order, and without waiting on a
    // server that just failed.
    bool away = m_spoolWaiting;
    for (const auto& report : batch) {
        const std::vector<std::string> recipients = MailRecipients(*report);
        if (!recipients.empty()) {
            SpooledMail mail;
            mail.from = m_settings.MailAddr;
            mail.recipients = recipients;
            mail.watch = static_cast<int>(report->Watch->EventNum);
            mail.spooled = platform::NowUnixMilliseconds() / 1000;
            bool composed = true;
            try {
                TExStringList header;
                mail.message = ComposeMessage(
                    ReportMessage(m_settings.SenderName, m_settings.MailAddr,
                                  MailSubject(*report->Watch), report->ReportText, recipients,
                                  report->AttachFiles, FormatMailDate(report->Event.TimeGenerated)),
                    "iso-2022-jp", NewBoundary(), header);
            } catch (const std::exception& e) {
                WatchLine(3, *report, Failed() + e.what());
                composed = false;
            }
            std::string error;
            const SendOutcome outcome = !composed ? SendOutcome::Refused
                                        : away    ? SendOutcome::Deferred
                                                  : SendComposed(mail, error);
            if (composed && outcome == SendOutcome::Accepted) {
                WatchLine(0, *report, Sent());
            } else if (composed && outcome == SendOutcome::Refused) {
                WatchLine(3, *report, Failed() + error);
            } else if (composed) {
                if (!error.empty()) LogDebug("%s", error.c_str());
                KeepInSpool(mail);
                away = true;
            }
        }
        RemoveAttachFolders(*report);
    }
    EndComposedSends();
    LogDebug("%s", sjis(u8"メール送信終了").c_str());
}

bool ReportMailer::RetrySpool() {
    m_spoolWaiting = false;
    if (!Spooling()) return true;
    const std::vector<std::string> waiting = m_spool->Waiting();
    if (waiting.empty()) return true;
    if (!SmtpConfigured(m_settings)) {
        m_spoolWaiting = true;
        return false;
    }
    const std::int64_t now = platform::NowUnixMilliseconds() / 1000;
    for (const std::string& path : waiting) {
        std::string bytes;
        SpooledMail mail;
        if (!platform::ReadWholeFile(path, bytes) || !ParseSpoolFile(bytes, mail)) {
            const std::string aside = m_spool->SetAside(path, ".bad");
            LogMessage(3, sjis(u8"保存されたメール(%s)は壊れているため送信しません。%s").c_str(),
                       path.c_str(), aside.empty() ? "" : aside.c_str());
            continue;
        }
        if (now - mail.spooled >= static_cast<std::int64_t>(m_spoolHours) * 3600) {
            const std::string aside = m_spool->SetAside(path, ".expired");
            LogMessage(
                3,
                sjis(u8"監視イベント番号: %d - 保存されたメールは%d時間送信できなかったため、"
                     u8"再送をあきらめました。%s")
                    .c_str(),
                mail.watch, m_spoolHours, aside.c_str());
            continue;
        }
        std::string error;
        const SendOutcome outcome = SendComposed(mail, error);
        if (outcome == SendOutcome::Accepted) {
            // Removed only now that the server has taken it.
            platform::DeleteFile(path);
            LogMessage(0,
                       sjis(u8"監視イベント番号: %d - 保存されたメールが送信されました。").c_str(),
                       mail.watch);
        } else if (outcome == SendOutcome::Refused) {
            const std::string aside = m_spool->SetAside(path, ".refused");
            LogMessage(
                3,
                sjis(u8"監視イベント番号: %d - 保存されたメールは受け付けられませんでした。%s")
                    .c_str(),
                mail.watch, error.c_str());
        } else {
            LogMessage(
                2,
                sjis(u8"監視イベント番号: %d - 保存されたメールを再送できませんでした。次回の"
                     u8"チェックで再送します。%s")
                    .c_str(),
                mail.watch, error.c_str());
            m_spoolWaiting = true;
            break;
        }
    }
    EndComposedSends();
    return !m_spoolWaiting;
}

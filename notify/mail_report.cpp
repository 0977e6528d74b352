#include "notify/mail_report.h"

#include <algorithm>
#include <mutex>

#include "actions/attachments.h"
#include "config/lists.h"
#include "config/settings.h"
#include "core/program_log.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/machine/libraries.h"
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
        if (IsMailRecipient(r)) addresses.push_back(r);
    }
    return addresses;
}

std::string ReportKey(const ReportRecord& report) {
    const EventRecord& e = report.Event;
    const platform::SystemTime& t = e.TimeGenerated;
    const RecordIdentity& id = report.Identity;
    return platform::StringPrintf(
        "%s %d %s %u %04d%02d%02d%02d%02d%02d %u %u %016llx", ReportKindName(report.Kind),
        report.Watch ? static_cast<int>(report.Watch->EventNum) : 0,
        platform::ToHex(report.LogName).c_str(), static_cast<unsigned>(e.RecordNumber), t.year,
        t.month, t.day, t.hour, t.minute, t.second,
        id.known ? static_cast<unsigned>(id.timeWritten) : 0u,
        id.known ? static_cast<unsigned>(id.length) : 0u,
        static_cast<unsigned long long>(id.known ? id.hash : 0));
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

std::string LibraryRecipientsText(const std::vector<std::string>& recipients) {
    std::string to;
    for (const std::string& address : recipients) {
        if (!to.empty()) to += '\t';
        to += BracketedAddress(address);
    }
    return to;
}

std::string LibrarySenderText(const Settings& s) {
    std::string from = s.SenderName + " " + BracketedAddress(s.MailAddr);
    if (s.AuthType != 0) {
        from += "\t" + s.UserID + ":" + s.Password + "\t" + MethodName(s.AuthType);
    }
    return from;
}

namespace {

// An outside library need not be safe to enter twice at once: the watch tick's mail and the
// settings dialog's test take turns.
std::mutex g_libraryMutex;

}  // namespace

int CallMailLibrary(BSendMailFunction send, const std::string& server, const std::string& to,
                    const std::string& from, const std::string& subject, const std::string& body,
                    const std::string& attachments, char* error) {
    int result = 0;
    platform::RunWhilePumping([&] {
        std::lock_guard lock(g_libraryMutex);
        result = send(server.c_str(), to.c_str(), from.c_str(), subject.c_str(), body.c_str(),
                      attachments.c_str(), error);
    });
    return result;
}

int CallRawMailLibrary(BSendRawMailFunction send, const std::string& server, const std::string& to,
                       const std::string& from, const std::string& message, char* fates,
                       char* error) {
    int result = 0;
    platform::RunWhilePumping([&] {
        std::lock_guard lock(g_libraryMutex);
        result = send(server.c_str(), to.c_str(), from.c_str(), message.c_str(), fates, error);
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
                         platform::GetProcAddress(library.Get(), kBSendRawMailName))
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

namespace {

bool Taken(long long code) { return code >= 200 && code < 300; }

void Describe(std::string& text, const std::string& who, const std::string& reply) {
    if (!text.empty()) text += ", ";
    text += who;
    if (!reply.empty()) text += " (" + reply + ")";
}

}  // namespace

MailDelivery ClientDelivery(const TNMSMTP& client, const std::vector<std::string>& to, bool failed,
                            bool away, const std::string& error) {
    MailDelivery d;
    d.error = error;
    d.away = away;
    const std::vector<RecipientReply>& replies = client.RecipientReplies();
    const SmtpStep step = client.FailedStep();
    // The message itself refused for good: a 5xx to MAIL FROM, to DATA or to the message.
    const bool mailRefused =
        failed && !away && client.ReplyNumber() >= 500 &&
        (step == SmtpStep::MailFrom || step == SmtpStep::Data || step == SmtpStep::Message);
    size_t next = 0;
    for (const std::string& entry : to) {
        const RecipientReply* reply = nullptr;
        if (next < replies.size() && replies[next].entry == entry) reply = &replies[next++];
        if (reply && reply->code >= 500) {
            d.refused.push_back(entry);
            Describe(d.refusedText, reply->address, reply->reply);
        } else if (reply && !Taken(reply->code)) {
            d.deferred.push_back(entry);
            Describe(d.refusedText, reply->address, reply->reply);
        } else if (!failed) {
            d.accepted.push_back(entry);
        } else if (mailRefused) {
            d.refused.push_back(entry);
        } else {
            d.deferred.push_back(entry);
        }
    }
    d.unconfirmed = failed && client.Unconfirmed() && !d.deferred.empty();
    return d;
}

void ReportMailer::DeliverMail(TickBatch& batch) {
    QueueMail(batch);
    FlushOutbox();
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
        const size_t at = FindAtSign(m_settings.MailAddr);
        client->UserID = m_settings.MailAddr.substr(0, at);
        client->Charset = "iso-2022-jp";
        client->Host = m_settings.SMTPServer;
        client->Port = m_settings.SMTPPort;
        client->ReportLevel = 1;
        client->TimeOut = static_cast<std::uint32_t>(m_settings.TimeOut) * 1000;
        client->FinalReplyTimeOut = m_finalReply;
        bool timedOut = false;
        try {
            client->Connect();
            return client;
        } catch (const std::exception& e) {
            switch (FaultOf(e)) {
                case MailFault::ConnectTimedOut:
                    m_connectionError =
                        cannot + sjis(u8"STMPサーバー名、ポート番号を確認してください。");
                    timedOut = true;
                    break;
                case MailFault::HostUnknown:
                    m_connectionError = cannot + sjis(u8"STMPサーバー名が無効です。");
                    break;
                case MailFault::AuthenticationFailed:
                    m_connectionError = cannot + sjis(u8"送信者メールアドレスを確認してください。");
                    break;
                default: m_connectionError = cannot + e.what(); break;
            }
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
    const MailDelivery d =
        ClientDelivery(client, MailRecipients(report), !m_success, false, std::string());
    if (!m_success || d.accepted.empty()) {
        WatchLine(3, report,
                  Failed() + d.refusedText +
                      (d.unconfirmed ? sjis(u8"サーバーの応答がありませんでした。すでに届いている"
                                            u8"場合があります。")
                                     : std::string()));
    } else if (d.refusedText.empty()) {
        WatchLine(0, report, Sent());
    } else {
        WatchLine(2, report,
                  sjis(u8"メールは送信されましたが、受け付けられなかった受信者があります。") +
                      d.refusedText);
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
        const std::string to = LibraryRecipientsText(MailRecipients(*report));
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
            if (result != 0 && error[0] == '\0') {
                LogMessage(0, sjis(u8"監視イベント番号: %d - メールが送信されました。").c_str(),
                           static_cast<int>(report->Watch->EventNum));
            } else if (result != 0) {
                // Taken, but the library names recipients the server refused.
                LogMessage(2,
                           sjis(u8"監視イベント番号: %d - メールは送信されましたが、受け付けられ"
                                u8"なかった受信者があります。%s")
                               .c_str(),
                           static_cast<int>(report->Watch->EventNum), error);
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

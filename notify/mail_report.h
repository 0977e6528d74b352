#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/matching.h"
#include "libs/bsmtp/bsmtp.h"
#include "notify/mail_spool.h"
#include "notify/smtp.h"
#include "platform/library.h"

struct Settings;

// The report mail of a tick: one mail per report record with mail recipients, through the
// built-in SMTP client or through the authenticated mail library, a result line per mail in
// the program log, and the record's temporary attachment folders removed in every case.

// "Quorvik Report (監視イベント番号: %d) - %s".
std::string MailSubject(const WatchEntry& watch);

// The texts of the recipients that are mail addresses (they contain "@"), in order; none for a
// report whose notifications are held back.
std::vector<std::string> MailRecipients(const ReportRecord& report);

// True when SenderName, MailAddr and SMTPServer are all set.
bool SmtpConfigured(const Settings& settings);

// The texts the mail library takes: an address in angle brackets (unless it starts with one),
// the server "host:port:timeout", the sender with the authentication when one is chosen.
std::string BracketedAddress(const std::string& address);
std::string LibraryServerText(const Settings& settings);
std::string LibrarySenderText(const Settings& settings);

// Calls the library, processing window messages while it works; its result.
int CallMailLibrary(BSendMailFunction send, const std::string& server, const std::string& to,
                    const std::string& from, const std::string& subject, const std::string& body,
                    const std::string& attachments, char* error);

// The outside mail library, loaded once for the run.
struct MailLibrary {
    platform::UniqueLibrary library;
    BSendMailFunction send = nullptr;
    BSendRawMailFunction sendRaw = nullptr;  // when the library has it

    // Loads BSMTP.DLL and finds BSendMail; without the entry point nothing is kept.
    bool Load();
};

// Mail delivery over either path, for one run of the program.
class ReportMailer {
public:
    explicit ReportMailer(const Settings& settings) : m_settings(settings) {}

    // The path chosen at start-up: the library when its entry point was found, else the client.
    void UseLibrary(BSendMailFunction send) { m_send = send; }
    bool UsesLibrary() const { return m_send != nullptr; }

    // Mail that cannot be delivered for now (no connection, a time-out, a 4xx reply) is kept in
    // the spool and tried again at each tick for the hours given; nullptr keeps none. With the
    // library, mail is kept only when it takes composed mail.
    void UseSpool(MailSpool* spool, int hours);
    void UseRawLibrary(BSendRawMailFunction raw) { m_raw = raw; }
    bool Spooling() const { return m_spool && (!UsesLibrary() || m_raw); }
    // Tries the kept mail, oldest first, until one fails for now. False when mail is still
    // waiting for the server, so that new mail queues up behind it.
    bool RetrySpool();

    // Mails the batch over the chosen path.
    void DeliverMail(TickBatch& batch);
    bool MailReportsByClient(TickBatch& batch);
    bool MailReportsByLibrary(TickBatch& batch);

    // Makes and connects a client, trying again after a time-out, three attempts in all; none
    // with ConnectionErrorText set when it did not connect.
    std::unique_ptr<TNMSMTP> ConnectMailClient();
    const std::string& ConnectionErrorText() const { return m_connectionError; }

    // Makes the clients (tests put in clients of their own).
    using ClientFactory = std::function<std::unique_ptr<TNMSMTP>()>;
    void SetClientFactory(ClientFactory factory) { m_factory = std::move(factory); }

private:
    void NotConfigured(TickBatch& batch);
    void SendOneByClient(TNMSMTP& client, ReportRecord& report);
    void DeliverKeepingFailures(TickBatch& batch);
    // One composed mail over the chosen path; the reason of a failure in error.
    SendOutcome SendComposed(const SpooledMail& mail, std::string& error);
    void EndComposedSends();
    void KeepInSpool(const SpooledMail& mail);

    const Settings& m_settings;
    BSendMailFunction m_send = nullptr;
    ClientFactory m_factory;
    std::string m_connectionError;
    bool m_success = false;  // set by the client's success and failure events
    MailSpool* m_spool = nullptr;
    int m_spoolHours = 24;
    BSendRawMailFunction m_raw = nullptr;
    std::unique_ptr<TNMSMTP> m_composedClient;  // for composed mail within one tick
    bool m_spoolWaiting = false;                // kept mail still waits after this tick's try
};

// Removes the record's temporary attachment folders.
void RemoveAttachFolders(const ReportRecord& report);

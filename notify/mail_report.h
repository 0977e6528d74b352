#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/matching.h"
#include "notify/bsmtp_abi.h"
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

// What a report mail reports, as one line of printable ASCII: its kind, its watch entry, its log
// and its record's number, times and identity. Two runs that read the same record for the same
// entry make the same key.
std::string ReportKey(const ReportRecord& report);

// True when SenderName, MailAddr and SMTPServer are all set.
bool SmtpConfigured(const Settings& settings);

// The texts the mail library takes: an address in angle brackets (unless it starts with one),
// the server "host:port:timeout", the sender with the authentication when one is chosen.
std::string BracketedAddress(const std::string& address);
std::string LibraryServerText(const Settings& settings);
std::string LibrarySenderText(const Settings& settings);
// The recipients as the library takes them: bracketed, separated by tabs.
std::string LibraryRecipientsText(const std::vector<std::string>& recipients);

// Calls the library, processing window messages while it works on the window's thread; its
// result. Calls into the library run one at a time, whichever thread makes them.
int CallMailLibrary(BSendMailFunction send, const std::string& server, const std::string& to,
                    const std::string& from, const std::string& subject, const std::string& body,
                    const std::string& attachments, char* error);

// The same for the entry point that takes composed mail, with a fate per recipient.
int CallRawMailLibrary(BSendRawMailFunction send, const std::string& server, const std::string& to,
                       const std::string& from, const std::string& message, char* fates,
                       char* error);

// The outside mail library, loaded once for the run.
struct MailLibrary {
    platform::UniqueLibrary library;
    BSendMailFunction send = nullptr;
    BSendRawMailFunction sendRaw = nullptr;  // when the library has it

    // Loads BSMTP.DLL and finds BSendMail; without the entry point nothing is kept.
    bool Load();
};

// What became of one mail at a server, by recipient: taken, refused for now (a 4xx reply, or no
// reply at all) or for good (a 5xx reply).
struct MailDelivery {
    std::vector<std::string> accepted, deferred, refused;  // the recipients as given
    std::string refusedText;  // "address (reply)" of the refused and deferred, for the log
    std::string error;        // why the mail as a whole did not go, when it did not
    bool away = false;        // the server could not be reached or stopped answering
    // The message went whole and its reply never came: the deferred may have it already.
    bool unconfirmed = false;
};

// What the client's last send did for each of the recipients it was given. failed: the send
// raised an error; away: because the server could not be reached, stopped answering or dropped
// the connection (then nothing it had not yet refused is refused for good).
MailDelivery ClientDelivery(const TNMSMTP& client, const std::vector<std::string>& to, bool failed,
                            bool away, const std::string& error);

// Mail delivery over either path, for one run of the program.
class ReportMailer {
public:
    explicit ReportMailer(const Settings& settings) : m_settings(settings) {}

    // The path chosen at start-up: the library when its entry point was found, else the client.
    void UseLibrary(BSendMailFunction send) { m_send = send; }
    bool UsesLibrary() const { return m_send != nullptr; }

    // With an outbox, every report mail is written into it before it is first sent and taken
    // out only once a server took it; what a server could not take for now (no connection, a
    // time-out, a 4xx reply) stays and is tried again for the hours given. nullptr keeps none.
    // With the library, the outbox needs its entry point for composed mail.
    void UseSpool(MailSpool* spool, int hours);
    void UseRawLibrary(BSendRawMailFunction raw) { m_raw = raw; }
    bool Spooling() const { return m_spool && (!UsesLibrary() || m_raw); }

    // Mails the batch over the chosen path: queued and sent from the outbox, or sent directly.
    void DeliverMail(TickBatch& batch);
    // The first half: with the outbox, each report's mail written into it (on the disk when
    // this returns); without, sent at once. Either way, the batch's mail is then in safe hands.
    void QueueMail(TickBatch& batch);
    // The second half: sends what the outbox holds, oldest first, until a server is away. False
    // when mail is still waiting. After a server was away, the outbox waits (a watch interval,
    // doubling up to an hour, or until the server settings change) before it is tried again.
    bool FlushOutbox();
    // At the start: the reports whose mail the outbox holds, so that the records a killed run
    // had kept the mail of, and reads again, do not make it twice.
    void NoteKeptReports(const MailSpool& spool);
    // By log, the oldest record whose mail could be neither kept nor sent yet.
    std::map<std::string, std::uint32_t> HeldRecords() const;

    bool MailReportsByClient(TickBatch& batch);
    bool MailReportsByLibrary(TickBatch& batch);

    // Makes and connects a client, trying again after a time-out, three attempts in all; none
    // with ConnectionErrorText set when it did not connect.
    std::unique_ptr<TNMSMTP> ConnectMailClient();
    const std::string& ConnectionErrorText() const { return m_connectionError; }

    // Makes the clients (tests put in clients of their own).
    using ClientFactory = std::function<std::unique_ptr<TNMSMTP>()>;
    void SetClientFactory(ClientFactory factory) { m_factory = std::move(factory); }
    // How long the client waits for the reply to a message's end (tests shorten it).
    void SetFinalReplyTimeOut(std::uint32_t milliseconds) { m_finalReply = milliseconds; }

private:
    void NotConfigured(TickBatch& batch);
    void SendOneByClient(TNMSMTP& client, ReportRecord& report);
    // One composed mail over the chosen path.
    MailDelivery SendComposed(const SpooledMail& mail);
    void EndComposedSends();
    // Sends one file of the outbox and says what became of it; false when the server is away.
    // left is set when some of it waits for a later try.
    bool SendKept(const std::string& path, std::int64_t now, bool& left);
    // A mail that could not be written into the outbox.
    struct Unkept {
        SpooledMail mail;
        std::string log;           // the log of its record, when it has one
        std::uint32_t record = 0;  // its number; 0: none
        bool mayHaveArrived = false;
    };
    // Sends one; true when it is done with (taken or refused for good). away: the server was.
    bool SendUnkept(Unkept& unkept, bool& away);
    // The outbox is not tried before this (seconds since 1970) after a server was away.
    bool BackingOff(std::int64_t now) const;
    void ServerWasAway(std::int64_t now);
    std::string ServerSettingsText() const;
    // Says for each new mail that was kept but not tried that it waits; forgets them.
    void SayFreshKept(const char8_t* text, const std::string& detail = std::string());

    const Settings& m_settings;
    BSendMailFunction m_send = nullptr;
    ClientFactory m_factory;
    std::string m_connectionError;
    std::uint32_t m_finalReply = 600000;
    bool m_success = false;  // set by the client's success and failure events
    MailSpool* m_spool = nullptr;
    int m_spoolHours = 24;
    BSendRawMailFunction m_raw = nullptr;
    std::unique_ptr<TNMSMTP> m_composedClient;  // for composed mail within one flush
    // Outbox files not tried yet (their lines are new mail's), with their watch numbers.
    std::vector<std::pair<std::string, int>> m_fresh;
    std::vector<Unkept> m_unkept;         // mail the outbox could not take, sent without it
    std::vector<std::string> m_stuck;     // taken by a server but not removable: never sent again
    std::set<std::string> m_keptReports;  // ReportKey of the mail the outbox held at the start
    std::int64_t m_retryAt = 0;           // while a server is away: not before then
    std::int64_t m_backoff = 0;           // seconds of the last wait
    std::string m_awayServer;             // the settings the server was away with
};

// Removes the record's temporary attachment folders.
void RemoveAttachFolders(const ReportRecord& report);

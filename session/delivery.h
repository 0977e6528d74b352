#pragma once

#include <string>

#include "core/flood_control.h"
#include "core/monitor.h"
#include "notify/mail_report.h"
#include "notify/mail_spool.h"

struct ExtensionSettings;
struct Settings;

// What a tick does with its batch: the actions, the report mail with its outbox and the
// notifications held by the hourly limit (their counts kept in FLOOD.DAT beside the outbox), and
// the network messages. Runs on the session's thread, on the settings the tick copied.
class Delivery : public BatchConsumers {
public:
    Delivery(const Settings& settings, const ExtensionSettings& extensions);

    // At start-up: the mail library, and the held counts an earlier run kept.
    void Load();
    // Before each job: the options the tick copied.
    void Apply();

    bool UsesMailLibrary() const { return m_library.send != nullptr; }
    BSendMailFunction MailLibraryEntry() const { return m_library.send; }
    // The library can send mail the outbox kept (its entry point for composed mail).
    bool LibrarySendsKeptMail() const { return m_library.sendRaw != nullptr; }
    // Whether the outbox holds mail to send (the window's options say whether it is used).
    bool OutboxWaiting(const ExtensionSettings& options) const;
    void FlushOutbox() { m_mailer.FlushOutbox(); }

    void ProcessActions(TickBatch& batch) override;
    void BeforeNotifications(TickBatch& batch) override;
    void DeliverMail(TickBatch& batch) override;
    void Checkpoint() override;
    void AfterCheckpoint() override;
    std::map<std::string, std::uint32_t> HeldRecords() const override {
        return m_mailer.HeldRecords();
    }
    void SendNetworkMessages(TickBatch& batch) override;

private:
    std::string FloodStatePath() const;

    const ExtensionSettings& m_extensions;
    MailLibrary m_library;
    MailSpool m_spool;
    ReportMailer m_mailer;
    FloodControl m_flood;
    std::string m_savedFlood;  // the held counts as last saved
};

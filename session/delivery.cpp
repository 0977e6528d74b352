#include "session/delivery.h"

#include <climits>

#include "actions/actions.h"
#include "config/settings.h"
#include "core/program_log.h"
#include "notify/netsend.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"

Delivery::Delivery(const Settings& settings, const ExtensionSettings& extensions)
    : m_extensions(extensions), m_spool(SpoolFolder()), m_mailer(settings) {}

void Delivery::Load() {
    if (m_library.Load()) m_mailer.UseLibrary(m_library.send);
    m_mailer.UseRawLibrary(m_library.sendRaw);
    m_mailer.NoteKeptReports(m_spool);
    std::string held;
    if (platform::ReadWholeFile(FloodStatePath(), held)) {
        m_flood.Parse(held);
        m_savedFlood = held;
    }
}

void Delivery::Apply() {
    m_flood.SetLimit(m_extensions.FloodLimit);
    m_mailer.UseSpool(m_extensions.Spool ? &m_spool : nullptr, m_extensions.SpoolHours);
}

bool Delivery::OutboxWaiting(const ExtensionSettings& options) const {
    // Whether the chosen path can send it is the mailer's to say, when the job runs.
    return options.Spool && !m_spool.Waiting().empty();
}

std::string Delivery::FloodStatePath() const { return m_spool.Folder() + "FLOOD.DAT"; }

void Delivery::ProcessActions(TickBatch& batch) { ::ProcessActions(batch); }

void Delivery::BeforeNotifications(TickBatch& batch) {
    const std::int64_t now = platform::NowUnixMilliseconds() / 1000;
    // Hours still open when the option was turned off end now, so that no count is lost.
    TickBatch summaries = m_flood.TakeSummaries(m_extensions.Flood ? now : INT64_MAX);
    // Ahead of the batch in the outbox: older news before newer.
    if (!summaries.empty()) m_mailer.QueueMail(summaries);
    if (m_extensions.Flood) m_flood.Mark(batch, now);
}

void Delivery::DeliverMail(TickBatch& batch) { m_mailer.QueueMail(batch); }

void Delivery::Checkpoint() {
    // The held counts go to the disk with the outbox, only when they changed.
    const std::string held = m_flood.Empty() ? std::string() : m_flood.Format();
    if (held == m_savedFlood) return;
    const std::string path = FloodStatePath();
    bool saved;
    if (held.empty()) {
        saved =
            platform::DeleteFile(path) || platform::GetLastError() == platform::kErrorFileNotFound;
    } else {
        saved = (platform::DirectoryExists(m_spool.Folder()) ||
                 platform::CreatePrivateDirectory(m_spool.Folder())) &&
                platform::WritePrivateFileAtomically(path, held);
    }
    if (saved) {
        m_savedFlood = held;
    } else {
        LogMessage(kLogWarning, sjis(u8"通知の抑制状態(%s)を保存できませんでした。%s").c_str(),
                   path.c_str(), platform::SystemErrorText(platform::GetLastError()).c_str());
    }
}

void Delivery::AfterCheckpoint() { m_mailer.FlushOutbox(); }

void Delivery::SendNetworkMessages(TickBatch& batch) { ::SendNetworkMessages(batch); }

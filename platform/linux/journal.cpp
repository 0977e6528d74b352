#include "platform/journal.h"

#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/bytes.h"
#include "platform/errors.h"

namespace platform {

namespace {

bool Failed(int negativeErrno) {
    SetLastError(ErrorFromErrno(-negativeErrno));
    return false;
}

// A field's value, empty when the entry has none.
std::string Field(sd_journal* j, const char* name) {
    const void* data = nullptr;
    size_t length = 0;
    if (sd_journal_get_data(j, name, &data, &length) < 0) return std::string();
    const size_t prefix = std::strlen(name) + 1;  // "NAME="
    if (length < prefix) return std::string();
    return std::string(static_cast<const char*>(data) + prefix, length - prefix);
}

}  // namespace

bool Journal::Open(const std::string& folder) {
    Close();
    const int r = folder.empty() ? sd_journal_open(&m_journal, SD_JOURNAL_LOCAL_ONLY)
                                 : sd_journal_open_directory(&m_journal, folder.c_str(), 0);
    if (r < 0) {
        m_journal = nullptr;
        return Failed(r);
    }
    // Long messages whole: journald keeps up to 48 KiB by default; the records take 32 KiB.
    sd_journal_set_data_threshold(m_journal, 32768);
    return true;
}

void Journal::Close() {
    if (m_journal) sd_journal_close(m_journal);
    m_journal = nullptr;
}

bool Journal::SeekAfter(const std::string& cursor) {
    if (!m_journal) return false;
    int r = sd_journal_seek_cursor(m_journal, cursor.c_str());
    if (r < 0) return Failed(r);
    r = sd_journal_next(m_journal);
    if (r > 0 && sd_journal_test_cursor(m_journal, cursor.c_str()) > 0) return true;
    // The entry is gone: the nearest later one is next.
    if (r > 0) sd_journal_previous(m_journal);
    return false;
}

bool Journal::SeekTail() {
    if (!m_journal) return false;
    const int r = sd_journal_seek_tail(m_journal);
    if (r < 0) return Failed(r);
    // On the newest entry, so that the next one is the first to come.
    sd_journal_previous(m_journal);
    return true;
}

bool Journal::SeekRealtime(std::int64_t usec) {
    if (!m_journal) return false;
    const int r = sd_journal_seek_realtime_usec(m_journal, static_cast<std::uint64_t>(usec));
    return r >= 0 || Failed(r);
}

bool Journal::SeekHead() {
    if (!m_journal) return false;
    const int r = sd_journal_seek_head(m_journal);
    return r >= 0 || Failed(r);
}

bool Journal::Next(JournalEntry& e) {
    if (!m_journal) return false;
    const int r = sd_journal_next(m_journal);
    if (r < 0) return Failed(r);
    if (r == 0) return false;  // nothing more for now
    char* cursor = nullptr;
    if (sd_journal_get_cursor(m_journal, &cursor) >= 0) {
        e.cursor = cursor;
        std::free(cursor);
    } else {
        e.cursor.clear();
    }
    std::uint64_t usec = 0;
    e.realtimeUs =
        sd_journal_get_realtime_usec(m_journal, &usec) >= 0 ? static_cast<std::int64_t>(usec) : 0;
    e.message = Field(m_journal, "MESSAGE");
    e.priority = Field(m_journal, "PRIORITY");
    e.identifier = Field(m_journal, "SYSLOG_IDENTIFIER");
    e.unit = Field(m_journal, "_SYSTEMD_UNIT");
    e.userUnit = Field(m_journal, "_SYSTEMD_USER_UNIT");
    e.hostname = Field(m_journal, "_HOSTNAME");
    e.uid = Field(m_journal, "_UID");
    e.facility = Field(m_journal, "SYSLOG_FACILITY");
    e.messageId = Field(m_journal, "MESSAGE_ID");
    e.transport = Field(m_journal, "_TRANSPORT");
    e.command = Field(m_journal, "_COMM");
    e.pid = Field(m_journal, "_PID");
    return true;
}

Journal::Change Journal::Wait(unsigned timeoutMs) {
    if (!m_journal) return Change::None;
    switch (sd_journal_wait(m_journal, static_cast<std::uint64_t>(timeoutMs) * 1000)) {
        case SD_JOURNAL_APPEND: return Change::Appended;
        case SD_JOURNAL_INVALIDATE: return Change::Files;
        default: return Change::None;
    }
}
}  // namespace platform

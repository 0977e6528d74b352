#include "ingest/event_source.h"

#include <chrono>

#include "core/program_log.h"
#include "platform/bytes.h"
#include "platform/codepage.h"

IngestCounts IngestProgress::Get() const {
    std::lock_guard lock(m_mutex);
    return m_counts;
}

void IngestProgress::Reset() {
    std::lock_guard lock(m_mutex);
    m_counts = IngestCounts();
}

void IngestProgress::Update(const std::function<void(IngestCounts&)>& change) {
    {
        std::lock_guard lock(m_mutex);
        change(m_counts);
    }
    m_changed.notify_all();
}

bool IngestProgress::WaitForRecords(std::uint64_t count, unsigned timeoutMs) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_counts.written + m_counts.failed >= count; });
}

namespace {

std::int64_t SteadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void ProgressLines::Update(const IngestCounts& now, bool atEnd) {
    const std::int64_t time = SteadySeconds();
    if (m_since < 0) m_since = time;
    if (!atEnd && time - m_since < 60) return;
    const auto delta = [](std::uint64_t a, std::uint64_t b) {
        return static_cast<unsigned long long>(a - b);
    };
    const unsigned long long received = delta(now.received, m_told.received);
    const unsigned long long written = delta(now.written, m_told.written);
    const unsigned long long dropped = delta(now.dropped, m_told.dropped);
    const unsigned long long overflowed = delta(now.overflowed, m_told.overflowed);
    const unsigned long long failed = delta(now.failed, m_told.failed);
    const unsigned long long unwritten = delta(now.unwritten, m_told.unwritten);
    const unsigned long long waits = delta(now.waits, m_told.waits);
    const bool lost = dropped + overflowed + failed + unwritten > 0;
    if (received >= 1000 || written >= 1000 || lost || waits > 0) {
        std::string line =
            m_source + platform::StringPrintf(sjis(u8": %s受信%llu件、記録%llu件").c_str(),
                                              atEnd ? "" : sjis(u8"1分間に").c_str(), received,
                                              written);
        if (dropped > 0) {
            line += platform::StringPrintf(sjis(u8"、破棄%llu件(受信の待ち行列が満杯)").c_str(),
                                           dropped);
        }
        if (overflowed > 0) {
            line += platform::StringPrintf(
                sjis(u8"、破棄%llu件(UDPの受信バッファーが満杯)").c_str(), overflowed);
        }
        if (failed > 0)
            line += platform::StringPrintf(sjis(u8"、記録できず%llu件").c_str(), failed);
        if (unwritten > 0) {
            line += platform::StringPrintf(sjis(u8"、未記録%llu件(終了時にログが満杯)").c_str(),
                                           unwritten);
        }
        line += sjis(u8"。");
        if (waits > 0) {
            line += sjis(
                u8"ログがまだチェックされていないレコードでいっぱいになったため、"
                u8"チェックを待って書き込みました。");
        }
        LogMessage(lost ? kLogWarning : kLogInformation, "%s", line.c_str());
    }
    m_told = now;
    m_since = time;
}

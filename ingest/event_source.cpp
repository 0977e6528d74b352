#include "ingest/event_source.h"

#include <chrono>

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

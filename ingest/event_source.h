#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

struct ExtensionSettings;

// A source of events beside the machine's own logs (the syslog receiver, the journal importer,
// the watch on the logs' files): the session starts, restarts and stops each by the options.
class EventSource {
public:
    virtual ~EventSource() = default;
    // Puts the options in effect: starts the source, starts it anew when what it uses changed,
    // or stops it when it is turned off.
    virtual void Apply(const ExtensionSettings& options) = 0;
    virtual void Stop() = 0;
    virtual bool Running() const = 0;
};

// What a source took in so far. Not every source has every kind: a journal refuses nothing.
struct IngestCounts {
    std::uint64_t received = 0;    // messages or entries taken from the source
    std::uint64_t written = 0;     // records written into the machine's logs
    std::uint64_t dropped = 0;     // messages that found the queue full
    std::uint64_t overflowed = 0;  // datagrams the system dropped, the socket's buffer full
    std::uint64_t refused = 0;     // messages and connections of senders not allowed
    std::uint64_t malformed = 0;   // messages of no known form, kept as text
    std::uint64_t truncated = 0;   // messages longer than the largest, kept cut
    std::uint64_t failed = 0;      // records the logs would not take
    std::uint64_t skipped = 0;     // already in the logs when a restart met them again
    std::uint64_t unwritten = 0;   // still waiting for room in the log when the source stopped
    std::uint64_t waits = 0;       // times the writer waited for the watch to read the log
};

// The line a source says each minute it is busy (a burst: many messages, or any lost): what
// came, what was written, what was lost and why, so that the program log tells the whole of it.
class ProgressLines {
public:
    // source: the name the lines begin with (CP932).
    explicit ProgressLines(std::string source) : m_source(std::move(source)) {}
    // Called by the writing thread whenever it likes; says a line once a minute has passed since
    // the last one (or at the end) when that time was busy.
    void Update(const IngestCounts& now, bool atEnd = false);

private:
    std::string m_source;
    IngestCounts m_told;
    std::int64_t m_since = -1;  // steady seconds when the last line was said
};

// The counts of a source, changed by its threads and read or awaited by others.
class IngestProgress {
public:
    IngestCounts Get() const;
    void Reset();
    // Changes the counts under the lock and wakes those who wait.
    void Update(const std::function<void(IngestCounts&)>& change);
    // Waits until at least count records were written or failed; false after timeoutMs without.
    bool WaitForRecords(std::uint64_t count, unsigned timeoutMs) const;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    IngestCounts m_counts;
};

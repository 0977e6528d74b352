#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/matching.h"

// Holds back the notifications of a watch entry beyond a number per hour. An entry's hour starts
// with its first notification; within it the first matches are notified and the rest only
// counted, and when it ends one summary report says how many were held back and which were the
// first and the last. Actions are not concerned: they run for every match.
class FloodControl {
public:
    explicit FloodControl(int limit = 10) : m_limit(limit < 1 ? 1 : limit) {}

    void SetLimit(int limit) { m_limit = limit < 1 ? 1 : limit; }
    int Limit() const { return m_limit; }

    // Marks the reports over their entry's limit as held (NotifyHeld). Reports without
    // recipients notify nobody and are not counted.
    void Mark(TickBatch& batch, std::int64_t nowSeconds);

    // The summaries of the hours that ended by now, one report per entry that held something
    // back, to the recipients of its last held report. The reports stay valid until the next
    // call.
    TickBatch TakeSummaries(std::int64_t nowSeconds);

    // The hour length, in seconds.
    static constexpr std::int64_t kWindow = 3600;

    // The open hours as a file's text, and back: held counts survive a restart, so that the
    // summary of an hour comes even when the program was stopped in it. Parsing a damaged text
    // keeps the hours it could read whole.
    std::string Format() const;
    void Parse(std::string_view text);
    // True when no hour is open.
    bool Empty() const { return m_windows.empty(); }

private:
    struct Window {
        std::int64_t start = 0;
        int notified = 0;
        int held = 0;
        WatchEntry watch;  // as it was at the last held report
        std::vector<std::string> recipients;
        std::string firstLog, lastLog;
        EventRecord first, last;
    };

    int m_limit;
    std::map<int, Window> m_windows;  // by watch entry number
    std::vector<std::unique_ptr<WatchEntry>> m_summaryWatches;
};

// The text of a summary: the count, the hour, and the first and last held event.
std::string FloodSummaryText(int watchNumber, int limit, int held, const std::string& firstLog,
                             const EventRecord& first, const std::string& lastLog,
                             const EventRecord& last, std::int64_t startSeconds,
                             std::int64_t endSeconds);

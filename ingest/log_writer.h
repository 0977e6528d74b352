#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "platform/machine/eventlog_writer.h"

// Text as a sender wrote it, as UTF-8: kept when it is valid UTF-8, otherwise read as Shift-JIS
// (Japanese Windows agents write it).
std::string TextAsUtf8(std::string_view bytes);

// A log of the machine that events from elsewhere (syslog senders, the journal) are written into,
// with the sources registered on first sight so that each renders its message.
class IngestLogWriter {
public:
    // log is CP932; fallback is the source of what cannot have a source of its own; the log is
    // grown to maxBytes when it is smaller (0: left as it is).
    IngestLogWriter(std::string log, std::string fallback, std::uint32_t maxBytes = 0)
        : m_log(std::move(log)), m_fallback(std::move(fallback)), m_maxBytes(maxBytes) {}

    // Registers the log, the fallback source and the program's own, then opens the log.
    bool Open();
    const std::string& Log() const { return m_log; }
    // The source of the program's own notices in the log ("Quorvik Syslog"): a name with a
    // blank, which no sender's name becomes, so that no sender can write one.
    std::string OwnSource() const { return "Quorvik " + m_fallback; }

    // The source an application's events are written under: its own, registered in this log
    // (whatever other log also holds one of that name), or (for one name too many, or one the
    // registry cannot take) the fallback, with prefix set to the name to put before the text.
    // Names with blanks (a Windows provider's, "Service Control Manager") keep them when asked.
    std::string Source(const std::string& application, std::string& prefix, bool blanks = false);

    // Writes the event (its texts are UTF-8). A log a writer killed half-way left without its
    // end is mended first, with a warning. False with the last error set: 1502 when the log is
    // full of records the watch has not read yet, which the caller waits out.
    bool Write(const std::string& source, const platform::EventToWrite& event);

    // Sources the log takes at most, those registered by earlier runs included: a sender naming
    // a new application in every message must not grow the registry without end.
    static constexpr size_t kMaxNewSources = 256;

private:
    bool Register(const std::string& name);

    std::string m_log;
    std::string m_fallback;
    std::uint32_t m_maxBytes = 0;
    platform::EventLogWriter m_writer;
    std::map<std::string, bool> m_sources;  // name -> registered in this log
    bool m_categories = false;              // the facilities' message file is there
};

#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Syslog messages as senders write them: RFC 5424 and the older BSD form (RFC 3164), and the two
// ways TCP frames them (RFC 6587). Nothing here touches the network or the logs.

struct SyslogMessage {
    int facility = 1;        // user, when the message does not say
    int severity = 5;        // notice, when the message does not say
    std::int64_t time = -1;  // seconds since 1970; -1 when the message gives none
    std::string hostname;    // empty when it gives none
    std::string appName;     // APP-NAME, or the BSD TAG
    std::string procId;
    std::string msgId;
    std::string structuredData;  // as written, "[id name="value"]..."; empty for none
    std::string text;            // the message (UTF-8 where it was valid UTF-8)
    bool rfc5424 = false;
    // What did not follow either form; the message is then the whole input, kept as text.
    std::string problem;
};

// "2026-12-07T09:05:03.123+09:00" (or Z) as seconds since 1970; false when it is not one.
bool Rfc3339(std::string_view text, std::int64_t& seconds);

// Reads one message; never fails: what it cannot read is kept as text and named in problem.
// year is the year a BSD timestamp (which has none) is taken in.
SyslogMessage ParseSyslogMessage(std::string_view bytes, int year);

// The largest message taken whole; longer ones are cut there.
constexpr size_t kSyslogMaxMessage = 64 * 1024;

// Splits a TCP stream into messages: octet counting ("LEN SP MSG") when the connection's first
// frame is counted so (RFC 6587), otherwise one message per line (LF, or NUL as some senders
// use) for the whole connection, so that a line that begins with digits stays a line. A message
// longer than the largest is cut once, the rest of it passed over, and the cut counted.
class SyslogFramer {
public:
    // Appends the whole messages that the bytes complete.
    void Feed(std::string_view bytes, std::vector<std::string>& messages);
    // The end of the stream: what is left is a last message.
    void Finish(std::vector<std::string>& messages);
    unsigned Truncated() const { return m_truncated; }

private:
    enum class Mode { Unknown, Counted, Lines };
    std::string m_buffer;
    Mode m_mode = Mode::Unknown;
    size_t m_skip = 0;        // bytes still to drop of a frame too long to keep
    bool m_skipLine = false;  // ... or the rest of a line too long to keep
    unsigned m_truncated = 0;
};

// The facility's name ("kern", "user", ... "local7"), or its number.
std::string SyslogFacilityName(int facility);

// The event type of a severity: 0-3 error, 4 warning, 5-7 information.
std::uint16_t SyslogEventType(int severity);

// The event identifier of a message: 1 to 1000, the same for every message of one MSGID (or,
// without one, of one application), so that a watch entry can name it.
std::uint32_t SyslogEventId(std::string_view msgId, std::string_view appName);

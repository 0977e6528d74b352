#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ingest/syslog_message.h"

// Events of Windows machines that agents forward over syslog: Snare's tab-separated form
// ("MSWinEventLog", criticality, log, counter, time, id, provider, user, SID type, event type,
// computer, category, data, description, record counter) and NXLog's JSON of its Windows event
// log input. Texts are UTF-8.
struct ForwardedEvent {
    std::string log;  // the log or channel as the sender names it
    std::string source;
    std::uint32_t eventId = 0;
    std::uint16_t type = 4;  // the classic event type
    std::string category;
    std::string computer;  // empty: the syslog host
    std::string user;      // a name (DOMAIN\user) or a SID in text
    std::int64_t time = -1;
    std::vector<std::string> strings;  // the event's data values, in order
    std::string description;           // what the sender rendered
};

// Reads the message as a forwarded event: false when it is in neither format. raw is the whole
// message as received (a sender may leave the syslog header out).
bool ParseForwardedEvent(const SyslogMessage& message, std::string_view raw, ForwardedEvent& out);

// The name a log of the machine takes for a channel: the name itself, with the separators a log
// name cannot hold ("/", "\") made "-", at most 64 characters.
std::string LogNameOfChannel(std::string_view channel);

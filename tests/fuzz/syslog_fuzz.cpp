// Feeds any bytes to the syslog message reader and to the TCP framer, cut at a point the input
// chooses: nothing may crash, every message stays within the largest size, and the framer gives
// the same messages however the stream is cut; a message read as a forwarded Windows event names
// its log and source.
#include <cstdint>
#include <string>
#include <vector>

#include "ingest/syslog_message.h"
#include "ingest/windows_event.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const SyslogMessage m = ParseSyslogMessage(input, 2026);
    if (m.facility < 0 || m.facility > 23 || m.severity < 0 || m.severity > 7) __builtin_trap();
    if (m.text.size() > input.size()) __builtin_trap();
    ForwardedEvent event;
    if (ParseForwardedEvent(m, input, event) &&
        (event.log.empty() || event.source.empty() || LogNameOfChannel(event.log).size() > 64)) {
        __builtin_trap();
    }

    std::vector<std::string> whole, pieces;
    SyslogFramer one, two;
    one.Feed(input, whole);
    one.Finish(whole);
    const size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    two.Feed(input.substr(0, cut), pieces);
    two.Feed(input.substr(cut), pieces);
    two.Finish(pieces);
    if (whole != pieces) __builtin_trap();
    for (const std::string& message : whole) {
        if (message.size() > kSyslogMaxMessage) __builtin_trap();
    }
    return 0;
}

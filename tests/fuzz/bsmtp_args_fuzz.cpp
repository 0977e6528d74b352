// The mail library's arguments, as hostile callers could pass them: whatever the texts, reading
// them never crashes, and what it accepts cannot carry a command or a URL into the dialogue.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "libs/bsmtp/mail_arguments.h"

namespace {

bool Clean(const std::string& text, const char* forbidden) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 ||
            std::string(forbidden).find(c) != std::string::npos) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Six texts separated by 0x01 bytes: server, to, from, subject, body, attachments.
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0x01 && fields.size() < 6) {
            fields.emplace_back();
        } else if (data[i] != 0) {
            fields.back() += static_cast<char>(data[i]);
        }
    }
    fields.resize(6);
    bsmtp::MailArguments a;
    std::string error;
    const bool ok = bsmtp::ParseMailArguments(fields[0].c_str(), fields[1].c_str(),
                                              fields[2].c_str(), fields[3].c_str(),
                                              fields[4].c_str(), fields[5].c_str(), a, error);
    if (!ok) {
        if (error.empty()) abort();
        return 0;
    }
    if (a.host.empty() || !Clean(a.host, "/@?#[] \\%") || a.port < 1 || a.port > 65535) abort();
    if (a.recipients.empty()) abort();
    for (const std::string& r : a.recipients) {
        if (!bsmtp::ValidAddress(r) || !Clean(r, " <>\r\n")) abort();
    }
    if (!bsmtp::ValidAddress(a.senderAddress)) abort();
    if (a.senderName.find_first_of("\r\n") != std::string::npos) abort();
    if (a.authenticate && a.method != "LOGIN" && a.method != "CRAM-MD5" && a.method != "PLAIN") {
        abort();
    }
    return 0;
}

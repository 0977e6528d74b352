#pragma once

#include <string>
#include <vector>

// The arguments of BSendMail, read and checked before anything goes on the wire: a text that
// could smuggle a command into the SMTP dialogue or a URL is refused.
namespace bsmtp {

struct MailArguments {
    std::string host;  // a name or an address; an IPv6 address without brackets
    int port = 25;
    int timeoutSeconds = 0;
    std::vector<std::string> recipients;  // bare addresses
    std::string senderName;               // Shift-JIS
    std::string senderAddress;
    bool authenticate = false;
    std::string user, password;
    std::string method;  // LOGIN, CRAM-MD5 or PLAIN
    std::string subject, body;
    std::vector<std::string> attachments;  // paths as given
};

// False with a Shift-JIS text saying which argument is wrong. Null texts count as empty.
bool ParseMailArguments(const char* server, const char* to, const char* from, const char* subject,
                        const char* body, const char* attachments, MailArguments& arguments,
                        std::string& error);

// An address as a mail envelope may carry it: printable ASCII without blanks, brackets or
// commas, at most 254 characters.
bool ValidAddress(const std::string& address);

}  // namespace bsmtp

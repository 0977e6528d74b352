#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Report mail that could not be delivered for now, kept on disk to be tried again: one standard
// .eml file per mail (attachments inside), its envelope and integrity in X-Quorvik- header lines
// before the message's own. A file is written in one step and checked whole before it is sent,
// so that a mail is never sent half.

// How a send ended, for a sender that may try again.
enum class SendOutcome { Accepted, Refused, Deferred };

struct SpooledMail {
    std::string from;                     // the envelope sender's address
    std::vector<std::string> recipients;  // as the address list holds them
    int watch = 0;                        // the watch entry's number, for the log lines
    std::int64_t spooled = 0;             // seconds since 1970 when the mail was first kept
    std::string message;                  // header and body, CR LF lines, not dot-stuffed
};

// The file's bytes, and back; false when the file is damaged (cut short, changed, not ours).
std::string FormatSpoolFile(const SpooledMail& mail);
bool ParseSpoolFile(std::string_view bytes, SpooledMail& mail);

// The spool folder beside the program, with its trailing separator.
std::string SpoolFolder();

class MailSpool {
public:
    explicit MailSpool(std::string folder) : m_folder(std::move(folder)) {}

    const std::string& Folder() const { return m_folder; }

    // Writes a new file after the ones waiting; its path, or empty with the last error set.
    std::string Keep(const SpooledMail& mail);
    // The files waiting, oldest first.
    std::vector<std::string> Waiting() const;
    // Renames a file so that it is no longer tried (".bad", ".expired", ".refused"); the new
    // path, or empty when it could not be moved (then it is deleted, never tried again).
    std::string SetAside(const std::string& path, const char* suffix) const;

private:
    std::string m_folder;
    unsigned m_sequence = 0;
};

#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The outbox: report mail kept on disk from before it is first sent until a server took it, one
// standard .eml file per mail (attachments inside), its envelope and integrity in X-Quorvik-
// header lines before the message's own. A file is written in one step and on the disk before
// anything relies on it, checked whole before it is sent, so that a mail is never sent half, and
// removed only after the server took it. While a file is being sent it is named .snd: one found
// so at a start was under way when the program ended, and may already have arrived.

// How a send ended, for a sender that may try again.
enum class SendOutcome { Accepted, Refused, Deferred };

struct SpooledMail {
    std::string from;                     // the envelope sender's address
    std::vector<std::string> recipients;  // as the address list holds them
    int watch = 0;                        // the watch entry's number, for the log lines
    std::int64_t spooled = 0;             // seconds since 1970 when the mail was first kept
    // What it reports (ReportKey): a run that finds it kept does not make the mail again.
    std::string report;
    std::string message;  // header and body, CR LF lines, not dot-stuffed
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

    // Writes a new file after the ones waiting, on the disk with its name when this returns; its
    // path, or empty with the last error set.
    std::string Keep(const SpooledMail& mail);
    // The files waiting (.eml) and those whose sending was cut short (.snd), oldest first.
    std::vector<std::string> Waiting() const;
    // True for a file whose sending was cut short.
    static bool Interrupted(const std::string& path);

    // Marks a file as being sent; its new path (the old one when it could not be marked).
    std::string BeginSend(const std::string& path) const;
    // Puts a file back among the waiting, with new contents when given (fewer recipients); its
    // path, or empty when it could not be written. Marked, it stays a mail whose sending was cut
    // short (it may have arrived).
    std::string Requeue(const std::string& path, const SpooledMail* rewritten,
                        bool marked = false) const;
    // Removes a file a server took, so that it is never sent again: deleted; when it cannot be,
    // renamed ".sent"; when that fails too, emptied (an empty file is never sent). False when
    // none worked, with the last error of the deletion.
    bool Remove(const std::string& path) const;
    // A file a server took that could not be removed (an outbox that became read-only) is noted
    // beside the outbox folder by name and digest, so that no later run sends it again; false
    // when the note could not be written either.
    bool NoteSent(const std::string& path, std::string_view bytes) const;
    bool SentBefore(const std::string& path, std::string_view bytes) const;
    // Once the file is gone at last.
    void ForgetSent(const std::string& path) const;

    // Renames a file so that it is no longer tried (".bad", ".expired", ".refused"), keeping it
    // private; the new path, or empty when it could not be moved (then it is deleted, or emptied,
    // never tried again).
    std::string SetAside(const std::string& path, const char* suffix) const;

private:
    std::string SentNotesPath() const;

    std::string m_folder;
    unsigned m_sequence = 0;
};

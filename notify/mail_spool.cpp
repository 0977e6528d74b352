#include "notify/mail_spool.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

constexpr std::string_view kPrefix = "X-Quorvik-";
constexpr char kExtension[] = ".eml";
constexpr char kSending[] = ".snd";

std::string Digest(std::string_view bytes) {
    const platform::Md5Digest d = platform::Md5(bytes);
    return platform::ToHex(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
}

bool Decimal(std::string_view text, std::int64_t low, std::int64_t high, std::int64_t& value) {
    if (text.empty() || text.size() > 18) return false;
    std::int64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    if (n < low || n > high) return false;
    value = n;
    return true;
}

// The path with its extension (.eml, .snd) replaced by another.
std::string WithSuffix(const std::string& path, const char* suffix) {
    std::string to = path;
    for (const char* extension : {kExtension, kSending}) {
        const size_t n = std::strlen(extension);
        if (to.size() > n && to.compare(to.size() - n, n, extension) == 0) {
            to.resize(to.size() - n);
            break;
        }
    }
    return to + suffix;
}

// An envelope address must stay one header line and one SMTP argument.
bool SafeEnvelopeText(const std::string& text) {
    return !text.empty() && text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

}  // namespace

std::string FormatSpoolFile(const SpooledMail& mail) {
    std::string head;
    head += "X-Quorvik-Spool: 1\r\n";
    head += "X-Quorvik-From: " + mail.from + "\r\n";
    for (const std::string& r : mail.recipients) head += "X-Quorvik-To: " + r + "\r\n";
    head += "X-Quorvik-Watch: " + std::to_string(mail.watch) + "\r\n";
    head += "X-Quorvik-Spooled: " + std::to_string(mail.spooled) + "\r\n";
    if (SafeEnvelopeText(mail.report)) head += "X-Quorvik-Report: " + mail.report + "\r\n";
    head += "X-Quorvik-Length: " + std::to_string(mail.message.size()) + "\r\n";
    // The digest covers the envelope lines too: it is the last line before the message.
    return head + "X-Quorvik-MD5: " + Digest(head + mail.message) + "\r\n" + mail.message;
}

bool ParseSpoolFile(std::string_view bytes, SpooledMail& mail) {
    mail = SpooledMail();
    const std::string_view whole = bytes;
    size_t digestLine = std::string_view::npos;  // where the MD5 line starts
    std::int64_t length = -1, number = 0;
    std::string digest;
    bool ours = false, hasWatch = false, hasTime = false;
    while (bytes.substr(0, kPrefix.size()) == kPrefix) {
        const size_t end = bytes.find("\r\n");
        if (end == std::string_view::npos) return false;
        if (digestLine != std::string_view::npos) return false;  // a line after the digest
        const size_t at = whole.size() - bytes.size();
        const std::string_view line = bytes.substr(kPrefix.size(), end - kPrefix.size());
        bytes.remove_prefix(end + 2);
        const size_t colon = line.find(": ");
        if (colon == std::string_view::npos) return false;
        const std::string_view name = line.substr(0, colon);
        const std::string value(line.substr(colon + 2));
        if (name == "Spool") {
            ours = value == "1";
        } else if (name == "From") {
            mail.from = value;
        } else if (name == "To") {
            mail.recipients.push_back(value);
        } else if (name == "Watch") {
            hasWatch = Decimal(value, 0, 0x7FFFFFFF, number);
            mail.watch = static_cast<int>(number);
        } else if (name == "Spooled") {
            hasTime = Decimal(value, 0, INT64_C(999999999999), mail.spooled);
        } else if (name == "Report") {
            mail.report = value;
        } else if (name == "Length") {
            if (!Decimal(value, 1, INT64_C(1) << 40, length)) return false;
        } else if (name == "MD5") {
            digest = value;
            digestLine = at;
        }
    }
    if (!ours || !hasWatch || !hasTime || !SafeEnvelopeText(mail.from) || mail.recipients.empty() ||
        !std::all_of(mail.recipients.begin(), mail.recipients.end(), SafeEnvelopeText)) {
        return false;
    }
    if (length < 0 || static_cast<std::uint64_t>(length) != bytes.size()) return false;
    if (digestLine == std::string_view::npos ||
        Digest(std::string(whole.substr(0, digestLine)).append(bytes)) != digest) {
        return false;
    }
    mail.message.assign(bytes);
    return true;
}

std::string SpoolFolder() { return DataDirectory() + "SPOOL/"; }

std::string MailSpool::Keep(const SpooledMail& mail) {
    if (!SafeEnvelopeText(mail.from) || mail.recipients.empty() ||
        !std::all_of(mail.recipients.begin(), mail.recipients.end(), SafeEnvelopeText)) {
        platform::SetLastError(platform::kErrorInvalidParameter);
        return std::string();
    }
    if (!platform::DirectoryExists(m_folder) && !platform::CreatePrivateDirectory(m_folder)) {
        return std::string();
    }
    const std::string bytes = FormatSpoolFile(mail);
    // Names sort in the order the mail was kept: the time, then a sequence for mail kept in the
    // same millisecond (or under a clock a test holds still).
    const std::int64_t now = platform::NowUnixMilliseconds();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "%013lld-%06u%s", static_cast<long long>(now),
                      m_sequence++ % 1000000u, kExtension);
        const std::string path = m_folder + name;
        // A mail being sent under this name is another mail: never written over.
        if (platform::FileExists(WithSuffix(path, kSending))) continue;
        if (platform::WritePrivateFileAtomically(path, bytes, false)) {
            // The name too must survive a crash before the mail counts as kept.
            if (!platform::SyncFolder(m_folder)) {
                const platform::DWORD error = platform::GetLastError();
                platform::DeleteFile(path);
                platform::SetLastError(error);
                return std::string();
            }
            return path;
        }
        if (platform::GetLastError() != platform::kErrorFileExists) return std::string();
    }
    return std::string();
}

std::vector<std::string> MailSpool::Waiting() const {
    std::vector<platform::FindData> found;
    std::vector<std::string> paths;
    for (const char* extension : {kExtension, kSending}) {
        found.clear();
        if (!platform::FindFiles(m_folder + "*" + extension, found)) continue;
        for (const platform::FindData& f : found) {
            if (f.attributes & (platform::kAttributeDirectory | platform::kAttributeDevice |
                                platform::kAttributeReparsePoint)) {
                continue;
            }
            paths.push_back(m_folder + f.name);
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

bool MailSpool::Interrupted(const std::string& path) {
    return path.size() > 4 && path.compare(path.size() - 4, 4, kSending) == 0;
}

std::string MailSpool::BeginSend(const std::string& path) const {
    if (Interrupted(path)) return path;
    const std::string to = WithSuffix(path, kSending);
    return platform::RenameFile(path, to) ? to : path;
}

std::string MailSpool::Requeue(const std::string& path, const SpooledMail* rewritten,
                               bool marked) const {
    const std::string to = WithSuffix(path, marked ? kSending : kExtension);
    if (rewritten) {
        if (!platform::WritePrivateFileAtomically(to, FormatSpoolFile(*rewritten))) {
            return std::string();
        }
        if (to != path) platform::DeleteFile(path);
    } else if (to != path && !platform::RenameFile(path, to)) {
        return path;  // still sent again: a file being sent counts as waiting
    }
    platform::SyncFolder(m_folder);
    return to;
}

bool MailSpool::Remove(const std::string& path) const {
    if (platform::DeleteFile(path)) {
        platform::SyncFolder(m_folder);
        return true;
    }
    const platform::DWORD error = platform::GetLastError();
    if (platform::RenameFile(path, WithSuffix(path, ".sent"))) return true;
    platform::File file;
    if (file.Open(path, platform::File::Access::Write, platform::File::Disposition::OpenExisting,
                  platform::File::Share::Read) &&
        file.ReplaceContents(std::string_view())) {
        return true;
    }
    platform::SetLastError(error);
    return false;
}

std::string MailSpool::SentNotesPath() const {
    std::string path = m_folder;
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path + ".SENT";
}

namespace {

// The notes' lines: "<file name> <digest>".
std::string SentLine(const std::string& path, std::string_view bytes) {
    return path.substr(path.rfind('/') + 1) + " " + Digest(bytes);
}

std::vector<std::string> NoteLines(const std::string& notesPath) {
    std::vector<std::string> lines;
    std::string text;
    if (!platform::ReadWholeFile(notesPath, text)) return lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(std::move(line));
        at = end + 1;
    }
    return lines;
}

bool WriteNoteLines(const std::string& notesPath, const std::vector<std::string>& lines) {
    if (lines.empty()) {
        return platform::DeleteFile(notesPath) ||
               platform::GetLastError() == platform::kErrorFileNotFound;
    }
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return platform::WritePrivateFileAtomically(notesPath, text);
}

}  // namespace

bool MailSpool::NoteSent(const std::string& path, std::string_view bytes) const {
    std::vector<std::string> lines = NoteLines(SentNotesPath());
    const std::string line = SentLine(path, bytes);
    if (std::find(lines.begin(), lines.end(), line) != lines.end()) return true;
    lines.push_back(line);
    return WriteNoteLines(SentNotesPath(), lines);
}

bool MailSpool::SentBefore(const std::string& path, std::string_view bytes) const {
    if (!platform::FileExists(SentNotesPath())) return false;
    const std::vector<std::string> lines = NoteLines(SentNotesPath());
    return std::find(lines.begin(), lines.end(), SentLine(path, bytes)) != lines.end();
}

void MailSpool::ForgetSent(const std::string& path) const {
    std::vector<std::string> lines = NoteLines(SentNotesPath());
    const std::string name = path.substr(path.rfind('/') + 1) + " ";
    const size_t before = lines.size();
    std::erase_if(lines,
                  [&](const std::string& l) { return l.compare(0, name.size(), name) == 0; });
    if (lines.size() != before) WriteNoteLines(SentNotesPath(), lines);
}

std::string MailSpool::SetAside(const std::string& path, const char* suffix) const {
    const std::string to = WithSuffix(path, suffix);
    if (platform::RenameFile(path, to)) return to;
    if (!platform::DeleteFile(path)) {
        platform::File file;
        if (file.Open(path, platform::File::Access::Write,
                      platform::File::Disposition::OpenExisting, platform::File::Share::Read)) {
            file.ReplaceContents(std::string_view());
        }
    }
    return std::string();
}

#include "notify/mail_message.h"

#include <cstdlib>
#include <random>

#include "notify/jconvert.h"
#include "notify/smtp.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

constexpr size_t kFoldAt = 78;
constexpr char kWordStart[] = "=?ISO-2022-JP?B?";
constexpr size_t kMaxWord = 75;

std::string FileName(const std::string& path) {
    // The last separator that is a character of its own: 0x5C is also the second byte of
    // double-byte characters ("表" is 95 5C).
    size_t start = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        if (platform::IsDBCSLeadByte(static_cast<unsigned char>(path[i]))) {
            ++i;
        } else if (path[i] == '/' || path[i] == '\\') {
            start = i + 1;
        }
    }
    return path.substr(start);
}

// A header text with its line breaks as blanks: a CR or LF would start a header line of its own.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return text;
}

bool NeedsEncoding(std::string_view word) {
    for (unsigned char c : word) {
        if (c < 0x20 || c >= 0x7F) return true;
    }
    return false;
}

// Shift-JIS text as encoded words of at most 75 characters, each a whole ISO-2022-JP text; the
// words are separated by a fold.
std::string EncodedWords(std::string_view text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        // As many characters as fit in one word (at least one).
        size_t end = i;
        std::string best;
        while (end < text.size()) {
            const bool lead = platform::IsDBCSLeadByte(static_cast<unsigned char>(text[end]));
            const size_t next = std::min(end + (lead ? 2 : 1), text.size());
            std::string word = kWordStart +
                               EncodeBase64(ComponentJis(std::string(text.substr(i, next - i)))) +
                               "?=";
            if (word.size() > kMaxWord && !best.empty()) break;
            best = std::move(word);
            end = next;
        }
        if (!out.empty()) out += "\r\n\t";
        out += best;
        i = end;
    }
    return out;
}

// Addresses joined with ",", folded after a comma where the line would pass 78 characters.
std::string AddressList(const std::string& name, const std::vector<std::string>& items) {
    std::string value;
    size_t lineLength = name.size() + 2;
    for (size_t i = 0; i < items.size(); ++i) {
        const std::string item = OneLine(items[i]);
        if (i > 0) {
            value += ',';
            ++lineLength;
            if (lineLength + item.size() > kFoldAt) {
                value += "\r\n ";
                lineLength = 1;
            }
        }
        value += item;
        lineLength += item.size();
    }
    return value;
}

// The name of an attachment as a header parameter: as it is when ASCII, else an encoded word.
std::string ParameterName(const std::string& name) {
    if (!NeedsEncoding(name)) {
        // Inside the quotes of name="...": a quote or backslash is escaped, so it can neither
        // end the value nor start another parameter; a control character never belongs there.
        std::string quoted;
        for (char c : name) {
            if (c == '"' || c == '\\') quoted += '\\';
            quoted += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '_' : c;
        }
        return quoted;
    }
    return kWordStart + EncodeBase64(ComponentJis(name)) + "?=";
}

void AppendBody(const std::vector<std::string>& lines, std::string& body) {
    for (const std::string& line : lines) {
        for (const std::string& piece : BreakJisLine(ComponentJis(line))) body += piece + "\r\n";
    }
}

}  // namespace

void TExStringList::SetValue(const std::string& name, const std::string& value) {
    const std::string prefix = name + ": ";
    for (auto it = m_lines.begin(); it != m_lines.end(); ++it) {
        if (it->compare(0, prefix.size(), prefix) == 0) {
            if (value.empty()) {
                m_lines.erase(it);
            } else {
                *it = prefix + value;
            }
            return;
        }
    }
    if (!value.empty()) m_lines.push_back(prefix + value);
}

std::string TExStringList::Value(const std::string& name) const {
    const std::string prefix = name + ": ";
    for (const std::string& line : m_lines) {
        if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
    }
    return std::string();
}

std::string TNMUUProcessor::EncodeBase64Lines(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 45) {
        out += EncodeBase64(std::string_view(bytes).substr(i, 45)) + "\r\n";
    }
    return out;
}

std::string ComponentJis(const std::string& text) { return ShiftJisToJis(text, "\x1b(B", true); }

std::string EncodeHeaderValue(const std::string& sjisText) {
    const std::string text = OneLine(sjisText);
    // Words and the blanks between them, in order (blanks and tabs are never second bytes).
    std::vector<std::string> words, gaps;
    std::string gap;
    size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] == ' ' || text[pos] == '\t') {
            gap += text[pos++];
            continue;
        }
        size_t end = pos;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t') {
            end += platform::IsDBCSLeadByte(static_cast<unsigned char>(text[end])) ? 2 : 1;
        }
        end = std::min(end, text.size());
        gaps.push_back(gap);
        gap.clear();
        words.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    std::string out;
    for (size_t w = 0; w < words.size();) {
        out += gaps[w];
        if (!NeedsEncoding(words[w])) {
            out += words[w++];
            continue;
        }
        // This word, the following words that need encoding too, and the blanks between them.
        std::string run = words[w++];
        while (w < words.size() && NeedsEncoding(words[w])) {
            run += gaps[w] + words[w];
            ++w;
        }
        out += EncodedWords(run);
    }
    return out + gap;
}

std::string FoldHeaderLine(std::string_view line) {
    std::string out;
    size_t start = 0;
    while (start <= line.size()) {
        // One physical line at a time: what is folded already stays.
        size_t end = line.find("\r\n", start);
        if (end == std::string_view::npos) end = line.size();
        std::string_view physical = line.substr(start, end - start);
        if (start > 0) out += "\r\n";
        size_t length = 0;
        size_t word = 0;
        while (word < physical.size()) {
            size_t next = physical.find(' ', word + 1);
            if (next == std::string_view::npos) next = physical.size();
            const std::string_view piece = physical.substr(word, next - word);
            if (length > 0 && piece.front() == ' ' && length + piece.size() > kFoldAt) {
                out += "\r\n";
                length = 0;
            }
            out += piece;
            length += piece.size();
            word = next;
        }
        if (end == line.size()) break;
        start = end + 2;
    }
    return out;
}

std::vector<std::string> BreakJisLine(std::string_view line, size_t maxBytes) {
    std::vector<std::string> lines;
    constexpr std::string_view kToDouble = "\x1b$B", kToAscii = "\x1b(B";
    std::string current;
    bool doubleByte = false;
    size_t i = 0;
    while (i < line.size()) {
        // The next unit: an escape, a double-byte character, or one byte.
        size_t unit = 1;
        bool switchesTo = doubleByte;
        if (line[i] == '\x1b' && i + 2 < line.size()) {
            unit = 3;
            switchesTo = line[i + 1] == '$';
        } else if (doubleByte) {
            unit = std::min<size_t>(2, line.size() - i);
        }
        const size_t closing = switchesTo ? kToAscii.size() : 0;
        if (current.size() + unit + closing > maxBytes && current.size() > kToDouble.size()) {
            if (doubleByte) current += kToAscii;
            lines.push_back(std::move(current));
            current.clear();
            if (doubleByte) current += kToDouble;
        }
        current.append(line.substr(i, unit));
        doubleByte = switchesTo;
        i += unit;
    }
    // A line left in double-byte mode (a text without its last line break) ends in ASCII too.
    if (doubleByte) current += kToAscii;
    lines.push_back(std::move(current));
    return lines;
}

std::string NewBoundary() {
    thread_local std::mt19937 random{std::random_device{}()};
    std::string boundary = "====================54535";
    for (int i = 0; i < 6; ++i) boundary += static_cast<char>('a' + random() % 25);
    return boundary + "====";
}

std::string ComposeMessage(const TPostMessage& m, const std::string& charset,
                           const std::string& boundary, TExStringList& header) {
    header.Clear();
    header.SetValue("From", FoldHeaderLine(OneLine(m.FromName) + "<" + m.FromAddress + ">"));
    if (!m.ToAddress.empty()) header.SetValue("To", AddressList("To", m.ToAddress));
    if (!m.ToCarbonCopy.empty()) header.SetValue("CC", AddressList("CC", m.ToCarbonCopy));
    header.SetValue("Subject", EncodeHeaderValue(m.Subject));
    header.SetValue("X-Mailer", OneLine(m.LocalProgram));
    header.SetValue("Reply-To", OneLine(m.ReplyTo));
    header.SetValue("Date", OneLine(m.Date));
    header.SetValue("Mime-Version", "1.0");
    std::string body;
    if (m.Attachments.empty()) {
        header.SetValue("Content-Type", "text/plain; charset=" + charset);
        AppendBody(m.Body, body);
    } else {
        header.SetValue("Content-Type", "multipart/mixed; boundary=\"" + boundary + "\"");
        body += "--" + boundary + "\r\nContent-Type: text/plain; charset=" + charset + "\r\n\r\n";
        AppendBody(m.Body, body);
        for (const std::string& path : m.Attachments) {
            std::string bytes;
            if (!platform::ReadWholeFile(path, bytes)) {
                // Sent as an empty part, the report would claim a file it does not carry.
                throw ESmtpError(MailFault::Other,
                                 sjis(u8"添付ファイルを読み込めませんでした。") + "(" + path +
                                     ") " + platform::SystemErrorText(platform::GetLastError()));
            }
            const std::string name = ParameterName(FileName(path));
            body += "--" + boundary + "\r\nContent-Type: application/octet-stream; name=\"" + name +
                    "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; "
                    "filename=\"" +
                    name + "\"\r\n\r\n" + TNMUUProcessor::EncodeBase64Lines(bytes);
        }
        body += "--" + boundary + "--\r\n";
    }
    std::string message;
    for (const std::string& line : header.Lines()) message += line + "\r\n";
    return message + "\r\n\r\n" + body;
}

namespace {

// Splits at CR LF, LF or CR, as a text becomes lines.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n') continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

}  // namespace

std::string FormatMailDate(const platform::SystemTime& t) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // The offset in effect at that time: a summer date of a zone with daylight saving gets
    // the summer offset, so that the header names the right instant.
    const int bias = platform::TimeZoneBias(platform::UnixSecondsOfLocal(t));
    const int dayOfWeek = ((t.dayOfWeek % 7) + 7) % 7;
    const int month = t.month >= 1 && t.month <= 12 ? t.month - 1 : 0;
    return platform::StringPrintf("%s, %d %s %d %02d:%02d:%02d %c%02d%02d", kDays[dayOfWeek], t.day,
                                  kMonths[month], t.year, t.hour, t.minute, t.second,
                                  bias > 0 ? '-' : '+', std::abs(bias) / 60, std::abs(bias) % 60);
}

TPostMessage ReportMessage(const std::string& senderName, const std::string& senderAddress,
                           const std::string& subject, const std::string& sjisBody,
                           const std::vector<std::string>& recipients,
                           const std::vector<std::string>& attachments, const std::string& date) {
    TPostMessage m;
    m.FromAddress = senderAddress;
    m.FromName = CreateHeaderString(senderName);
    m.Subject = subject;
    m.Date = date;
    m.ToAddress = recipients;
    m.Body = Lines(sjis2jis83(sjisBody));
    m.Attachments = attachments;
    return m;
}

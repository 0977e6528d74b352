#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

// The report mail as text: the message fields, the header list, and the composition of both
// into what goes after DATA. The built-in SMTP client and the mail library send the same text.
// Texts are Shift-JIS; what is composed is 7-bit, with no line over 998 bytes.

// Header lines "Name: value"; setting a value replaces the line of that name or adds one, an
// empty value removes it.
class TExStringList {
public:
    void SetValue(const std::string& name, const std::string& value);
    std::string Value(const std::string& name) const;
    const std::vector<std::string>& Lines() const { return m_lines; }
    void Clear() { m_lines.clear(); }

private:
    std::vector<std::string> m_lines;
};

struct TPostMessage {
    std::string FromAddress;
    std::string FromName;
    std::vector<std::string> ToAddress;
    std::vector<std::string> ToCarbonCopy;
    std::vector<std::string> ToBlindCarbonCopy;
    std::vector<std::string> Body;         // one line each
    std::vector<std::string> Attachments;  // file paths
    std::string Subject;
    std::string LocalProgram;
    std::string Date;
    std::string ReplyTo;

    void Clear() { *this = TPostMessage(); }
};

// Base64 of an attachment: 45 input bytes per line, each line ended by CR LF.
class TNMUUProcessor {
public:
    static std::string EncodeBase64Lines(const std::string& bytes);
};

// The header and body of a message as they go after DATA (dot-stuffing aside): header lines,
// an empty line, the body. The header list is filled as a side effect. The boundary is used
// when there are attachments. An attachment that cannot be read throws ESmtpError naming it.
std::string ComposeMessage(const TPostMessage& message, const std::string& charset,
                           const std::string& boundary, TExStringList& header);

// A new multipart boundary: "====================54535", six random letters a-y, "====".
std::string NewBoundary();

// The subject as a header value: ISO-2022-JP encoded words for the words that need them, each
// a whole ISO-2022-JP text of at most 75 characters, folded onto lines of their own; CR and
// LF become blanks.
std::string EncodeHeaderValue(const std::string& sjisText);

// Shift-JIS to ISO-2022-JP as the client converts header and body texts: ESC $B before
// double-byte text, ESC (B after it and at the end; 7-bit text stays as it is.
std::string ComponentJis(const std::string& sjisText);

// A header line folded at blanks so that no line passes 78 characters where a blank allows.
std::string FoldHeaderLine(std::string_view line);

// A JIS text line cut into lines of at most maxBytes bytes, each of which ends in ASCII and
// starts again in double-byte mode when the cut fell in double-byte text; a line that ends in
// double-byte mode gets its closing escape.
std::vector<std::string> BreakJisLine(std::string_view line, size_t maxBytes = 998);

// The Date header for a local date and time: "Sun, 7 Dec 2026 09:05:00 +0900", with the offset
// of the local zone at that time.
std::string FormatMailDate(const platform::SystemTime& time);

// The message of a report as both mail paths compose it: the sender name as encoded words, the
// subject, the body's lines in JIS, the recipients, the attachments and the date.
TPostMessage ReportMessage(const std::string& senderName, const std::string& senderAddress,
                           const std::string& subject, const std::string& sjisBody,
                           const std::vector<std::string>& recipients,
                           const std::vector<std::string>& attachments, const std::string& date);

#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"

// The built-in SMTP client: a TCP client with a time-out and line reading (TPowersock), the
// SMTP dialogue without authentication (TNMSMTP), the message (TPostMessage), the header list
// (TExStringList) and the attachment encoder (TNMUUProcessor). Failures are exceptions whose
// texts callers compare: socket errors are ESockError, all others ESmtpError.

class ESockError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ESmtpError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reply lines as the client takes them from what it received: up to and including LF, a line
// without LF cut at 64 KiB; a reply continues while its line starts with a blank or has "-"
// as its fourth character.
class ReplyReader {
public:
    void Feed(std::string_view bytes) { m_received.append(bytes); }
    // How much more may be fed before a line is certain.
    size_t Room() const;
    // The next line, if one is complete (or the data ended with closed set).
    bool TakeLine(bool closed, std::string& line);
    void Clear() { m_received.clear(); }

    static bool Continues(const std::string& line);
    // The leading decimal digits, at most 10; 0 when there are none.
    static long long Code(const std::string& line);

private:
    std::string m_received;
};

// "<code>:<description>", or "Unknown Error No. <code>", for a Windows Sockets code.
std::string SocketErrorText(int code);

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

class TPowersock {
public:
    TPowersock();
    virtual ~TPowersock();
    TPowersock(const TPowersock&) = delete;
    TPowersock& operator=(const TPowersock&) = delete;

    std::string Host;
    std::uint16_t Port = 0;
    std::uint32_t TimeOut = 0;  // milliseconds, for the connection and each reply line
    int ReportLevel = 0;
    std::function<void()> OnConnectionFailed;
    std::function<void()> OnInvalidHost;

    // Resolves Host and connects to Port.
    virtual void Connect();
    // Closes the connection.
    virtual void Disconnect();
    // Ends the wait in progress.
    void Abort() { m_aborted = true; }
    bool Connected() const { return m_socket.Connected(); }
    // The leading digits of the last reply line read by a transaction, 0 if it had none.
    long long ReplyNumber() const { return m_replyNumber; }

    // Clients alive in the process; the first starts the socket library.
    static int LiveClients();

protected:
    // One line up to and including its LF (empty when the connection closed).
    std::string ReadLn();
    // Sends every byte.
    void Write(const std::string& bytes);
    // A command line and its one reply line; sets the reply code.
    std::string Transaction(const std::string& command);
    void SetReplyNumber(const std::string& line);
    platform::WaitHook Hook();

    platform::TcpClient m_socket;
    bool m_aborted = false;
    bool m_timedOut = false;
    long long m_replyNumber = 0;
    ReplyReader m_reader;
};

class TNMSMTP : public TPowersock {
public:
    enum class EncodeTypes { uuMime, uuCode };
    enum class SubTypes { mtPlain, mtEnriched, mtSgml, mtTabSeperated, mtHtml };

    TNMSMTP();

    std::string UserID;
    TPostMessage PostMessage;
    TExStringList FinalHeader;
    EncodeTypes EncodeType = EncodeTypes::uuMime;
    bool ClearParams = true;
    SubTypes SubType = SubTypes::mtPlain;
    std::string Charset = "us-ascii";

    std::function<void()> OnConnect;
    std::function<void(const std::string& address)> OnRecipientNotFound;
    std::function<void()> OnHeaderIncomplete;
    std::function<void()> OnSendStart;
    std::function<void()> OnSuccess;
    std::function<void()> OnFailure;
    std::function<void()> OnAuthenticationFailed;

    // Connects, reads the greeting and says HELO.
    void Connect() override;
    // Sends PostMessage; returns at once when this client is already busy.
    void SendMail();
    // QUIT, then close.
    void Disconnect() override;

    // The message as it goes after DATA: header lines, an empty line, the body (for tests).
    std::string AssembleMessage();

private:
    std::string ReadReply();
    std::string Boundary();

    bool m_busy = false;
    std::string m_boundary;
};

// Releases every start-up of the socket library still outstanding (after the clients are gone).
void DrainSocketLibrary();

// The subject as a header value: Shift-JIS converted to ISO-2022-JP, and the words that hold
// control characters or bytes of 0x7F and above as B-encoded words folded at 75 characters.
std::string EncodeHeaderValue(const std::string& sjisText);

// Shift-JIS to ISO-2022-JP as the SMTP client converts header and body texts: ESC $B before
// double-byte text, ESC (B after it and at the end; 7-bit text stays as it is.
std::string ComponentJis(const std::string& sjisText);

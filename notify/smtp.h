#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "notify/mail_faults.h"
#include "notify/mail_message.h"
#include "platform/socket.h"

// The built-in SMTP client: a TCP client with a time-out and line reading (TPowersock) and the
// SMTP dialogue without authentication (TNMSMTP); the message it sends is composed in
// mail_message.h. Failures are exceptions with a kind (MailFault) and a text for the log: socket
// errors are ESockError, all others ESmtpError. Every reply is read whole, within the time-out,
// and only a complete reply with the code a step expects lets the dialogue go on.

class SmtpFailure : public std::runtime_error {
public:
    SmtpFailure(MailFault fault, const std::string& text)
        : std::runtime_error(text), m_fault(fault) {}
    MailFault Fault() const { return m_fault; }

private:
    MailFault m_fault;
};

class ESockError : public SmtpFailure {
public:
    using SmtpFailure::SmtpFailure;
};

class ESmtpError : public SmtpFailure {
public:
    using SmtpFailure::SmtpFailure;
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

class TPowersock {
public:
    TPowersock();
    virtual ~TPowersock();
    TPowersock(const TPowersock&) = delete;
    TPowersock& operator=(const TPowersock&) = delete;

    std::string Host;
    std::uint16_t Port = 0;
    // Milliseconds, bounding the connection, each send and each whole reply; below one second
    // counts as one second.
    std::uint32_t TimeOut = 0;
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
    using Deadline = std::chrono::steady_clock::time_point;
    // The time-out as it bounds a wait, and the deadline of a wait that starts now.
    unsigned Budget() const;
    Deadline DeadlineFromNow(unsigned milliseconds = 0) const;
    // One line up to and including its LF, by the deadline; what is left when the connection
    // closed (no LF then, or nothing).
    std::string ReadLn(Deadline deadline);
    // A whole reply (its continuation lines read too), within the time-out or the milliseconds
    // given; sets the reply code from its last line. A connection closed before the reply was
    // complete is the socket error 10057.
    std::string ReadReply(unsigned milliseconds = 0);
    // Sends every byte.
    void Write(const std::string& bytes);
    // A command line and its whole reply; sets the reply code.
    std::string Transaction(const std::string& command);
    void SetReplyNumber(const std::string& line);
    platform::WaitHook Hook();

    platform::TcpClient m_socket;
    bool m_aborted = false;
    bool m_timedOut = false;
    long long m_replyNumber = 0;
    ReplyReader m_reader;
};

// The steps of sending one mail: where a failed send stopped tells whether it may go through
// later.
enum class SmtpStep { None, Rset, MailFrom, RcptTo, Data, Message };

// What the server said to one recipient of the last send.
struct RecipientReply {
    std::string entry;    // the recipient as it was given
    std::string address;  // the address that went into RCPT TO
    long long code = 0;   // 0: no reply came (the connection ended or timed out)
    std::string reply;    // the reply line without its line end
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
    // Milliseconds to wait for the reply to the end of a message, whatever the time-out: a
    // server may take ten minutes (RFC 5321), and a mail it is still storing must not be sent
    // again as if it had failed. The program's end still stops the wait.
    std::uint32_t FinalReplyTimeOut = 600000;

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
    // Sends a message composed beforehand (header and body with CR LF line ends, not
    // dot-stuffed) from the address to the recipients (addresses, or "Name <address>"), as
    // SendMail sends its own.
    void SendComposed(const std::string& from, const std::vector<std::string>& to,
                      const std::string& message);
    // Of the last send: the reply to each recipient, and the step it stopped at when it failed
    // (None after a send the server took).
    const std::vector<RecipientReply>& RecipientReplies() const { return m_recipients; }
    SmtpStep FailedStep() const { return m_step; }
    // Of the last send: the whole message and its end went out and no reply to it came, so the
    // server may have taken it.
    bool Unconfirmed() const {
        return m_step == SmtpStep::Message && m_messageEnded && m_replyNumber == 0;
    }
    // QUIT, then close.
    void Disconnect() override;

    // The message as it goes after DATA: header lines, an empty line, the body (for tests).
    std::string AssembleMessage();

private:
    void Deliver(const std::string& from, const std::vector<std::string>& to,
                 const std::string& stuffedMessage);

    bool m_busy = false;
    std::vector<RecipientReply> m_recipients;
    SmtpStep m_step = SmtpStep::None;
    bool m_messageEnded = false;
};

// Releases every start-up of the socket library still outstanding (after the clients are gone);
// the number of clean-ups that succeeded.
int DrainSocketLibrary();

#include "notify/smtp.h"

#include <algorithm>
#include <atomic>

#include "platform/codepage.h"
#include "platform/pump.h"

namespace {

std::atomic<int> g_liveClients{0};
constexpr size_t kLineLimit = 64 * 1024;

struct SocketErrorName {
    int code;
    const char* text;
};

const SocketErrorName kSocketErrors[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
    {0, "Unrecognized error code"},
};

std::string WithoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// The address part of a recipient entry.
std::string AddressOf(const std::string& entry) {
    size_t lt = entry.find('<');
    if (lt != std::string::npos) {
        size_t gt = entry.find('>', lt + 1);
        return entry.substr(lt + 1, gt == std::string::npos ? std::string::npos : gt - lt - 1);
    }
    size_t colon = entry.find(':');
    if (colon != std::string::npos) {
        size_t next = entry.find(':', colon + 1);
        return entry.substr(colon + 1,
                            next == std::string::npos ? std::string::npos : next - colon - 1);
    }
    return entry;
}

}  // namespace

size_t ReplyReader::Room() const {
    return m_received.size() < kLineLimit ? kLineLimit - m_received.size() : 0;
}

bool ReplyReader::TakeLine(bool closed, std::string& line) {
    size_t lf = m_received.find('\n');
    // A line without LF is taken whole at the limit, so no reply can grow without bound.
    if (lf != std::string::npos || m_received.size() >= kLineLimit) {
        size_t take = lf != std::string::npos ? std::min(lf + 1, kLineLimit) : kLineLimit;
        line = m_received.substr(0, take);
        m_received.erase(0, take);
        return true;
    }
    if (!closed) return false;
    line.swap(m_received);  // the connection closed: what is left, usually nothing
    m_received.clear();
    return true;
}

bool ReplyReader::Continues(const std::string& line) {
    return !line.empty() && (line[0] == ' ' || (line.size() > 3 && line[3] == '-'));
}

long long ReplyReader::Code(const std::string& line) {
    long long value = 0;
    for (size_t i = 0; i < line.size() && i < 10 && line[i] >= '0' && line[i] <= '9'; ++i) {
        value = value * 10 + (line[i] - '0');
    }
    return value;
}

std::string SocketErrorText(int code) {
    for (const SocketErrorName& e : kSocketErrors) {
        if (e.code == code) return std::to_string(code) + ":" + e.text;
    }
    return "Unknown Error No. " + std::to_string(code);
}

int DrainSocketLibrary() {
    int count = 0;
    while (platform::SocketLibraryCleanup()) ++count;
    return count;
}

// ---- TPowersock ----

TPowersock::TPowersock() {
    if (g_liveClients++ == 0) platform::SocketLibraryStartup();
}

TPowersock::~TPowersock() {
    m_aborted = true;
    m_socket.Close();
    if (--g_liveClients == 0) platform::SocketLibraryCleanup();
}

int TPowersock::LiveClients() { return g_liveClients; }

platform::WaitHook TPowersock::Hook() {
    return [this] {
        platform::ProcessMessages();
        return m_aborted;
    };
}

unsigned TPowersock::Budget() const {
    // No time at all would fail every wait at once: a time-out below one second is one second.
    return std::max<std::uint32_t>(TimeOut, 1000);
}

TPowersock::Deadline TPowersock::DeadlineFromNow(unsigned milliseconds) const {
    return std::chrono::steady_clock::now() +
           std::chrono::milliseconds(milliseconds != 0 ? milliseconds : Budget());
}

namespace {

unsigned MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    return static_cast<unsigned>(std::max<long long>(left, 0));
}

}  // namespace

void TPowersock::Connect() {
    if (Connected()) throw ESockError(MailFault::AlreadyConnected, "Already connected");
    m_aborted = m_timedOut = false;
    m_reader.Clear();
    std::uint32_t address = 0;
    int error = 0;
    const Deadline deadline = DeadlineFromNow();
    platform::WaitResult lookup = platform::ResolveHost(Host, Budget(), Hook(), address, error);
    if (lookup == platform::WaitResult::TimedOut)
        throw ESockError(MailFault::ConnectFailed, "Host Lookup Timed Out");
    if (lookup == platform::WaitResult::Aborted)
        throw ESockError(MailFault::ConnectFailed, "Host Lookup Canceled");
    if (lookup != platform::WaitResult::Ready) {
        if (OnInvalidHost) {
            OnInvalidHost();
            return;
        }
        throw ESockError(MailFault::HostUnknown, "Null Remote Address");
    }
    switch (m_socket.Connect(address, Port, MillisecondsLeft(deadline), Hook(), error)) {
        case platform::WaitResult::Ready: return;
        case platform::WaitResult::TimedOut:
            m_timedOut = true;
            throw ESockError(MailFault::ConnectTimedOut, "Connection Timed out");
        case platform::WaitResult::Aborted:
            throw ESockError(MailFault::ConnectFailed, "Connection Canceled");
        case platform::WaitResult::Failed:
            if (OnConnectionFailed) OnConnectionFailed();
            throw ESockError(MailFault::ConnectFailed, "Connection Failed");
    }
}

void TPowersock::Disconnect() { m_socket.Close(); }

std::string TPowersock::ReadLn(Deadline deadline) {
    std::string line;
    while (!m_reader.TakeLine(!m_socket.Connected(), line)) {
        // A peer that always has more to send never lets a wait time out: the clock decides.
        if (std::chrono::steady_clock::now() >= deadline) {
            m_timedOut = true;
            throw ESmtpError(MailFault::ConnectionLost, "Socket readln aborted");
        }
        int error = 0;
        std::string chunk;
        switch (
            m_socket.Receive(chunk, m_reader.Room(), MillisecondsLeft(deadline), Hook(), error)) {
            case platform::WaitResult::Ready:
                if (chunk.empty()) m_socket.Close();  // the peer closed
                m_reader.Feed(chunk);
                break;
            case platform::WaitResult::TimedOut:
                m_timedOut = true;
                throw ESmtpError(MailFault::ConnectionLost, "Socket readln aborted");
            case platform::WaitResult::Aborted:
                throw ESmtpError(MailFault::ConnectionLost, "Socket readln aborted");
            case platform::WaitResult::Failed:
                m_socket.Close();
                throw ESockError(MailFault::ConnectionLost, SocketErrorText(error));
        }
    }
    return line;
}

std::string TPowersock::ReadReply(unsigned milliseconds) {
    // A wait that ends without a reply leaves no code behind: an earlier reply must not answer
    // for a step that got none.
    m_replyNumber = 0;
    // The time-out bounds the whole reply, however slowly its bytes come.
    const Deadline deadline = DeadlineFromNow(milliseconds);
    std::string line = ReadLn(deadline);
    // A leading blank or a "-" after the code: another line follows.
    while (ReplyReader::Continues(line) && !line.empty() && line.back() == '\n') {
        if (std::chrono::steady_clock::now() >= deadline) {
            m_timedOut = true;
            throw ESmtpError(MailFault::ConnectionLost, "Socket readln aborted");
        }
        line = ReadLn(deadline);
    }
    if (line.empty() || line.back() != '\n') {
        // The connection closed before the reply was whole: no answer is no acceptance.
        m_socket.Close();
        m_replyNumber = 0;
        throw ESockError(MailFault::ConnectionLost, SocketErrorText(platform::kWsaEnotconn));
    }
    SetReplyNumber(line);
    return line;
}

void TPowersock::Write(const std::string& bytes) {
    int error = 0;
    switch (m_socket.Send(bytes, Budget(), Hook(), error)) {
        case platform::WaitResult::Ready: return;
        case platform::WaitResult::TimedOut:
        case platform::WaitResult::Aborted:
            throw ESmtpError(MailFault::ConnectionLost, "Socket send aborted");
        case platform::WaitResult::Failed:
            throw ESockError(MailFault::ConnectionLost, SocketErrorText(error));
    }
}

void TPowersock::SetReplyNumber(const std::string& line) {
    m_replyNumber = ReplyReader::Code(line);
}

std::string TPowersock::Transaction(const std::string& command) {
    Write(command + "\r\n");
    return ReadReply();
}

// ---- TNMSMTP ----

TNMSMTP::TNMSMTP() { Port = 25; }

namespace {

// A reply with the code a step expects (positive completion or intermediate: 2xx or 3xx).
bool Positive(long long code) { return code >= 200 && code < 400; }

// The message as it goes over the connection: a line that begins with "." gets another.
std::string DotStuffed(const std::string& message) {
    std::string out;
    out.reserve(message.size() + 16);
    size_t start = 0;
    while (start < message.size()) {
        size_t end = message.find("\r\n", start);
        end = end == std::string::npos ? message.size() : end + 2;
        if (message[start] == '.') out += '.';
        out.append(message, start, end - start);
        start = end;
    }
    return out;
}

// Marks the client busy for the life of a send.
class BusyWhileAlive {
public:
    explicit BusyWhileAlive(bool& busy) : m_busy(busy) { m_busy = true; }
    ~BusyWhileAlive() { m_busy = false; }

private:
    bool& m_busy;
};

}  // namespace

void TNMSMTP::Connect() {
    m_busy = true;
    bool greeted = false;
    try {
        TPowersock::Connect();
        if (!Connected()) {
            m_busy = false;
            return;  // an invalid host the handler took care of
        }
        // Only a greeting with a positive code opens the dialogue (a POP3 server's "+OK" or a
        // line without a code does not).
        std::string greeting = ReadReply();
        greeted = true;
        if (!Positive(m_replyNumber))
            throw ESmtpError(MailFault::Refused, WithoutLineEnd(greeting));
        Write("HELO " + UserID + "\r\n");
        ReadReply();
        if (m_replyNumber < 200 || m_replyNumber >= 300) {
            if (!OnAuthenticationFailed)
                throw ESmtpError(MailFault::AuthenticationFailed, "Authentication failed");
            OnAuthenticationFailed();
        }
    } catch (...) {
        m_busy = false;
        // A server that never greeted, or stopped answering, is not asked to QUIT (and waited
        // for once more): the connection is just closed.
        if (!greeted || m_timedOut) m_socket.Close();
        // Disconnect after a refused greeting or HELO, then let the error pass on.
        if (Connected()) {
            try {
                Disconnect();
            } catch (...) {
            }
        }
        throw;
    }
    m_busy = false;
    if (OnConnect) OnConnect();
}

std::string TNMSMTP::AssembleMessage() {
    return DotStuffed(ComposeMessage(PostMessage, Charset, NewBoundary(), FinalHeader));
}

void TNMSMTP::SendMail() {
    if (m_busy) return;  // a send or connect of this client is still running
    BusyWhileAlive busy(m_busy);

    const std::string message = AssembleMessage();
    if (!Connected()) throw ESmtpError(MailFault::ConnectionLost, "Not Connected");
    const TPostMessage& m = PostMessage;
    if (m.FromAddress.empty() ||
        (m.ToAddress.empty() && m.ToCarbonCopy.empty() && m.ToBlindCarbonCopy.empty())) {
        if (!OnHeaderIncomplete) throw ESmtpError(MailFault::Other, "Incomplete Header");
        OnHeaderIncomplete();
        return;
    }
    if (OnSendStart) OnSendStart();
    std::vector<std::string> addresses;
    for (const auto* list : {&m.ToAddress, &m.ToCarbonCopy, &m.ToBlindCarbonCopy}) {
        addresses.insert(addresses.end(), list->begin(), list->end());
    }
    Deliver(m.FromAddress, addresses, message);
    if (ClearParams) PostMessage.Clear();
    if (OnSuccess) OnSuccess();
}

void TNMSMTP::SendComposed(const std::string& from, const std::vector<std::string>& to,
                           const std::string& message) {
    if (m_busy) return;
    BusyWhileAlive busy(m_busy);
    if (!Connected()) throw ESmtpError(MailFault::ConnectionLost, "Not Connected");
    Deliver(from, to, DotStuffed(message));
}

void TNMSMTP::Deliver(const std::string& from, const std::vector<std::string>& to,
                      const std::string& stuffedMessage) {
    m_recipients.clear();
    m_messageEnded = false;
    m_step = SmtpStep::Rset;
    std::string reply = Transaction("RSET");
    if (!Positive(m_replyNumber)) throw ESmtpError(MailFault::Refused, WithoutLineEnd(reply));
    m_step = SmtpStep::MailFrom;
    reply = Transaction("MAIL FROM:<" + from + ">");
    if (!Positive(m_replyNumber)) throw ESmtpError(MailFault::Refused, WithoutLineEnd(reply));
    m_step = SmtpStep::RcptTo;
    for (const std::string& entry : to) {
        const std::string address = AddressOf(entry);
        if (address.empty()) continue;
        m_recipients.push_back({entry, address, 0, std::string()});
        reply = Transaction("RCPT TO:<" + address + ">");
        m_recipients.back().code = m_replyNumber;
        m_recipients.back().reply = WithoutLineEnd(reply);
        if ((!Positive(m_replyNumber) || m_replyNumber > 300) && OnRecipientNotFound) {
            OnRecipientNotFound(address);
        }
    }
    m_step = SmtpStep::Data;
    reply = Transaction("DATA");
    if (!Positive(m_replyNumber)) throw ESmtpError(MailFault::Refused, WithoutLineEnd(reply));
    m_step = SmtpStep::Message;
    Write(stuffedMessage);
    Write(".\r\n");
    m_messageEnded = true;
    reply = ReadReply(std::max<std::uint32_t>(FinalReplyTimeOut, Budget()));
    if (!Positive(m_replyNumber)) {
        if (OnFailure) OnFailure();
        throw ESmtpError(MailFault::Refused, WithoutLineEnd(reply));
    }
    m_step = SmtpStep::None;
}

void TNMSMTP::Disconnect() {
    std::string reply;
    bool sent = false;
    try {
        if (Connected()) {
            reply = Transaction("QUIT");
            sent = true;
        }
    } catch (...) {
    }
    m_socket.Close();
    if (sent && m_replyNumber > 339) throw ESmtpError(MailFault::Refused, WithoutLineEnd(reply));
}

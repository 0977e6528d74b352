#include "notify/smtp.h"

#include <fstream>
#include <iterator>
#include <random>

#include "notify/jconvert.h"
#include "platform/codepage.h"
#include "platform/pump.h"

namespace {

int g_liveClients = 0;
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

std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ',';
        out += items[i];
    }
    return out;
}

std::string DotStuffed(const std::string& line) {
    return (!line.empty() && line[0] == '.') ? "." + line : line;
}

std::string FileName(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
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
    for (size_t i = 0; i < bytes.size(); i += 45)
        out += EncodeBase64(std::string_view(bytes).substr(i, 45)) + "\r\n";
    return out;
}

std::string ComponentJis(const std::string& text) { return ShiftJisToJis(text, "\x1b(B", true); }

std::string EncodeHeaderValue(const std::string& sjisText) {
    const std::string text = ComponentJis(sjisText);
    const std::string start = "=?ISO-2022-JP?B?";
    auto needsEncoding = [](const std::string& word) {
        for (unsigned char c : word) {
            if (c < 0x20 || c >= 0x7F) return true;
        }
        return false;
    };
    // Words and the separators between them, in order.
    std::vector<std::string> words, gaps;
    size_t pos = 0;
    std::string gap;
    while (pos < text.size()) {
        size_t end = text.find_first_of(" \t\r\n", pos);
        if (end == pos) {
            gap += text[pos++];
            continue;
        }
        gaps.push_back(gap);
        gap.clear();
        words.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        pos = end == std::string::npos ? text.size() : end;
    }
    std::string out;
    for (size_t w = 0; w < words.size();) {
        out += gaps[w];
        if (!needsEncoding(words[w])) {
            out += words[w++];
            continue;
        }
        // This word, the following words that need encoding too, and the blanks between them.
        std::string bytes = words[w++];
        while (w < words.size() && needsEncoding(words[w])) {
            bytes += gaps[w] + words[w];
            ++w;
        }
        std::string word = start;
        for (size_t i = 0; i < bytes.size(); i += 3) {
            std::string chunk = EncodeBase64(std::string_view(bytes).substr(i, 3));
            if (word.size() + chunk.size() + 2 > 75 && word.size() > start.size()) {
                out += word + "?=\r\n\t";
                word = start;
            }
            word += chunk;
        }
        out += word + "?=";
    }
    out += gap;
    return out;
}

void DrainSocketLibrary() {
    while (platform::SocketLibraryCleanup()) {
    }
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

void TPowersock::Connect() {
    if (Connected()) throw ESockError("Already connected");
    m_aborted = m_timedOut = false;
    m_reader.Clear();
    std::uint32_t address = 0;
    int error = 0;
    platform::WaitResult lookup = platform::ResolveHost(Host, TimeOut, Hook(), address, error);
    if (lookup == platform::WaitResult::TimedOut) throw ESockError("Host Lookup Timed Out");
    if (lookup == platform::WaitResult::Aborted) throw ESockError("Host Lookup Canceled");
    if (lookup != platform::WaitResult::Ready) {
        if (OnInvalidHost) {
            OnInvalidHost();
            return;
        }
        throw ESockError("Null Remote Address");
    }
    switch (m_socket.Connect(address, Port, TimeOut, Hook(), error)) {
        case platform::WaitResult::Ready: return;
        case platform::WaitResult::TimedOut:
            m_timedOut = true;
            throw ESockError("Connection Timed out");
        case platform::WaitResult::Aborted: throw ESockError("Connection Canceled");
        case platform::WaitResult::Failed:
            if (OnConnectionFailed) OnConnectionFailed();
            throw ESockError("Connection Failed");
    }
}

void TPowersock::Disconnect() { m_socket.Close(); }

std::string TPowersock::ReadLn() {
    std::string line;
    while (!m_reader.TakeLine(!m_socket.Connected(), line)) {
        int error = 0;
        std::string chunk;
        switch (m_socket.Receive(chunk, m_reader.Room(), TimeOut, Hook(), error)) {
            case platform::WaitResult::Ready:
                if (chunk.empty()) m_socket.Close();  // the peer closed
                m_reader.Feed(chunk);
                break;
            case platform::WaitResult::TimedOut:
                m_timedOut = true;
                throw ESmtpError("Socket readln aborted");
            case platform::WaitResult::Aborted: throw ESmtpError("Socket readln aborted");
            case platform::WaitResult::Failed:
                m_socket.Close();
                throw ESockError(SocketErrorText(error));
        }
    }
    return line;
}

void TPowersock::Write(const std::string& bytes) {
    int error = 0;
    switch (m_socket.Send(bytes, TimeOut, Hook(), error)) {
        case platform::WaitResult::Ready: return;
        case platform::WaitResult::TimedOut:
        case platform::WaitResult::Aborted: throw ESmtpError("Socket send aborted");
        case platform::WaitResult::Failed: throw ESockError(SocketErrorText(error));
    }
}

void TPowersock::SetReplyNumber(const std::string& line) {
    m_replyNumber = ReplyReader::Code(line);
}

std::string TPowersock::Transaction(const std::string& command) {
    Write(command + "\r\n");
    std::string line = ReadLn();
    SetReplyNumber(line);
    return line;
}

// ---- TNMSMTP ----

TNMSMTP::TNMSMTP() { Port = 25; }

std::string TNMSMTP::ReadReply() {
    std::string line = ReadLn();
    // A leading blank or a "-" after the code: another line follows.
    while (ReplyReader::Continues(line)) line = ReadLn();
    SetReplyNumber(line);
    return line;
}

void TNMSMTP::Connect() {
    m_busy = true;
    try {
        TPowersock::Connect();
        if (!Connected()) {
            m_busy = false;
            return;  // an invalid host the handler took care of
        }
        std::string greeting = ReadReply();
        if (m_replyNumber >= 400) throw ESmtpError(WithoutLineEnd(greeting));
        Write("HELO " + UserID + "\r\n");
        ReadReply();
        if (m_replyNumber >= 300) {
            if (!OnAuthenticationFailed) throw ESmtpError("Authentication failed");
            OnAuthenticationFailed();
        }
    } catch (...) {
        m_busy = false;
        // Disconnect after a failed greeting or HELO, then let the error pass on.
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

std::string TNMSMTP::Boundary() {
    static std::mt19937 random{std::random_device{}()};
    std::string boundary = "====================54535";
    for (int i = 0; i < 6; ++i) boundary += static_cast<char>('a' + random() % 25);
    return boundary + "====";
}

std::string TNMSMTP::AssembleMessage() {
    const TPostMessage& m = PostMessage;
    FinalHeader.Clear();
    FinalHeader.SetValue("From", m.FromName + "<" + m.FromAddress + ">");
    if (!m.ToAddress.empty()) FinalHeader.SetValue("To", Join(m.ToAddress));
    if (!m.ToCarbonCopy.empty()) FinalHeader.SetValue("CC", Join(m.ToCarbonCopy));
    FinalHeader.SetValue("Subject", EncodeHeaderValue(m.Subject));
    FinalHeader.SetValue("X-Mailer", m.LocalProgram);
    FinalHeader.SetValue("Reply-To", m.ReplyTo);
    FinalHeader.SetValue("Date", m.Date);
    FinalHeader.SetValue("Mime-Version", "1.0");
    std::string body;
    if (m.Attachments.empty()) {
        FinalHeader.SetValue("Content-Type", "text/plain; charset=" + Charset);
        for (const std::string& line : m.Body) body += DotStuffed(ComponentJis(line)) + "\r\n";
    } else {
        m_boundary = Boundary();
        FinalHeader.SetValue("Content-Type", "multipart/mixed; boundary=\"" + m_boundary + "\"");
        body += "--" + m_boundary + "\r\nContent-Type: text/plain; charset=" + Charset + "\r\n\r\n";
        for (const std::string& line : m.Body) body += DotStuffed(line) + "\r\n";
        for (const std::string& path : m.Attachments) {
            std::ifstream in(platform::SjisToUtf8(path), std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
            const std::string name = FileName(path);
            body += "--" + m_boundary + "\r\nContent-Type: application/octet-stream; name=\"" +
                    name +
                    "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; "
                    "filename=\"" +
                    name + "\"\r\n\r\n" + TNMUUProcessor::EncodeBase64Lines(bytes);
        }
        body += "--" + m_boundary + "--\r\n";
    }
    std::string message;
    for (const std::string& line : FinalHeader.Lines()) message += line + "\r\n";
    return message + "\r\n\r\n" + body;
}

void TNMSMTP::SendMail() {
    if (m_busy) return;  // a send or connect of this client is still running
    m_busy = true;
    struct Release {
        bool& busy;
        ~Release() { busy = false; }
    } release{m_busy};

    const std::string message = AssembleMessage();
    if (!Connected()) throw ESmtpError("Not Connected");
    const TPostMessage& m = PostMessage;
    if (m.FromAddress.empty() ||
        (m.ToAddress.empty() && m.ToCarbonCopy.empty() && m.ToBlindCarbonCopy.empty())) {
        if (!OnHeaderIncomplete) throw ESmtpError("Incomplete Header");
        OnHeaderIncomplete();
        return;
    }
    if (OnSendStart) OnSendStart();
    std::string reply = Transaction("RSET");
    if (m_replyNumber >= 400) throw ESmtpError(WithoutLineEnd(reply));
    reply = Transaction("MAIL FROM:<" + m.FromAddress + ">");
    if (m_replyNumber >= 400) throw ESmtpError(WithoutLineEnd(reply));
    for (const auto* list : {&m.ToAddress, &m.ToCarbonCopy, &m.ToBlindCarbonCopy}) {
        for (const std::string& entry : *list) {
            const std::string address = AddressOf(entry);
            if (address.empty()) continue;
            Transaction("RCPT TO:<" + address + ">");
            if (m_replyNumber > 300 && OnRecipientNotFound) OnRecipientNotFound(address);
        }
    }
    reply = Transaction("DATA");
    if (m_replyNumber >= 400) throw ESmtpError(WithoutLineEnd(reply));
    Write(message);
    reply = Transaction(".");
    if (m_replyNumber >= 400) {
        if (OnFailure) OnFailure();
        throw ESmtpError(WithoutLineEnd(reply));
    }
    if (ClearParams) PostMessage.Clear();
    if (OnSuccess) OnSuccess();
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
    if (sent && m_replyNumber > 339) throw ESmtpError(WithoutLineEnd(reply));
}

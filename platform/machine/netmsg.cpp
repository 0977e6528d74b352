#include "platform/machine/netmsg.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/accounts.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry.h"
#include "platform/pump.h"
#include "platform/socket.h"

namespace platform {
namespace {

// Each step of the dialogue, and the whole send to one recipient (look-up, connection, every
// block): a receiver that says nothing, or only keeps the session alive, costs no more.
constexpr unsigned kStepMs = 3000;
std::atomic<unsigned> g_sendMs{10000};
constexpr std::uint16_t kSessionPort = 139;
constexpr size_t kBlockBytes = 128;
using Clock = std::chrono::steady_clock;

enum : std::uint8_t {
    kSmbNegotiate = 0x72,
    kSmbSendSingle = 0xD0,
    kSmbSendStart = 0xD5,
    kSmbSendEnd = 0xD6,
    kSmbSendText = 0xD7,
};

bool KeepGoing() {
    ProcessMessages();
    return false;
}

// One SMB request: the header, the words, the bytes.
std::string SmbRequest(std::uint8_t command, std::uint16_t mid,
                       const std::vector<std::uint16_t>& words, const std::string& bytes) {
    std::string smb = "\xFFSMB";
    smb += static_cast<char>(command);
    smb.append(4, '\0');      // status
    smb += '\x18';            // flags: names without case, canonical
    AppendLe16(smb, 0x0001);  // flags2: long names allowed
    AppendLe16(smb, 0);       // PID high
    smb.append(8, '\0');      // security features
    AppendLe16(smb, 0);       // reserved
    AppendLe16(smb, 0);       // TID
    AppendLe16(smb, static_cast<std::uint16_t>(getpid()));
    AppendLe16(smb, 0);  // UID
    AppendLe16(smb, mid);
    smb += static_cast<char>(words.size());
    for (std::uint16_t w : words) AppendLe16(smb, w);
    AppendLe16(smb, static_cast<std::uint16_t>(bytes.size()));
    return smb + bytes;
}

// A session message around an SMB: type 0, a 17-bit length.
std::string SessionMessage(const std::string& smb) {
    std::string packet(1, '\0');
    packet += static_cast<char>((smb.size() >> 16) & 0x01);
    packet += static_cast<char>((smb.size() >> 8) & 0xFF);
    packet += static_cast<char>(smb.size() & 0xFF);
    return packet + smb;
}

// A name as an SMB string: buffer format 4, the text, a zero.
std::string SmbName(const std::string& text) { return "\x04" + text + std::string(1, '\0'); }

// A data block: buffer format 1, its length, the bytes.
std::string SmbData(std::string_view data) {
    std::string out = "\x01";
    AppendLe16(out, static_cast<std::uint16_t>(data.size()));
    out.append(data);
    return out;
}

// The failure of a socket call: one of this machine's own networking (no socket, no route out,
// no interface) stops the whole send; anything else concerns the one recipient.
DWORD SocketFailure(int wsaError) {
    switch (wsaError) {
        case kWsaEnetdown:
        case kWsaEnetunreach:
        case kWsaEnobufs:
        case kWsaEaddrnotavail:
        case 10024:  // no descriptor left
            return kNerrNetworkError;
        default: return kNerrNameNotFound;
    }
}

class Session {
public:
    explicit Session(Clock::time_point deadline) : m_deadline(deadline) {}

    // Connects and asks for a session with the called name; 0 or the error code.
    DWORD Open(std::uint32_t address, std::uint16_t port, const std::string& called,
               const std::string& calling) {
        int error = 0;
        const WaitResult connected = m_socket.Connect(address, port, StepMs(), KeepGoing, error);
        // A host that does not answer is as absent as one that refuses.
        if (connected == WaitResult::Failed) return SocketFailure(error);
        if (connected != WaitResult::Ready) return kNerrNameNotFound;
        std::string request = "\x81";
        request += '\0';
        const std::string names = EncodeNetbiosName(called) + EncodeNetbiosName(calling);
        request += static_cast<char>(names.size() >> 8);
        request += static_cast<char>(names.size() & 0xFF);
        request += names;
        if (m_socket.Send(request, StepMs(), KeepGoing, error) != WaitResult::Ready) {
            return Broken();
        }
        std::uint8_t type = 0;
        std::string body;
        if (!ReadPacket(type, body)) return Broken();
        if (type == 0x82) return kErrorSuccess;
        // 0x83: not listening on the name, or it is not there; either way nobody takes it.
        return kNerrNameNotFound;
    }

    // Sends one SMB and reads its answer; 0, 5 for an access error, 121 when the receiver
    // took too long, else 2273: whatever it is, this receiver takes no message.
    DWORD Exchange(std::uint8_t command, const std::vector<std::uint16_t>& words,
                   const std::string& bytes, std::vector<std::uint16_t>* replyWords = nullptr) {
        int error = 0;
        if (m_socket.Send(SessionMessage(SmbRequest(command, ++m_mid, words, bytes)), StepMs(),
                          KeepGoing, error) != WaitResult::Ready) {
            return Broken();
        }
        std::uint8_t type = 0;
        std::string smb;
        do {
            if (!ReadPacket(type, smb)) return Broken();
        } while (type == 0x85);  // keep-alive
        if (type != 0x00) return kNerrNameNotFound;
        std::vector<std::uint16_t> answered;
        const DWORD result = ParseSmbReply(smb, command, answered);
        if (replyWords) *replyWords = std::move(answered);
        return result;
    }

private:
    // What is left of one step within the whole send's deadline.
    unsigned StepMs() const {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now())
                .count();
        return static_cast<unsigned>(std::clamp<long long>(left, 0, kStepMs));
    }

    // The dialogue ended early: the receiver went silent, or closed the session.
    DWORD Broken() const { return m_timedOut ? DWORD{kErrorSemTimeout} : DWORD{kNerrNameNotFound}; }

    bool ReadExactly(size_t size, std::string& out) {
        while (m_buffer.size() < size) {
            int error = 0;
            const size_t before = m_buffer.size();
            const WaitResult r = m_socket.Receive(m_buffer, 65536, StepMs(), KeepGoing, error);
            if (r == WaitResult::TimedOut) m_timedOut = true;
            if (r != WaitResult::Ready || m_buffer.size() == before) return false;
        }
        out = m_buffer.substr(0, size);
        m_buffer.erase(0, size);
        return true;
    }

    bool ReadPacket(std::uint8_t& type, std::string& body) {
        std::string header;
        if (!ReadExactly(4, header)) return false;
        type = static_cast<std::uint8_t>(header[0]);
        const size_t length =
            (static_cast<size_t>(static_cast<std::uint8_t>(header[1]) & 1) << 16) |
            (static_cast<size_t>(static_cast<std::uint8_t>(header[2])) << 8) |
            static_cast<std::uint8_t>(header[3]);
        return ReadExactly(length, body);
    }

    Clock::time_point m_deadline;
    TcpClient m_socket;
    std::string m_buffer;
    std::uint16_t m_mid = 0;
    bool m_timedOut = false;
};

DWORD SessionPort() {
    DWORD port = 0;
    if (ReadMachineDword("SYSTEM\\CurrentControlSet\\Services\\NetBT\\Parameters", "SessionPort",
                         port) &&
        port > 0 && port < 65536) {
        return port;
    }
    return kSessionPort;
}

}  // namespace

DWORD ParseSmbReply(std::string_view smb, std::uint8_t command, std::vector<std::uint16_t>& words) {
    words.clear();
    if (smb.size() < 35 || smb.compare(0, 4, "\xFFSMB") != 0 ||
        static_cast<std::uint8_t>(smb[4]) != command) {
        return kNerrNameNotFound;
    }
    const std::uint32_t status = Le32(smb, 5);
    const std::uint16_t flags2 = Le16(smb, 10);
    if (status != 0) {
        const bool ntStatus = (flags2 & 0x4000) != 0;
        const std::uint8_t errorClass = static_cast<std::uint8_t>(smb[5]);
        const std::uint16_t code = Le16(smb, 7);
        const bool denied =
            ntStatus ? status == 0xC0000022
                     : ((errorClass == 1 && code == 5) ||                // ERRDOS noaccess
                        (errorClass == 2 && (code == 2 || code == 4)));  // ERRSRV badpw, access
        return denied ? DWORD{kErrorAccessDenied} : DWORD{kNerrNameNotFound};
    }
    const size_t count = static_cast<std::uint8_t>(smb[32]);
    if (smb.size() < 33 + 2 * count + 2) return kNerrNameNotFound;
    for (size_t i = 0; i < count; ++i) words.push_back(Le16(smb, 33 + 2 * i));
    // A negotiation that found no dialect in common (a receiver without SMB1).
    if (command == 0x72 && !words.empty() && words[0] == 0xFFFF) return kNerrNameNotFound;
    return kErrorSuccess;
}

bool NetbiosName(std::string_view sjisName, std::uint8_t suffix, std::string& name) {
    if (sjisName.empty() || sjisName.size() > 15) return false;
    name.clear();
    for (size_t i = 0; i < sjisName.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(sjisName[i]);
        if (IsDBCSLeadByte(c) && i + 1 < sjisName.size()) {
            name.append(sjisName.substr(i, 2));
            ++i;
            continue;
        }
        if (c < 0x20 || c == 0x7F ||
            std::string_view("\\/:*?\"<>|+,;=[]").find(static_cast<char>(c)) !=
                std::string_view::npos) {
            return false;
        }
        name += AsciiUpper(static_cast<char>(c));
    }
    name.resize(15, ' ');
    name += static_cast<char>(suffix);
    return true;
}

std::string EncodeNetbiosName(const std::string& name16) {
    std::string out(1, '\x20');
    for (unsigned char c : name16) {
        out += static_cast<char>('A' + (c >> 4));
        out += static_cast<char>('A' + (c & 0x0F));
    }
    return out + std::string(1, '\0');
}

bool LookupLmhosts(std::string_view sjisName, std::uint32_t& address) {
    std::string text;
    const std::string path =
        MapMachinePath(ExpandMachineEnvironment("%SystemRoot%\\System32\\drivers\\etc\\lmhosts"));
    if (!ReadWholeFile(path, text)) return false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string_view line = TrimControls(std::string_view(text).substr(pos, end - pos));
        pos = end + 1;
        // "#PRE", "#DOM:", "#INCLUDE" and comments alike start with '#' or follow the name.
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.find_first_of(" \t");
        if (space == std::string_view::npos) continue;
        const std::string ip(line.substr(0, space));
        std::string_view rest = TrimBlanks(line.substr(space));
        std::string_view entry;
        if (!rest.empty() && rest[0] == '"') {
            const size_t close = rest.find('"', 1);
            if (close == std::string_view::npos) continue;
            entry = rest.substr(1, close - 1);
            // A quoted name may spell its 16th byte as \0xNN; only the name counts here.
            const size_t escape = entry.find("\\0x");
            if (escape != std::string_view::npos) entry = entry.substr(0, escape);
            entry = TrimBlanks(entry);
        } else {
            entry = rest.substr(0, rest.find_first_of(" \t"));
        }
        struct in_addr parsed {};
        if (!EqualsNoCase(entry, sjisName) || inet_pton(AF_INET, ip.c_str(), &parsed) != 1) {
            continue;
        }
        address = parsed.s_addr;
        return true;
    }
    return false;
}

unsigned SetNetMessageTimeLimit(unsigned milliseconds) { return g_sendMs.exchange(milliseconds); }

DWORD NetMessageBufferSend(std::u16string_view server, std::u16string_view messageName,
                           std::u16string_view fromName, const std::uint8_t* buffer,
                           DWORD bufferBytes) {
    if (!server.empty() || !fromName.empty() || (!buffer && bufferBytes != 0)) {
        return kErrorInvalidParameter;
    }
    std::u16string units;
    for (DWORD i = 0; i + 1 < bufferBytes; i += 2) {
        units += static_cast<char16_t>(buffer[i] | (buffer[i + 1] << 8));
    }
    while (!units.empty() && units.back() == u'\0') units.pop_back();
    const std::string name = Utf16ToSjis(messageName);
    std::string called, calling, computer;
    if (!NetbiosName(name, 0x03, called)) return kErrorInvalidName;
    if (!GetComputerName(computer) || !NetbiosName(computer, 0x00, calling)) {
        NetbiosName("QUORVIK", 0x00, calling);
    }

    const auto deadline = Clock::now() + std::chrono::milliseconds(g_sendMs.load());
    std::uint32_t address = 0;
    if (!LookupLmhosts(name, address)) {
        int error = 0;
        if (ResolveHost(name, std::min(kStepMs, g_sendMs.load()), KeepGoing, address, error) !=
            WaitResult::Ready) {
            return kNerrNameNotFound;
        }
    }
    Session session(deadline);
    DWORD result =
        session.Open(address, static_cast<std::uint16_t>(SessionPort()), called, calling);
    if (result != kErrorSuccess) return result;
    result = session.Exchange(kSmbNegotiate, {}, "\x02NT LM 0.12" + std::string(1, '\0'));
    if (result != kErrorSuccess) return result;

    const std::string text = Utf16ToSjis(units);
    const std::string names = SmbName(computer.empty() ? "QUORVIK" : computer) + SmbName(name);
    if (text.size() <= kBlockBytes) {
        return session.Exchange(kSmbSendSingle, {}, names + SmbData(text));
    }
    std::vector<std::uint16_t> words;
    result = session.Exchange(kSmbSendStart, {}, names, &words);
    if (result != kErrorSuccess) return result;
    // The group the text blocks belong to; Samba names none (and takes 0).
    const std::uint16_t group = words.empty() ? 0 : words[0];
    for (size_t at = 0; at < text.size();) {
        // Blocks end between characters, never inside one.
        size_t length = SjisPrefixLength(std::string_view(text).substr(at), kBlockBytes);
        if (length == 0) length = 1;
        result = session.Exchange(kSmbSendText, {group},
                                  SmbData(std::string_view(text).substr(at, length)));
        if (result != kErrorSuccess) return result;
        at += length;
    }
    return session.Exchange(kSmbSendEnd, {group}, "");
}

}  // namespace platform

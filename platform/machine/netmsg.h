#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

// Network messages, as NetMessageBufferSend delivers them: the Messenger's pop-up over a NetBIOS
// session (RFC 1002) and the SMB message commands, as NT-family machines and Samba receive them.
//
// The recipient is a computer or user name. It is looked up in the machine's lmhosts file
// (%SystemRoot%\System32\drivers\etc\lmhosts), then with the system's resolver; the session goes
// to the name's messenger alias (the name in upper case, suffix 0x03) on TCP 139, or on the port
// in the DWORD SessionPort of HKLM\SYSTEM\CurrentControlSet\Services\NetBT\Parameters. The text
// travels in code page 932, in blocks of 128 bytes when it is longer than one. Every wait is
// bounded by a few seconds, the whole send to one name by ten, and runs the message pump.
namespace platform {

enum : DWORD {
    kNerrNetworkError = 2136,  // a general network failure
    kNerrNameNotFound = 2273,  // the name is not known or takes no messages
};

// Sends the message (UTF-16, its length in bytes, a terminating zero included or not) to the
// name, from this computer; server and from must be empty. 0 when the receiver took it, else 5
// (the receiver refuses access), 87 (bad arguments), 123 (no NetBIOS name), 121 (the receiver
// took the session and then too long), 2273 (the name is unknown, the host does not answer, or
// it takes no message: no messenger, no SMB1, a refusal) or 2136 (this machine's networking).
DWORD NetMessageBufferSend(std::u16string_view server, std::u16string_view messageName,
                           std::u16string_view fromName, const std::uint8_t* buffer,
                           DWORD bufferBytes);

// The time one send may take in all (10 s); returns the one before. For tests.
unsigned SetNetMessageTimeLimit(unsigned milliseconds);

// An SMB reply to the command: 0 with its parameter words, 5 for a refusal of access, else 2273
// (not an answer to it, cut short, another refusal, no dialect in common).
DWORD ParseSmbReply(std::string_view smb, std::uint8_t command, std::vector<std::uint16_t>& words);

// The 16-byte NetBIOS name: upper case, padded with blanks to 15 bytes, then the suffix; false
// for a name that cannot be one (empty, longer than 15 bytes, a forbidden character).
bool NetbiosName(std::string_view sjisName, std::uint8_t suffix, std::string& name);

// The first-level encoding of a NetBIOS name in a session request: 0x20, 32 letters, 0x00.
std::string EncodeNetbiosName(const std::string& name16);

// The address of a name in the machine's lmhosts file, in network order; false when none.
bool LookupLmhosts(std::string_view sjisName, std::uint32_t& address);

}  // namespace platform

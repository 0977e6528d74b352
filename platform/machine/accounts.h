#pragma once

#include <string>
#include <string_view>

#include "platform/errors.h"

// Accounts and the computer name of the machine. Texts are CP932.
namespace platform {

// The computer name: the registry's ComputerName value, else the host name in upper case cut
// to 15 characters. Fails with 111 when it does not fit a buffer of bufferChars characters
// with its terminator.
bool GetComputerName(std::string& name, size_t bufferChars = 16);

// The host's own name as a computer name: the part before the first dot, upper case, cut to
// 15 bytes ("QUORVIK" when the host has none).
std::string HostComputerName();

// The account of a binary SID: well-known SIDs, and the machine's own accounts (its profile
// list). Fails with 1332 for a SID no one knows, 87 for bytes that are not a SID.
bool LookupAccountSid(std::string_view systemName, std::string_view sid, std::string& name,
                      std::string& domain);

// The machine's account SID (binary) of a Linux user: SYSTEM for root, otherwise the machine's
// account whose profile folder has the user's name; false when the machine knows none.
bool AccountSidOfUid(unsigned uid, std::string& sid);

// "S-1-5-18" from the binary form, and back; empty / false for malformed input.
std::string SidToString(std::string_view sid);
bool StringToSid(std::string_view text, std::string& sid);

}  // namespace platform

#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// The digests and the stream cipher the program needs.
namespace platform {

using Md5Digest = std::array<std::uint8_t, 16>;

// MD5 of the bytes.
Md5Digest Md5(std::string_view data);

// HMAC-MD5 of the message under the key.
Md5Digest HmacMd5(std::string_view key, std::string_view message);

// RC4 of the data under the key (enciphering and deciphering are the same); an empty key
// leaves the data unchanged.
std::string Rc4(std::string_view key, std::string_view data);

}  // namespace platform

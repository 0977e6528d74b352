#include "platform/crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace platform {

Md5Digest Md5(std::string_view data) {
    Md5Digest digest{};
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_md5(), nullptr);
    return digest;
}

Md5Digest HmacMd5(std::string_view key, std::string_view message) {
    Md5Digest digest{};
    unsigned int length = 0;
    HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest.data(),
         &length);
    return digest;
}

std::string Rc4(std::string_view key, std::string_view data) {
    std::string out(data);
    if (key.empty()) return out;
    std::uint8_t s[256];
    for (int i = 0; i < 256; ++i) s[i] = static_cast<std::uint8_t>(i);
    std::uint8_t j = 0;
    for (int i = 0; i < 256; ++i) {
        j = static_cast<std::uint8_t>(j + s[i] + static_cast<std::uint8_t>(key[i % key.size()]));
        std::swap(s[i], s[j]);
    }
    std::uint8_t i = 0;
    j = 0;
    for (char& c : out) {
        i = static_cast<std::uint8_t>(i + 1);
        j = static_cast<std::uint8_t>(j + s[i]);
        std::swap(s[i], s[j]);
        c = static_cast<char>(static_cast<std::uint8_t>(c) ^
                              s[static_cast<std::uint8_t>(s[i] + s[j])]);
    }
    return out;
}

}  // namespace platform

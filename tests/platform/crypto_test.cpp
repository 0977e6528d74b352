#include "platform/crypto.h"

#include <gtest/gtest.h>

#include "platform/bytes.h"

using namespace platform;

namespace {

std::string Bytes(const Md5Digest& d) { return std::string(d.begin(), d.end()); }

}  // namespace

TEST(Crypto, Md5AndHmacMd5KnownAnswers) {
    EXPECT_EQ(ToHex(Bytes(Md5(""))), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(ToHex(Bytes(Md5("BKMorvant"))), "1ef46d17f387589eb4a151f0c120d343");
    // RFC 2104's second test case.
    EXPECT_EQ(ToHex(Bytes(HmacMd5("Jefe", "what do ya want for nothing?"))),
              "750c783e6ab0b503eaa86e310a5db738");
}

TEST(Crypto, Rc4KnownAnswersAndSymmetry) {
    // The classic test vectors.
    EXPECT_EQ(ToHex(Rc4("Key", "Plaintext")), "bbf316e8d940af0ad3");
    EXPECT_EQ(ToHex(Rc4("Secret", "Attack at dawn")), "45a01f645fc35b383552544b9bf5");
    std::string data("\x00\xff\x10 text", 8);
    EXPECT_EQ(Rc4("k", Rc4("k", data)), data);
    EXPECT_EQ(Rc4("", "same"), "same");
}

#include "platform/linux/cp932_table.h"

#include <iconv.h>

namespace platform {

const Cp932& Cp932::Get() {
    static const std::unique_ptr<Cp932> tables(new Cp932);
    return *tables;
}

Cp932::Cp932() : m_pairs(60 * 256, kNoCharacter), m_encode(new std::atomic<std::uint16_t>[65536]) {
    for (size_t i = 0; i < 65536; ++i) m_encode[i].store(kUnknown, std::memory_order_relaxed);
    iconv_t decoder = iconv_open("UTF-16LE", "CP932");
    for (int b = 0; b < 256; ++b) {
        const char in[1] = {static_cast<char>(b)};
        m_single[b] =
            IsDBCSLeadByte(static_cast<unsigned char>(b)) ? kNoCharacter : Decode(decoder, in, 1);
    }
    std::vector<unsigned char> uses(65536, 0);
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!IsDBCSLeadByte(static_cast<unsigned char>(lead))) continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            if (!IsTrailByte(static_cast<unsigned char>(trail))) continue;
            const char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
            const char16_t c = Decode(decoder, in, 2);
            m_pairs[static_cast<size_t>(LeadIndex(static_cast<unsigned char>(lead))) * 256 +
                    trail] = c;
            if (c == kNoCharacter) continue;
            if (uses[c]++ == 0) m_encode[c].store(static_cast<std::uint16_t>(lead << 8 | trail));
        }
    }
    for (int b = 0; b < 256; ++b) {
        const char16_t c = m_single[b];
        if (c != kNoCharacter && uses[c]++ == 0) m_encode[c].store(static_cast<std::uint16_t>(b));
    }
    // Characters with more than one code (the NEC and IBM rows): the converter's choice.
    for (size_t c = 0; c < 65536; ++c) {
        if (uses[c] > 1) m_encode[c].store(AskConverter(static_cast<char16_t>(c)));
    }
    if (decoder != reinterpret_cast<iconv_t>(-1)) iconv_close(decoder);
}

char16_t Cp932::Decode(void* converter, const char* bytes, size_t size) {
    const iconv_t cd = static_cast<iconv_t>(converter);
    if (cd == reinterpret_cast<iconv_t>(-1)) return bytes[0] >= 0 ? bytes[0] : kNoCharacter;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char out[8];
    char* src = const_cast<char*>(bytes);
    char* dst = out;
    size_t left = size, room = sizeof out;
    if (iconv(cd, &src, &left, &dst, &room) == static_cast<size_t>(-1) || left != 0 ||
        dst - out != 2) {
        return kNoCharacter;
    }
    return static_cast<char16_t>(static_cast<unsigned char>(out[0]) |
                                 (static_cast<unsigned char>(out[1]) << 8));
}

std::uint16_t Cp932::AskConverter(char16_t unit) {
    if (unit >= 0xD800 && unit <= 0xDFFF) return kUnmappable;
    // One converter for each thread that asks, closed when the thread ends.
    struct Encoder {
        iconv_t cd = iconv_open("CP932", "UTF-16LE");
        ~Encoder() {
            if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
        }
    };
    thread_local Encoder owned;
    const iconv_t encoder = owned.cd;
    if (encoder == reinterpret_cast<iconv_t>(-1)) return unit < 0x80 ? unit : kUnmappable;
    iconv(encoder, nullptr, nullptr, nullptr, nullptr);
    char in[2] = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    unsigned char out[4];
    char* src = in;
    char* dst = reinterpret_cast<char*>(out);
    size_t left = 2, room = sizeof out;
    if (iconv(encoder, &src, &left, &dst, &room) == static_cast<size_t>(-1) || left != 0) {
        return kUnmappable;
    }
    const size_t n = sizeof out - room;
    if (n == 1) return out[0];
    if (n == 2) return static_cast<std::uint16_t>(out[0] << 8 | out[1]);
    return kUnmappable;
}

}  // namespace platform

#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/codepage.h"

namespace platform {

constexpr char16_t kNoCharacter = 0xFFFF;  // in the decoding tables: not a character

inline bool IsTrailByte(unsigned char b) {
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

// The row of a lead byte in the table of pairs.
inline int LeadIndex(unsigned char lead) { return lead <= 0x9F ? lead - 0x81 : lead - 0xE0 + 31; }

// Code page 932 as tables, taken from glibc's exact Windows-compatible converter once, at the
// first conversion that needs them: decoding every single byte and byte pair, and encoding
// every UTF-16 unit (learnt from the converter the first time a unit is met, as most of the
// BMP is never asked for).
class Cp932 {
public:
    static const Cp932& Get();

    // The character of a single byte, or kNoCharacter.
    char16_t Single(unsigned char b) const { return m_single[b]; }
    // The character of a lead and trail byte, or kNoCharacter.
    char16_t Pair(unsigned char lead, unsigned char trail) const {
        return m_pairs[static_cast<size_t>(LeadIndex(lead)) * 256 + trail];
    }
    // The code of a character: one byte (below 0x100) or two (lead << 8 | trail); kUnmappable
    // when code page 932 has none.
    static constexpr std::uint16_t kUnmappable = 0xFFFE;
    std::uint16_t Encode(char16_t unit) const {
        std::uint16_t code = m_encode[unit].load(std::memory_order_relaxed);
        if (code == kUnknown) {
            code = AskConverter(unit);
            m_encode[unit].store(code, std::memory_order_relaxed);
        }
        return code;
    }

private:
    static constexpr std::uint16_t kUnknown = 0xFFFF;

    Cp932();
    static char16_t Decode(void* converter, const char* bytes, size_t size);
    static std::uint16_t AskConverter(char16_t unit);

    char16_t m_single[256];
    std::vector<char16_t> m_pairs;
    std::unique_ptr<std::atomic<std::uint16_t>[]> m_encode;
};

}  // namespace platform

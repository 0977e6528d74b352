#include "libs/unlha32/lh5_encoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace lzh {
namespace {

constexpr int kDictionaryBits = 13;
constexpr std::uint32_t kDictionary = 1u << kDictionaryBits;
constexpr std::uint32_t kDictionaryMask = kDictionary - 1;
// Distances of up to the whole dictionary less one: the decoder's ring always still holds the
// byte then.
constexpr std::uint32_t kMaxDistance = kDictionary - 1;
constexpr int kMinMatch = 3;
constexpr int kMaxMatch = 256;
// A match of three bytes this far back costs about what its three literals cost.
constexpr std::uint32_t kTooFar = 4096;
// Once a match is this long, the next place is not searched for a longer one.
constexpr int kLazyLimit = 64;

constexpr int kNC = 256 + kMaxMatch - kMinMatch + 1;  // literals and match lengths: 510
constexpr int kNT = 19;                               // code length codes
constexpr int kNP = kDictionaryBits + 1;              // distance bit counts: 14
constexpr int kCBits = 9;
constexpr int kTBits = 5;
constexpr int kPBits = 4;
constexpr int kMaxCodeLength = 16;

constexpr int kHashBits = 15;
constexpr std::uint32_t kHashSize = 1u << kHashBits;
// Input kept in memory at once beyond the dictionary.
constexpr std::uint32_t kBufferSize = 4 * kDictionary + 65536;

const std::array<std::uint16_t, 256> kCrcTable = [] {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
        table[i] = static_cast<std::uint16_t>(crc);
    }
    return table;
}();

// Huffman code lengths of at most kMaxCodeLength bits for the frequencies; symbols of frequency
// 0 get length 0. Returns the number of symbols in use.
int BuildLengths(const std::uint32_t* freq, int n, std::uint8_t* lengths) {
    std::fill(lengths, lengths + n, 0);
    std::vector<std::uint32_t> weights(freq, freq + n);
    int used = 0;
    for (int i = 0; i < n; ++i) used += weights[i] != 0;
    if (used < 2) {
        for (int i = 0; i < n; ++i) lengths[i] = 0;
        return used;
    }
    for (;;) {
        // Nodes 0..n-1 are the symbols, the rest the inner nodes made by merging.
        struct Node {
            std::uint64_t weight;
            int index;
        };
        auto heavier = [](const Node& a, const Node& b) {
            return a.weight > b.weight || (a.weight == b.weight && a.index > b.index);
        };
        std::vector<Node> heap;
        std::vector<int> parent(2 * static_cast<size_t>(n), -1);
        for (int i = 0; i < n; ++i) {
            if (weights[i]) heap.push_back({weights[i], i});
        }
        std::make_heap(heap.begin(), heap.end(), heavier);
        int next = n;
        while (heap.size() > 1) {
            std::pop_heap(heap.begin(), heap.end(), heavier);
            const Node a = heap.back();
            heap.pop_back();
            std::pop_heap(heap.begin(), heap.end(), heavier);
            const Node b = heap.back();
            heap.pop_back();
            parent[static_cast<size_t>(a.index)] = next;
            parent[static_cast<size_t>(b.index)] = next;
            heap.push_back({a.weight + b.weight, next++});
            std::push_heap(heap.begin(), heap.end(), heavier);
        }
        std::vector<int> depth(static_cast<size_t>(next), 0);
        for (int node = next - 2; node >= 0; --node) {
            if (parent[static_cast<size_t>(node)] >= 0) {
                depth[static_cast<size_t>(node)] = depth[static_cast<size_t>(parent[node])] + 1;
            }
        }
        int longest = 0;
        for (int i = 0; i < n; ++i) {
            if (weights[i]) {
                lengths[i] = static_cast<std::uint8_t>(depth[static_cast<size_t>(i)]);
                longest = std::max(longest, static_cast<int>(lengths[i]));
            }
        }
        if (longest <= kMaxCodeLength) return used;
        // Too deep: flatten the weights and build again.
        for (std::uint32_t& w : weights) {
            if (w) w = (w >> 1) | 1;
        }
    }
}

// Canonical codes: shorter codes first, equal lengths in symbol order.
void BuildCodes(const std::uint8_t* lengths, int n, std::uint16_t* codes) {
    std::array<std::uint32_t, kMaxCodeLength + 2> count{}, start{};
    for (int i = 0; i < n; ++i) ++count[lengths[i]];
    count[0] = 0;
    for (int len = 1; len <= kMaxCodeLength; ++len) start[len + 1] = (start[len] + count[len]) << 1;
    for (int i = 0; i < n; ++i) {
        codes[i] = lengths[i] ? static_cast<std::uint16_t>(start[lengths[i]]++) : 0;
    }
}

// How many bytes from the start the two places have in common, at most limit; the first two are
// known to be equal.
int CommonLength(const std::uint8_t* a, const std::uint8_t* b, int limit) {
    int len = 2;
    while (len + 8 <= limit) {
        std::uint64_t x, y;
        std::memcpy(&x, a + len, 8);
        std::memcpy(&y, b + len, 8);
        if (x != y) return len + (__builtin_ctzll(x ^ y) >> 3);
        len += 8;
    }
    while (len < limit && a[len] == b[len]) ++len;
    return len;
}

int BitLength(std::uint32_t value) {
    int bits = 0;
    while (value) {
        ++bits;
        value >>= 1;
    }
    return bits;
}

}  // namespace

std::uint16_t Crc16(std::uint16_t crc, const void* data, size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) crc = kCrcTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

struct Lh5Encoder::State {
    Sink sink;
    Lh5Options options;

    // Input: the dictionary behind pos and what is still to code ahead of it.
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kBufferSize);
    std::uint32_t pos = 0;   // next byte to code
    std::uint32_t end = 0;   // end of the data in the buffer
    std::uint32_t base = 0;  // stream offset of buffer[0]
    std::vector<std::uint32_t> head = std::vector<std::uint32_t>(kHashSize, 0);  // offset + 1
    std::vector<std::uint32_t> prev = std::vector<std::uint32_t>(kDictionary, 0);

    // Lazy matching state between steps.
    int prevLength = 0;
    std::uint32_t prevDistance = 0;
    bool literalPending = false;

    // The block being gathered.
    std::vector<std::uint16_t> commands;  // 0-255 literals, 256+ match lengths
    std::vector<std::uint16_t> offsets;   // distance - 1 of each match
    std::array<std::uint32_t, kNC> cFreq{};
    std::array<std::uint32_t, kNP> pFreq{};

    // Output bits, most significant first.
    std::vector<std::uint8_t> out;
    std::uint64_t bits = 0;
    int bitCount = 0;
    std::uint64_t written = 0;

    void Put(int n, std::uint32_t value) {
        if (n == 0) return;
        bits = (bits << n) | (value & ((1u << n) - 1));
        bitCount += n;
        while (bitCount >= 8) {
            bitCount -= 8;
            out.push_back(static_cast<std::uint8_t>(bits >> bitCount));
        }
    }

    void FlushOutput() {
        if (out.empty()) return;
        sink(out.data(), out.size());
        written += out.size();
        out.clear();
    }

    std::uint32_t Hash(std::uint32_t i) const {
        const std::uint32_t v = static_cast<std::uint32_t>(buffer[i]) << 16 |
                                static_cast<std::uint32_t>(buffer[i + 1]) << 8 | buffer[i + 2];
        return (v * 2654435761u) >> (32 - kHashBits);
    }

    // Puts position i into its chain; gives the previous head of the chain.
    std::uint32_t Insert(std::uint32_t i) {
        const std::uint32_t h = Hash(i);
        const std::uint32_t previous = head[h];
        prev[(base + i) & kDictionaryMask] = previous;
        head[h] = base + i + 1;
        return previous;
    }

    // Longest match for position i along the chain from candidate; 0 when none of 3 bytes.
    int LongestMatch(std::uint32_t i, std::uint32_t candidate, int better,
                     std::uint32_t& distance) {
        const int limit = std::min<std::uint32_t>(kMaxMatch, end - i);
        if (limit < kMinMatch || better >= limit) return 0;
        int best = std::max(better, kMinMatch - 1);
        int chain = options.chainLimit;
        if (better >= 32) chain >>= 2;
        const std::uint32_t here = base + i;
        const std::uint8_t* const scan = buffer.data() + i;
        while (candidate != 0 && chain-- > 0) {
            const std::uint32_t at = candidate - 1;
            const std::uint32_t d = here - at;
            if (d > kMaxDistance || at < base) break;
            const std::uint8_t* match = buffer.data() + (at - base);
            if (match[best] == scan[best] && match[0] == scan[0] && match[1] == scan[1]) {
                const int len = CommonLength(scan, match, limit);
                if (len > best) {
                    best = len;
                    distance = d;
                    if (len >= limit) break;
                }
            }
            const std::uint32_t next = prev[at & kDictionaryMask];
            if (next >= candidate) break;
            candidate = next;
        }
        return best >= kMinMatch && best > better ? best : 0;
    }

    void Literal(std::uint8_t c) {
        commands.push_back(c);
        ++cFreq[c];
        if (commands.size() >= static_cast<size_t>(options.blockCommands)) SendBlock();
    }

    void Match(int length, std::uint32_t distance) {
        const std::uint16_t code = static_cast<std::uint16_t>(256 + length - kMinMatch);
        const std::uint16_t offset = static_cast<std::uint16_t>(distance - 1);
        commands.push_back(code);
        offsets.push_back(offset);
        ++cFreq[code];
        ++pFreq[static_cast<size_t>(BitLength(offset))];
        if (commands.size() >= static_cast<size_t>(options.blockCommands)) SendBlock();
    }

    // Code lengths of a table with the special zero run after index 2 (code length codes) or
    // without it (distances).
    void WriteLengths(const std::uint8_t* lengths, int n, int countBits, int special) {
        while (n > 0 && lengths[n - 1] == 0) --n;
        Put(countBits, static_cast<std::uint32_t>(n));
        int i = 0;
        while (i < n) {
            const int k = lengths[i++];
            if (k <= 6) {
                Put(3, static_cast<std::uint32_t>(k));
            } else {
                Put(3, 7);
                Put(k - 7, (1u << (k - 7)) - 1);
                Put(1, 0);
            }
            if (i == special) {
                int j = i;
                while (j < 6 && j < n && lengths[j] == 0) ++j;
                Put(2, static_cast<std::uint32_t>(j - i));
                i = j;
            }
        }
    }

    // Runs of zero lengths in the literal/length table, as the code length codes send them.
    template <typename Emit>
    static void WalkCodeLengths(const std::uint8_t* cLen, int n, Emit emit) {
        int i = 0;
        while (i < n) {
            const int k = cLen[i++];
            if (k != 0) {
                emit(k + 2, 0, 0);
                continue;
            }
            int count = 1;
            while (i < n && cLen[i] == 0) {
                ++i;
                ++count;
            }
            if (count <= 2) {
                for (int j = 0; j < count; ++j) emit(0, 0, 0);
            } else if (count <= 18) {
                emit(1, 4, count - 3);
            } else if (count == 19) {
                emit(0, 0, 0);
                emit(1, 4, 15);
            } else {
                emit(2, kCBits, count - 20);
            }
        }
    }

    void SendBlock() {
        if (commands.empty()) return;
        std::array<std::uint8_t, kNC> cLen{};
        std::array<std::uint16_t, kNC> cCode{};
        std::array<std::uint8_t, kNP> pLen{};
        std::array<std::uint16_t, kNP> pCode{};
        const int cUsed = BuildLengths(cFreq.data(), kNC, cLen.data());
        BuildCodes(cLen.data(), kNC, cCode.data());
        const int pUsed = BuildLengths(pFreq.data(), kNP, pLen.data());
        BuildCodes(pLen.data(), kNP, pCode.data());

        Put(16, static_cast<std::uint32_t>(commands.size()));
        if (cUsed >= 2) {
            int n = kNC;
            while (n > 0 && cLen[static_cast<size_t>(n - 1)] == 0) --n;
            std::array<std::uint32_t, kNT> tFreq{};
            WalkCodeLengths(cLen.data(), n, [&](int code, int, int) { ++tFreq[code]; });
            std::array<std::uint8_t, kNT> tLen{};
            std::array<std::uint16_t, kNT> tCode{};
            const int tUsed = BuildLengths(tFreq.data(), kNT, tLen.data());
            BuildCodes(tLen.data(), kNT, tCode.data());
            if (tUsed >= 2) {
                WriteLengths(tLen.data(), kNT, kTBits, 3);
            } else {
                Put(kTBits, 0);
                Put(kTBits, static_cast<std::uint32_t>(
                                std::find_if(tFreq.begin(), tFreq.end(),
                                             [](std::uint32_t f) { return f != 0; }) -
                                tFreq.begin()));
            }
            Put(kCBits, static_cast<std::uint32_t>(n));
            WalkCodeLengths(cLen.data(), n, [&](int code, int extraBits, int extra) {
                Put(tLen[static_cast<size_t>(code)], tCode[static_cast<size_t>(code)]);
                Put(extraBits, static_cast<std::uint32_t>(extra));
            });
        } else {
            // One symbol only: it is sent as itself and costs no bits in the data.
            const auto only =
                std::find_if(cFreq.begin(), cFreq.end(), [](std::uint32_t f) { return f != 0; });
            Put(kTBits, 0);
            Put(kTBits, 0);
            Put(kCBits, 0);
            Put(kCBits, static_cast<std::uint32_t>(only - cFreq.begin()));
        }
        if (pUsed >= 2) {
            WriteLengths(pLen.data(), kNP, kPBits, -1);
        } else {
            const auto only =
                std::find_if(pFreq.begin(), pFreq.end(), [](std::uint32_t f) { return f != 0; });
            Put(kPBits, 0);
            Put(kPBits, only == pFreq.end() ? 0 : static_cast<std::uint32_t>(only - pFreq.begin()));
        }

        size_t match = 0;
        for (const std::uint16_t command : commands) {
            Put(cLen[command], cCode[command]);
            if (command < 256) continue;
            const std::uint32_t offset = offsets[match++];
            const int p = BitLength(offset);
            Put(pLen[static_cast<size_t>(p)], pCode[static_cast<size_t>(p)]);
            if (p > 1) Put(p - 1, offset & ((1u << (p - 1)) - 1));
        }
        commands.clear();
        offsets.clear();
        cFreq.fill(0);
        pFreq.fill(0);
        if (out.size() >= 65536) FlushOutput();
    }

    // Codes what lies before stop (a buffer index), with lookahead up to end.
    void Code(std::uint32_t stop) {
        while (pos < stop) {
            std::uint32_t candidate = 0;
            if (end - pos >= static_cast<std::uint32_t>(kMinMatch)) {
                candidate = Insert(pos);
            }
            int length = 0;
            std::uint32_t distance = 0;
            if (candidate != 0 && prevLength < kLazyLimit) {
                length = LongestMatch(pos, candidate, prevLength, distance);
                if (length == kMinMatch && distance > kTooFar) length = 0;
            }
            if (prevLength >= kMinMatch && length <= prevLength) {
                // The match found one place back stands; the place here belongs to it.
                Match(prevLength, prevDistance);
                const std::uint32_t last = pos - 1 + static_cast<std::uint32_t>(prevLength);
                for (std::uint32_t i = pos + 1; i < last; ++i) {
                    if (end - i >= static_cast<std::uint32_t>(kMinMatch)) Insert(i);
                }
                pos = last;
                prevLength = 0;
                literalPending = false;
                continue;
            }
            if (literalPending) Literal(buffer[pos - 1]);
            literalPending = true;
            prevLength = length;
            prevDistance = distance;
            ++pos;
        }
    }

    void Slide() {
        if (pos <= kDictionary) return;
        const std::uint32_t shift = pos - kDictionary;
        std::memmove(buffer.data(), buffer.data() + shift, end - shift);
        base += shift;
        pos -= shift;
        end -= shift;
    }
};

Lh5Encoder::Lh5Encoder(Sink sink, Lh5Options options) : m_state(std::make_unique<State>()) {
    m_state->sink = std::move(sink);
    m_state->options = options;
    m_state->options.chainLimit = std::max(1, options.chainLimit);
    m_state->options.blockCommands = std::clamp(options.blockCommands, 1, 65535);
}

Lh5Encoder::~Lh5Encoder() = default;

void Lh5Encoder::Write(const void* data, size_t size) {
    State& s = *m_state;
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        if (s.end == kBufferSize) {
            // Code all that has its full lookahead, then drop what lies beyond the dictionary.
            // A pending lazy step keeps one place behind pos, which the dictionary covers.
            s.Code(s.end - kMaxMatch);
            s.Slide();
        }
        const size_t take = std::min<size_t>(size, kBufferSize - s.end);
        std::memcpy(s.buffer.data() + s.end, p, take);
        s.end += static_cast<std::uint32_t>(take);
        p += take;
        size -= take;
    }
}

void Lh5Encoder::Finish() {
    State& s = *m_state;
    s.Code(s.end);
    if (s.prevLength >= kMinMatch) {
        s.Match(s.prevLength, s.prevDistance);
    } else if (s.literalPending) {
        s.Literal(s.buffer[s.pos - 1]);
    }
    s.prevLength = 0;
    s.literalPending = false;
    s.SendBlock();
    if (s.bitCount > 0) s.Put(8 - s.bitCount, 0);
    s.FlushOutput();
}

std::uint64_t Lh5Encoder::OutputSize() const { return m_state->written + m_state->out.size(); }

std::string CompressLh5(std::string_view data, Lh5Options options) {
    std::string out;
    Lh5Encoder encoder(
        [&out](const std::uint8_t* bytes, size_t size) {
            out.append(reinterpret_cast<const char*>(bytes), size);
        },
        options);
    encoder.Write(data.data(), data.size());
    encoder.Finish();
    return out;
}

}  // namespace lzh

#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

// The -lh5- method of LHA archives: LZ77 over an 8 KB window (matches of 3 to 256 bytes) whose
// literals, lengths and distances are coded with canonical Huffman codes sent per block.
namespace lzh {

// CRC-16 as LHA archives use it (polynomial 0x8005, bits reflected, starting from 0).
std::uint16_t Crc16(std::uint16_t crc, const void* data, size_t size);

struct Lh5Options {
    // How many earlier places with the same three bytes are tried for each match.
    int chainLimit = 512;
    // Commands per block: each block sends its own code tables.
    int blockCommands = 16384;
};

// Compresses a stream: Write the data in pieces of any size, then Finish. The compressed bytes
// go to the sink as they are made.
class Lh5Encoder {
public:
    using Sink = std::function<void(const std::uint8_t* data, size_t size)>;

    explicit Lh5Encoder(Sink sink, Lh5Options options = {});
    ~Lh5Encoder();
    Lh5Encoder(const Lh5Encoder&) = delete;
    Lh5Encoder& operator=(const Lh5Encoder&) = delete;

    void Write(const void* data, size_t size);
    void Finish();

    // Compressed bytes handed to the sink so far.
    std::uint64_t OutputSize() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// The whole of a buffer compressed at once.
std::string CompressLh5(std::string_view data, Lh5Options options = {});

}  // namespace lzh

#include "platform/machine/evt/evt_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/errors.h"

namespace platform::evt {
namespace {

constexpr size_t kWindow = 256 * 1024;
constexpr size_t kConvertedLimit = 4096;

std::atomic<std::uint64_t> g_localWrites{0};

bool PRead(int fd, std::uint64_t offset, size_t size, std::string& out) {
    out.resize(size);
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, out.data() + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            out.resize(done);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// A hash of a record's bytes, eight at a time (records are whole multiples of four bytes).
std::uint64_t RecordHash(std::string_view bytes) {
    std::uint64_t hash = 1469598103934665603ull ^ bytes.size();
    size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
        hash ^= hash >> 29;
    }
    for (; i < bytes.size(); ++i)
        hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
    return hash;
}

}  // namespace

std::uint64_t LocalWrites() { return g_localWrites.load(std::memory_order_relaxed); }

void NoteLocalWrite() { g_localWrites.fetch_add(1, std::memory_order_relaxed); }

EvtFile::Lock::Lock(EvtFile& file, int operation) : m_file(file) {
    if (m_file.m_lockDepth++ == 0) {
        while (flock(m_file.m_fd, operation) != 0 && errno == EINTR) {
        }
    }
}

EvtFile::Lock::~Lock() {
    if (--m_file.m_lockDepth == 0) flock(m_file.m_fd, LOCK_UN);
}

EvtFile::~EvtFile() {
    if (m_fd >= 0) close(m_fd);
}

bool EvtFile::OpenForReading(const std::string& path) {
    m_fd = open(PathToNative(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) return FailFromErrno();
    m_writable = false;
    return true;
}

bool EvtFile::Knows(std::uint32_t number) const {
    return m_stateKnown && m_localWritesSeen == LocalWrites() && m_state.Holds(number);
}

bool EvtFile::Refresh() {
    Lock lock(*this, LOCK_SH);
    return LoadState();
}

bool EvtFile::LoadState() {
    const std::uint64_t localWrites = LocalWrites();
    std::string bytes;
    if (!PRead(m_fd, 0, kHeaderSize, bytes)) {
        SetLastError(kErrorEventLogFileCorrupt);
        return false;
    }
    struct stat st;
    if (fstat(m_fd, &st) != 0) return FailFromErrno();
    // The header, size, time and identity of the file tell whether anything changed; a clean
    // file that has not changed keeps its state.
    std::string key = bytes;
    for (std::uint64_t v :
         {static_cast<std::uint64_t>(st.st_size), static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::uint64_t>(st.st_mtim.tv_sec),
          static_cast<std::uint64_t>(st.st_mtim.tv_nsec)}) {
        key.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
    if (m_stateKnown && key == m_stateKey && !(m_state.header.flags & kFlagDirty)) {
        m_localWritesSeen = localWrites;
        return true;
    }
    if (key != m_stateKey) {
        m_window.clear();
        m_windowStart = 0;
        m_stateKey = key;
        ++m_generation;
    }
    m_stateKnown = false;
    State s;
    s.fileSize = static_cast<std::uint64_t>(st.st_size);
    if (!ParseHeader(bytes, s.header) || s.fileSize < kHeaderSize + kEofSize ||
        s.fileSize > 0xFFFFFFFFull) {
        SetLastError(kErrorEventLogFileCorrupt);
        return false;
    }
    s.start = s.header.startOffset;
    s.end = s.header.endOffset;
    s.current = s.header.currentNumber;
    s.oldest = s.header.oldestNumber;
    if (s.header.flags & kFlagDirty) {
        // The header is stale; the end-of-file record holds the truth. Look where it was last,
        // then walk the region from the header's end offset.
        if (s.fileSize != m_state.fileSize) m_eofHint = 0;
        const auto region = static_cast<std::uint32_t>(s.fileSize) - kHeaderSize;
        m_state.fileSize = s.fileSize;
        bool found = false;
        std::string eofBytes;
        Eof eof;
        auto tryAt = [&](std::uint32_t offset) {
            return ReadCircular(offset, kEofSize, eofBytes) && ParseEof(eofBytes, eof) &&
                   eof.endOffset == offset;
        };
        if (m_eofHint >= kHeaderSize && tryAt(m_eofHint)) {
            found = true;
        } else if (m_walkFailedKey != key) {
            // Walked in large blocks, the record found by its signature: a file of any size costs
            // one pass over it, not a read for every four bytes.
            static const std::string kSignature(
                "\x11\x11\x11\x11\x22\x22\x22\x22"
                "\x33\x33\x33\x33\x44\x44\x44\x44");
            constexpr std::uint32_t kBlock = 1u << 20;
            std::uint32_t from = (s.end >= kHeaderSize && s.end < s.fileSize) ? s.end : kHeaderSize;
            from -= (from - kHeaderSize) % 4;
            std::string block;
            for (std::uint32_t walked = 0; walked < region && !found;) {
                const std::uint32_t at = Advance(from, walked);
                const std::uint32_t length = std::min(kBlock, region - walked);
                // A record that starts in the block is read whole with it.
                if (!ReadCircular(at, std::min(region, length + kEofSize), block)) break;
                for (size_t p = block.find(kSignature); p != std::string::npos && !found;
                     p = block.find(kSignature, p + 1)) {
                    if (p < 4 || (p - 4) % 4 != 0 || p - 4 >= length) continue;
                    found = tryAt(Advance(at, static_cast<std::uint32_t>(p - 4)));
                }
                walked += length;
            }
        }
        if (!found) {
            // The same file is not walked again until it changes.
            m_walkFailedKey = key;
            SetLastError(kErrorEventLogFileCorrupt);
            return false;
        }
        m_eofHint = eof.endOffset;
        s.start = eof.startOffset;
        s.end = eof.endOffset;
        s.current = eof.currentNumber;
        s.oldest = eof.oldestNumber;
    }
    if (s.start < kHeaderSize || s.start >= s.fileSize || s.end < kHeaderSize ||
        s.end >= s.fileSize) {
        SetLastError(kErrorEventLogFileCorrupt);
        return false;
    }
    m_state = s;
    m_stateKnown = true;
    m_localWritesSeen = localWrites;
    return true;
}

std::uint32_t EvtFile::Advance(std::uint32_t offset, std::uint32_t by) const {
    std::uint64_t next = static_cast<std::uint64_t>(offset) + by;
    if (next >= m_state.fileSize) next = next - m_state.fileSize + kHeaderSize;
    return static_cast<std::uint32_t>(next);
}

bool EvtFile::ReadCircular(std::uint32_t offset, std::uint32_t size, std::string& out) {
    if (offset < kHeaderSize || offset >= m_state.fileSize || size > m_state.Region()) return false;
    const std::uint64_t first = std::min<std::uint64_t>(size, m_state.fileSize - offset);
    if (!PRead(m_fd, offset, static_cast<size_t>(first), out)) return false;
    if (first < size) {
        std::string rest;
        if (!PRead(m_fd, kHeaderSize, static_cast<size_t>(size - first), rest)) return false;
        out += rest;
    }
    return true;
}

bool EvtFile::ViewCached(std::uint32_t offset, std::uint32_t size, std::string_view& out) const {
    const std::uint64_t end = static_cast<std::uint64_t>(offset) + size;
    if (offset < kHeaderSize || end > m_state.fileSize || offset < m_windowStart ||
        end > m_windowStart + m_window.size()) {
        return false;
    }
    out = std::string_view(m_window).substr(static_cast<size_t>(offset - m_windowStart), size);
    return true;
}

// A range of the circular region: a view of the window when it lies in one piece (the window
// is read anew where it does not cover the range), else a copy in scratch. Under the lock.
bool EvtFile::View(std::uint32_t offset, std::uint32_t size, std::string& scratch,
                   std::string_view& out) {
    if (offset < kHeaderSize || offset >= m_state.fileSize || size > m_state.Region()) return false;
    if (ViewCached(offset, size, out)) return true;
    if (offset + static_cast<std::uint64_t>(size) <= m_state.fileSize && size <= kWindow / 2) {
        m_windowStart = offset;
        PRead(m_fd, offset, kWindow, m_window);  // a short read near the end is expected
        if (ViewCached(offset, size, out)) return true;
    }
    if (!ReadCircular(offset, size, scratch)) return false;
    out = scratch;
    return true;
}

// The record at an offset, checked whole, with the number it must carry.
bool EvtFile::RecordAt(std::uint32_t offset, std::uint32_t expectedNumber, std::string& scratch,
                       std::string_view& record) {
    std::string_view head;
    if (!View(offset, 12, scratch, head)) return false;
    const std::uint32_t length = Le32(head, 0);
    if (length < kMinRecordSize || length % 4 != 0 || length > m_state.Region() - kEofSize ||
        Le32(head, 4) != kSignature || Le32(head, 8) != expectedNumber) {
        return false;
    }
    if (!View(offset, length, scratch, record)) return false;
    return Le32(record, length - 4) == length;
}

// Whether a record's frame (its length at its start and at its end) stands at an offset.
bool EvtFile::FrameAt(std::uint32_t offset, std::string& scratch, std::string_view& record) {
    std::string_view head;
    if (!View(offset, 4, scratch, head)) return false;
    const std::uint32_t length = Le32(head, 0);
    if (length < kMinRecordSize || length % 4 != 0 || length > m_state.Region() - kEofSize) {
        return false;
    }
    return View(offset, length, scratch, record) && Le32(record, length - 4) == length;
}

void EvtFile::UpdateIndex() {
    const std::uint32_t count = m_state.Count();
    // Keep what is still valid: the oldest record must stand where the index has it.
    const std::uint32_t skip = m_state.oldest - m_firstNumber;
    const bool keep = !m_offsets.empty() && skip <= m_offsets.size() &&
                      (skip < m_offsets.size() ? m_offsets[skip] == m_state.start
                                               : m_nextOffset == m_state.start);
    if (keep) {
        m_offsets.erase(m_offsets.begin(), m_offsets.begin() + skip);
        m_firstNumber = m_state.oldest;
        if (m_offsets.size() > count) m_offsets.resize(count);
    } else {
        m_offsets.clear();
        m_converted.clear();
        m_firstNumber = m_state.oldest;
        m_nextOffset = m_state.start;
        m_indexDamaged = false;
    }
    if (m_state.Empty()) {
        m_offsets.clear();
        m_nextOffset = m_state.start;
        return;
    }
    // Walk the records not yet indexed; the walk can never cover more than the region.
    std::string scratch;
    std::string_view bytes;
    std::uint64_t walked = 0;
    while (m_offsets.size() < count && !m_indexDamaged) {
        const std::uint32_t number = m_firstNumber + static_cast<std::uint32_t>(m_offsets.size());
        if (!RecordAt(m_nextOffset, number, scratch, bytes)) {
            // A writer may leave the end of the region unused when a record did not fit there.
            if (m_nextOffset != kHeaderSize && RecordAt(kHeaderSize, number, scratch, bytes)) {
                m_nextOffset = kHeaderSize;
            } else if (!FrameAt(m_nextOffset, scratch, bytes)) {
                m_indexDamaged = true;
                break;
            }
            // Else a record whose fields are damaged but whose length stands at both its ends:
            // it cannot be read, and the records after it can.
        }
        const auto length = static_cast<std::uint32_t>(bytes.size());
        walked += length;
        if (walked > m_state.Region()) {
            m_indexDamaged = true;
            break;
        }
        m_offsets.push_back(m_nextOffset);
        m_nextOffset = Advance(m_nextOffset, length);
    }
}

bool EvtFile::FindRecord(std::uint32_t number, std::string& scratch, std::string_view& record,
                         std::uint32_t& offset) {
    if (!m_state.Holds(number)) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        UpdateIndex();
        const std::uint32_t index = number - m_firstNumber;
        if (index < m_offsets.size() && RecordAt(m_offsets[index], number, scratch, record)) {
            offset = m_offsets[index];
            return true;
        }
        // The file changed under the index (a cleared and refilled log): index it anew once.
        m_offsets.clear();
        m_converted.clear();
    }
    SetLastError(kErrorEventLogFileCorrupt);
    return false;
}

// Converts a record once and reuses it while its bytes stay the same.
const std::string* EvtFile::Convert(std::uint32_t number, std::uint32_t offset,
                                    std::string_view bytes) {
    const std::uint64_t hash = RecordHash(bytes);
    auto it = m_converted.find(number);
    if (it != m_converted.end() && it->second.offset == offset && it->second.hash == hash) {
        it->second.generation = m_generation;
        return &it->second.ansi;
    }
    std::string ansi;
    if (!AnsiRecordOf(bytes, ansi)) {
        SetLastError(kErrorEventLogFileCorrupt);
        return nullptr;
    }
    if (m_converted.size() >= kConvertedLimit) m_converted.clear();
    Converted& slot = m_converted[number];
    slot = Converted{offset, hash, m_generation, std::move(ansi)};
    return &slot.ansi;
}

const std::string* EvtFile::AnsiLocked(std::uint32_t number) {
    auto known = m_converted.find(number);
    if (known != m_converted.end() && known->second.generation == m_generation) {
        return &known->second.ansi;
    }
    std::string scratch;
    std::string_view bytes;
    std::uint32_t offset = 0;
    if (!FindRecord(number, scratch, bytes, offset)) return nullptr;
    return Convert(number, offset, bytes);
}

const std::string* EvtFile::Ansi(std::uint32_t number) {
    if (Knows(number)) {
        // What the last look at the file left is enough: no system call.
        auto known = m_converted.find(number);
        if (known != m_converted.end() && known->second.generation == m_generation) {
            return &known->second.ansi;
        }
        const std::uint32_t index = number - m_firstNumber;
        std::string_view bytes;
        if (index < m_offsets.size() && ViewCached(m_offsets[index], 12, bytes) &&
            Le32(bytes, 8) == number) {
            const std::uint32_t length = Le32(bytes, 0);
            if (length >= kMinRecordSize && length % 4 == 0 &&
                ViewCached(m_offsets[index], length, bytes) && Le32(bytes, length - 4) == length) {
                return Convert(number, m_offsets[index], bytes);
            }
        }
    }
    Lock lock(*this, LOCK_SH);
    if (!LoadState()) return nullptr;
    return AnsiLocked(number);
}

}  // namespace platform::evt

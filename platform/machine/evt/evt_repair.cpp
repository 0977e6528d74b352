// A log left without its end-of-file record (a writer killed between the record and the record
// that ends the log): its records are found by their frames, the newest unbroken run of them is
// kept, and the header and the end-of-file record are written anew.
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "platform/bytes.h"
#include "platform/errors.h"
#include "platform/machine/evt/evt_file.h"

namespace platform::evt {
namespace {

bool ReadWhole(int fd, std::uint64_t size, std::string& out) {
    out.resize(size);
    for (size_t done = 0; done < size;) {
        const ssize_t n = pread(fd, out.data() + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool EvtFile::Repair(std::uint32_t& kept) {
    kept = 0;
    if (!m_writable) {
        SetLastError(kErrorAccessDenied);
        return false;
    }
    Lock lock(*this, LOCK_EX);
    m_stateKnown = false;
    if (LoadState()) {  // whole: nothing to do
        SetLastError(kErrorSuccess);
        return false;
    }
    if (GetLastError() != kErrorEventLogFileCorrupt) return false;
    struct stat st;
    if (fstat(m_fd, &st) != 0) return FailFromErrno();
    State s;
    s.fileSize = static_cast<std::uint64_t>(st.st_size);
    // Without a header there is nothing to hold the records' region: not a log to mend.
    m_state.fileSize = s.fileSize;
    std::string all;
    if (s.fileSize < kHeaderSize + kEofSize || s.fileSize > 0xFFFFFFFFull ||
        !ReadWhole(m_fd, s.fileSize, all) ||
        !ParseHeader(std::string_view(all).substr(0, kHeaderSize), s.header)) {
        SetLastError(kErrorEventLogFileCorrupt);
        return false;
    }
    const std::uint32_t region = s.Region();
    const std::string_view ring = std::string_view(all).substr(kHeaderSize, region);
    // The bytes of the ring from an offset in it, across its end.
    auto at = [&](std::uint32_t offset, std::uint32_t size) {
        const std::uint32_t from = offset - kHeaderSize;
        if (from + size <= region) return std::string(ring.substr(from, size));
        return std::string(ring.substr(from)) + std::string(ring.substr(0, size - (region - from)));
    };
    // Every frame that is a record: its length at both ends, the signature after the first.
    struct Found {
        std::uint32_t number;
        std::uint32_t length;
    };
    std::map<std::uint32_t, Found> frames;  // by offset
    for (std::uint32_t o = 0; o + 8 <= region; o += 4) {
        if (Le32(ring, o + 4) != kSignature) continue;
        const std::uint32_t length = Le32(ring, o);
        if (length < kMinRecordSize || length % 4 != 0 || length > region - kEofSize) continue;
        const std::uint32_t offset = kHeaderSize + o;
        const std::string bytes = at(offset, length);
        if (Le32(bytes, length - 4) != length) continue;
        frames[offset] = Found{Le32(bytes, 8), length};
    }
    // The newest record no newer than the one an interrupted append was writing, and the run of
    // records before it, each ending where the next begins.
    const std::uint32_t span = s.header.currentNumber - s.header.oldestNumber;
    auto age = [&](std::uint32_t number) { return number - s.header.oldestNumber; };
    const std::pair<const std::uint32_t, Found>* newest = nullptr;
    for (const auto& frame : frames) {
        if (age(frame.second.number) > span) continue;
        if (!newest || age(frame.second.number) > age(newest->second.number)) newest = &frame;
    }
    s.start = s.end = s.header.endOffset >= kHeaderSize && s.header.endOffset < s.fileSize
                          ? s.header.endOffset
                          : kHeaderSize;
    s.current = s.header.currentNumber;
    s.oldest = s.current;
    // A log that has not wrapped grows at its end: the end-of-file record may follow the last
    // record wherever it ends. A wrapped one is a ring of its size.
    const bool wrapped = (s.header.flags & kFlagWrapped) != 0;
    m_state.fileSize = wrapped ? s.fileSize : 0xFFFFFFFFull;
    if (newest) {
        std::uint32_t first = newest->first;
        std::uint32_t number = newest->second.number;
        std::uint32_t used = newest->second.length;
        for (;;) {
            const auto before = std::find_if(frames.begin(), frames.end(), [&](const auto& f) {
                return f.second.number == number - 1 && Advance(f.first, f.second.length) == first;
            });
            if (before == frames.end() ||
                (wrapped && used + before->second.length + kEofSize > region)) {
                break;
            }
            first = before->first;
            number = before->second.number;
            used += before->second.length;
        }
        s.start = first;
        s.oldest = number;
        s.end = Advance(newest->first, newest->second.length);
        s.current = newest->second.number + 1;
        kept = s.current - s.oldest;
    }
    if (!wrapped) s.fileSize = std::max<std::uint64_t>(s.fileSize, s.end + kEofSize);
    NoteLocalWrite();
    m_state = s;
    if (!CommitState(s)) return false;
    m_stateKnown = false;
    return true;
}

}  // namespace platform::evt

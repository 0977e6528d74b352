#include "platform/machine/evtx/evtx_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/evt_format.h"

namespace platform::evtx {
namespace {

constexpr std::uint64_t kAuditFailure = 0x0010000000000000ull;
constexpr std::uint64_t kAuditSuccess = 0x0020000000000000ull;

std::uint32_t UnixTime(std::uint64_t filetime) {
    const std::uint64_t seconds = filetime / 10000000ull;
    return seconds <= 11644473600ull ? 0 : static_cast<std::uint32_t>(seconds - 11644473600ull);
}

std::uint16_t TypeOf(const Event& e) {
    if (e.keywords & kAuditFailure) return kEventAuditFailure;
    if (e.keywords & kAuditSuccess) return kEventAuditSuccess;
    if (e.level == 1 || e.level == 2) return kEventError;
    if (e.level == 3) return kEventWarning;
    return kEventInformation;
}

}  // namespace

std::string AnsiRecordOfEvent(const Event& e) {
    evt::Record r;
    r.number = static_cast<std::uint32_t>(e.recordId);
    r.timeWritten = UnixTime(e.written);
    r.timeGenerated = e.created ? UnixTime(e.created) : r.timeWritten;
    r.eventId = (static_cast<std::uint32_t>(e.qualifiers) << 16) | e.eventId;
    r.type = TypeOf(e);
    r.category = e.task;
    r.source = e.provider;
    r.computer = e.computer;
    r.sid = e.userSid;
    for (const NamedValue& v : e.data) r.strings.push_back(v.text);
    r.data = e.binary;
    if (!e.renderedMessage.empty() || !e.renderedTask.empty()) {
        CarriedTexts carried;
        carried.fallback = true;
        carried.category = Utf16ToSjis(e.renderedTask);
        carried.description = Utf16ToSjis(e.renderedMessage);
        r.data = CarriedTextsData(carried);
    }
    std::string ansi;
    evt::AnsiRecordOf(evt::EncodeRecord(r), ansi);
    return ansi;
}

EvtxFile::~EvtxFile() { CloseFile(); }

void EvtxFile::CloseFile() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

bool EvtxFile::Open(const std::string& path) {
    m_path = path;
    m_identity.clear();
    return Refresh();
}

bool EvtxFile::ReadChunk(size_t chunk, std::string& bytes) const {
    bytes.resize(kChunkSize);
    const off_t at = static_cast<off_t>(kFileHeaderSize + chunk * static_cast<size_t>(kChunkSize));
    return m_fd >= 0 &&
           pread(m_fd, bytes.data(), kChunkSize, at) == static_cast<ssize_t>(kChunkSize);
}

bool EvtxFile::Refresh() {
    struct stat st;
    const std::string native = PathToNative(m_path);
    if (stat(native.c_str(), &st) != 0) {
        if (errno != ENOENT) return FailFromErrno();
        if (!m_identity.empty()) {
            m_identity.clear();
            m_chunks.clear();
            m_kept.clear();
            CloseFile();
            Rebuild();
        }
        return true;
    }
    const std::string identity = std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino) + ':' +
                                 std::to_string(st.st_size) + ':' +
                                 std::to_string(st.st_mtim.tv_sec) + '.' +
                                 std::to_string(st.st_mtim.tv_nsec);
    if (identity == m_identity) return true;
    const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FailFromErrno();
    struct stat opened;
    std::string header(kFileHeaderSize, '\0');
    const ssize_t got = fstat(fd, &opened) == 0 ? pread(fd, header.data(), header.size(), 0) : -1;
    if (got < 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return FailFromErrno();
    }
    const std::uint64_t size = static_cast<std::uint64_t>(opened.st_size);
    if (size < kFileHeaderSize) {
        // A copy that has just begun, not even its header there: what was read before stands,
        // and a first look sees an empty log.
        close(fd);
        m_pending = !m_identity.empty();
        if (m_pending) return true;
        m_chunks.clear();
        m_kept.clear();
        m_warnings.clear();
        m_identity = identity;
        Rebuild();
        return true;
    }
    FileHeader fileHeader;
    if (!ParseFileHeader(header, fileHeader)) {
        close(fd);
        SetLastError(kErrorEventLogFileCorrupt);
        return false;
    }
    // A copy still being written (the header counts more chunks than the file holds, or the last
    // one is cut): what was read before stands until it is whole. The first look takes the
    // chunks that are there.
    const std::uint64_t body = size - kFileHeaderSize;
    const bool partial = body % kChunkSize != 0 || body / kChunkSize < fileHeader.chunkCount;
    if (partial && !m_identity.empty()) {
        close(fd);
        m_pending = true;
        return true;
    }
    m_pending = false;
    CloseFile();
    m_fd = fd;
    m_warnings.clear();
    if (!fileHeader.checksumMatches) m_warnings.push_back("file header checksum mismatch");
    if (fileHeader.flags & kFileDirty) m_warnings.push_back("the file was not closed cleanly");
    // Every chunk the file holds counts, not only those the header knows: a dirty file's header
    // is behind its chunks.
    const size_t chunks = static_cast<size_t>(body / kChunkSize);
    m_chunks.resize(chunks);
    m_kept.remove_if([chunks](const Parsed& p) { return p.chunk >= chunks; });
    std::string head(kChunkHeaderSize, '\0'), bytes;
    for (size_t i = 0; i < chunks; ++i) {
        ChunkInfo& info = m_chunks[i];
        const off_t at = static_cast<off_t>(kFileHeaderSize + i * static_cast<size_t>(kChunkSize));
        // A chunk's header holds its records' checksum: the same header, the same records.
        const std::uint64_t hash =
            pread(m_fd, head.data(), head.size(), at) == static_cast<ssize_t>(head.size())
                ? std::hash<std::string_view>()(head)
                : 0;
        if (!info.read || info.headerHash != hash) {
            info = ChunkInfo();
            info.read = true;
            info.headerHash = hash;
            m_kept.remove_if([i](const Parsed& p) { return p.chunk == i; });
            Parsed parsed;
            parsed.chunk = i;
            if (!ReadChunk(i, bytes) || !ParseChunk(bytes, parsed.records)) {
                parsed.records = Chunk();
                // An unused chunk is all zeros; anything else without a signature is damage.
                if (bytes.find_first_not_of('\0') != std::string::npos)
                    parsed.records.warnings.push_back("chunk without its signature");
            }
            for (const Event& e : parsed.records.events) {
                info.numbers.push_back(static_cast<std::uint32_t>(e.recordId));
            }
            info.warnings = parsed.records.warnings;
            Keep(std::move(parsed));
        }
        for (const std::string& w : info.warnings)
            m_warnings.push_back("chunk " + std::to_string(i) + ": " + w);
    }
    m_identity = identity;
    Rebuild();
    return true;
}

void EvtxFile::Keep(Parsed parsed) {
    m_kept.push_front(std::move(parsed));
    while (m_kept.size() > kCachedChunks) m_kept.pop_back();
}

EvtxFile::Parsed* EvtxFile::Load(size_t chunk) {
    for (auto it = m_kept.begin(); it != m_kept.end(); ++it) {
        if (it->chunk != chunk) continue;
        m_kept.splice(m_kept.begin(), m_kept, it);
        return &m_kept.front();
    }
    // Read again only when it is the chunk the last refresh knew.
    std::string bytes;
    Parsed parsed;
    parsed.chunk = chunk;
    if (chunk >= m_chunks.size() || !ReadChunk(chunk, bytes) ||
        std::hash<std::string_view>()(std::string_view(bytes).substr(0, kChunkHeaderSize)) !=
            m_chunks[chunk].headerHash ||
        !ParseChunk(bytes, parsed.records)) {
        return nullptr;
    }
    Keep(std::move(parsed));
    return &m_kept.front();
}

void EvtxFile::Rebuild() {
    size_t total = 0;
    for (const ChunkInfo& info : m_chunks) total += info.numbers.size();
    m_index.clear();
    m_index.reserve(total);
    for (size_t c = 0; c < m_chunks.size(); ++c) {
        for (std::uint32_t number : m_chunks[c].numbers) {
            m_index.emplace_back(number, static_cast<std::uint32_t>(c));
        }
    }
    // A log written in order is in order already; a wrapped one is sorted once.
    if (!std::is_sorted(m_index.begin(), m_index.end())) std::sort(m_index.begin(), m_index.end());
    // A record found twice (a chunk copied before it was reused) counts once, the newer
    // chunk's: the last of its number.
    size_t kept = 0;
    for (size_t i = 0; i < m_index.size(); ++i) {
        if (i + 1 < m_index.size() && m_index[i + 1].first == m_index[i].first) continue;
        m_index[kept++] = m_index[i];
    }
    m_index.resize(kept);
    m_state = State();
    if (!m_index.empty()) {
        m_state.oldest = m_index.front().first;
        m_state.current = m_index.back().first + 1;
        m_state.count = static_cast<std::uint32_t>(m_index.size());
    }
}

bool EvtxFile::Locate(std::uint32_t number, size_t& chunk, size_t& position) const {
    const auto it =
        std::lower_bound(m_index.begin(), m_index.end(), std::make_pair(number, std::uint32_t{0}));
    if (it == m_index.end() || it->first != number) return false;
    chunk = it->second;
    const std::vector<std::uint32_t>& numbers = m_chunks[chunk].numbers;
    // The last place of the number in its chunk, as the index took the last.
    for (size_t i = numbers.size(); i-- > 0;) {
        if (numbers[i] == number) {
            position = i;
            return true;
        }
    }
    return false;
}

const std::string* EvtxFile::Ansi(std::uint32_t number) {
    size_t chunk = 0, position = 0;
    if (!Locate(number, chunk, position)) return nullptr;
    Parsed* parsed = Load(chunk);
    if (!parsed) return nullptr;
    // The layout ReadEventLog gives, made when a record of the chunk is first asked for.
    if (parsed->ansi.empty()) {
        for (const Event& e : parsed->records.events) parsed->ansi.push_back(AnsiRecordOfEvent(e));
    }
    return position < parsed->ansi.size() ? &parsed->ansi[position] : nullptr;
}

const Event* EvtxFile::EventOf(std::uint32_t number) {
    size_t chunk = 0, position = 0;
    if (!Locate(number, chunk, position)) return nullptr;
    Parsed* parsed = Load(chunk);
    return parsed && position < parsed->records.events.size() ? &parsed->records.events[position]
                                                              : nullptr;
}

std::uint32_t EvtxFile::Next(std::uint32_t number, bool backwards) const {
    const auto key = std::make_pair(number, std::uint32_t{0xFFFFFFFF});
    if (backwards) {
        auto it = std::upper_bound(m_index.begin(), m_index.end(), key);
        if (it == m_index.begin()) return 0;
        return std::prev(it)->first;
    }
    auto it = std::lower_bound(m_index.begin(), m_index.end(), std::make_pair(number, 0u));
    return it == m_index.end() ? 0 : it->first;
}

}  // namespace platform::evtx

#include "platform/machine/evtx/evtx_file.h"

#include <sys/stat.h>

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

bool EvtxFile::Open(const std::string& path) {
    m_path = path;
    m_identity.clear();
    return Refresh();
}

bool EvtxFile::Refresh() {
    struct stat st;
    const std::string native = PathToNative(m_path);
    if (stat(native.c_str(), &st) != 0) {
        if (errno != ENOENT) return FailFromErrno();
        if (!m_identity.empty()) {
            m_identity.clear();
            m_chunks.clear();
            Rebuild();
        }
        return true;
    }
    const std::string identity = std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino) + ':' +
                                 std::to_string(st.st_size) + ':' +
                                 std::to_string(st.st_mtim.tv_sec) + '.' +
                                 std::to_string(st.st_mtim.tv_nsec);
    if (identity == m_identity) return true;
    std::string bytes;
    if (!ReadWholeFile(m_path, bytes)) return false;
    m_warnings.clear();
    FileHeader header;
    if (bytes.size() < kFileHeaderSize) {
        // A copy that has just begun, not even its header there: what was read before stands,
        // and a first look sees an empty log.
        m_pending = !m_identity.empty();
        if (m_pending) return true;
        m_chunks.clear();
        m_identity = identity;
        Rebuild();
        return true;
    }
    if (!ParseFileHeader(bytes, header)) {
        SetLastError(kErrorEventLogFileCorrupt);
        return false;
    }
    // A copy still being written (the header counts more chunks than the file holds, or the last
    // one is cut): what was read before stands until it is whole. The first look takes the
    // chunks that are there.
    const std::uint64_t body = bytes.size() < kFileHeaderSize ? 0 : bytes.size() - kFileHeaderSize;
    const bool partial = body % kChunkSize != 0 || body / kChunkSize < header.chunkCount;
    if (partial && !m_identity.empty()) {
        m_pending = true;
        return true;
    }
    m_pending = false;
    if (!header.checksumMatches) m_warnings.push_back("file header checksum mismatch");
    if (header.flags & kFileDirty) m_warnings.push_back("the file was not closed cleanly");
    // Every chunk the file holds counts, not only those the header knows: a dirty file's header
    // is behind its chunks.
    const size_t chunks =
        bytes.size() < kFileHeaderSize ? 0 : (bytes.size() - kFileHeaderSize) / kChunkSize;
    m_chunks.resize(chunks);
    for (size_t i = 0; i < chunks; ++i) {
        const std::string_view raw =
            std::string_view(bytes).substr(kFileHeaderSize + i * kChunkSize, kChunkSize);
        const std::uint64_t hash = std::hash<std::string_view>()(raw);
        CachedChunk& cached = m_chunks[i];
        if (!cached.read || cached.hash != hash) {
            cached.read = true;
            cached.hash = hash;
            cached.ansi.clear();
            if (!ParseChunk(raw, cached.chunk)) {
                cached.chunk = Chunk();
                // An unused chunk is all zeros; anything else without a signature is damage.
                if (raw.find_first_not_of('\0') != std::string_view::npos)
                    cached.chunk.warnings.push_back("chunk without its signature");
            }
            for (const Event& e : cached.chunk.events) cached.ansi.push_back(AnsiRecordOfEvent(e));
        }
        for (const std::string& w : cached.chunk.warnings)
            m_warnings.push_back("chunk " + std::to_string(i) + ": " + w);
    }
    m_identity = identity;
    Rebuild();
    return true;
}

void EvtxFile::Rebuild() {
    m_index.clear();
    for (size_t c = 0; c < m_chunks.size(); ++c) {
        const auto& events = m_chunks[c].chunk.events;
        for (size_t r = 0; r < events.size(); ++r) {
            // A record found twice (a chunk copied before it was reused) counts once, the
            // newer chunk's.
            m_index[static_cast<std::uint32_t>(events[r].recordId)] = {c, r};
        }
    }
    m_state = State();
    if (!m_index.empty()) {
        m_state.oldest = m_index.begin()->first;
        m_state.current = m_index.rbegin()->first + 1;
        m_state.count = static_cast<std::uint32_t>(m_index.size());
    }
}

const std::string* EvtxFile::Ansi(std::uint32_t number) const {
    auto it = m_index.find(number);
    if (it == m_index.end()) return nullptr;
    return &m_chunks[it->second.first].ansi[it->second.second];
}

const Event* EvtxFile::EventOf(std::uint32_t number) const {
    auto it = m_index.find(number);
    if (it == m_index.end()) return nullptr;
    return &m_chunks[it->second.first].chunk.events[it->second.second];
}

std::uint32_t EvtxFile::Next(std::uint32_t number, bool backwards) const {
    if (backwards) {
        auto it = m_index.upper_bound(number);
        if (it == m_index.begin()) return 0;
        return std::prev(it)->first;
    }
    auto it = m_index.lower_bound(number);
    return it == m_index.end() ? 0 : it->first;
}

}  // namespace platform::evtx

#include "config/datafile.h"

#include <cstring>

#include "platform/errors.h"

namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kWriteChunk = 64 * 1024;

}  // namespace

Datafile::~Datafile() {
    if (IsOpen()) Close();
}

bool Datafile::Open(const std::string& path, Mode mode) {
    if (IsOpen()) Close();
    m_mode = mode;
    m_path = path;
    m_writeFailed = false;
    m_buffer.clear();
    m_bufferPos = 0;
    m_filePos = 0;
    m_pending.clear();
    using platform::File;
    if (mode == Mode::Read) {
        if (!m_file.Open(path, File::Access::Read, File::Disposition::OpenAlways,
                         File::Share::None)) {
            return false;
        }
        m_sizeKnown = m_file.Size(m_fileSize);
        return true;
    }
    // A symbolic link stays a link: the file it names is the one written.
    m_path = platform::FinalPath(path);
    m_inPlace = false;
    // The old file must exist and be writable; it is held, unshared, until the new one
    // replaces it.
    if (!m_original.Open(m_path, File::Access::ReadWrite, File::Disposition::OpenExisting,
                         File::Share::None)) {
        return false;
    }
    const std::string folder = platform::ExtractFilePath(m_path);
    if (!m_file.CreateUnique(folder.empty() ? std::string("./") : folder, ".save-", m_tempPath)) {
        // A folder the user may not create files in: the file is written in place at Close, as
        // the system writes it; the atomic replacement cannot be had there.
        m_inPlace = true;
    }
    return true;
}

void Datafile::Discard() {
    m_file.Close();
    m_original.Close();
    if (!m_tempPath.empty()) {
        platform::DWORD error = platform::GetLastError();
        platform::DeleteFile(m_tempPath);
        platform::SetLastError(error);
        m_tempPath.clear();
    }
}

bool Datafile::Close() {
    if (!IsOpen()) return false;
    if (m_mode == Mode::Read) {
        m_file.Close();
        return true;
    }
    if (m_inPlace) {
        const bool ok = !m_writeFailed && m_original.ReplaceContents(m_pending);
        m_pending.clear();
        m_original.Close();
        return ok;
    }
    bool ok = !m_writeFailed && FlushWrites() && m_file.Sync();
    if (!ok) {
        Discard();
        return false;
    }
    m_file.Close();
    if (!platform::ReplaceFile(m_tempPath, m_path)) {
        Discard();
        return false;
    }
    m_original.Close();
    m_tempPath.clear();
    return true;
}

bool Datafile::ReadBytes(void* out, size_t size) {
    if (!IsOpen() || m_mode != Mode::Read) {
        platform::SetLastError(platform::kErrorInvalidHandle);
        return false;
    }
    auto* dest = static_cast<char*>(out);
    while (size > 0) {
        if (m_bufferPos == m_buffer.size()) {
            m_buffer.resize(kReadChunk);
            size_t got = 0;
            bool ok = m_file.Read(m_buffer.data(), m_buffer.size(), &got);
            m_buffer.resize(got);
            m_bufferPos = 0;
            m_filePos += got;
            if (!ok) return false;
            if (got == 0) {
                platform::SetLastError(platform::kErrorHandleEof);
                return false;
            }
        }
        size_t take = std::min(size, m_buffer.size() - m_bufferPos);
        std::memcpy(dest, m_buffer.data() + m_bufferPos, take);
        m_bufferPos += take;
        dest += take;
        size -= take;
    }
    return true;
}

bool Datafile::ReadShort(std::int16_t& value) {
    unsigned char b[2];
    if (!ReadBytes(b, 2)) return false;
    value = static_cast<std::int16_t>(b[0] | (b[1] << 8));
    return true;
}

bool Datafile::ReadInt(std::int32_t& value) {
    unsigned char b[4];
    if (!ReadBytes(b, 4)) return false;
    value = static_cast<std::int32_t>(static_cast<std::uint32_t>(b[0]) | (b[1] << 8) |
                                      (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24));
    return true;
}

bool Datafile::ReadString(std::string& value) {
    std::int32_t length = 0;
    if (!ReadInt(length)) return false;
    // A length the rest of the file cannot hold is damage; never allocate for it.
    std::uint64_t position = m_filePos - (m_buffer.size() - m_bufferPos);
    if (length < 0 || !m_sizeKnown || static_cast<std::uint64_t>(length) > m_fileSize - position) {
        platform::SetLastError(platform::kErrorHandleEof);
        return false;
    }
    std::string text(static_cast<size_t>(length), '\0');
    if (!ReadBytes(text.data(), text.size())) return false;
    size_t zero = text.find('\0');
    if (zero != std::string::npos) text.resize(zero);
    value = std::move(text);
    return true;
}

bool Datafile::ReadTextList(std::vector<std::string>& lines) {
    std::string text;
    if (!ReadString(text)) return false;
    lines.clear();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
        if (text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
    }
    return true;
}

bool Datafile::FlushWrites() {
    if (m_pending.empty()) return true;
    bool ok = m_file.Write(m_pending.data(), m_pending.size());
    m_pending.clear();
    if (!ok) m_writeFailed = true;
    return ok;
}

bool Datafile::WriteBytes(const void* data, size_t size) {
    if (!IsOpen() || m_mode != Mode::Write) {
        platform::SetLastError(platform::kErrorInvalidHandle);
        return false;
    }
    if (m_writeFailed) return false;
    m_pending.append(static_cast<const char*>(data), size);
    // Written in place, the whole contents go at once when the file closes.
    return m_inPlace || m_pending.size() < kWriteChunk || FlushWrites();
}

bool Datafile::WriteShort(std::int16_t value) {
    auto v = static_cast<std::uint16_t>(value);
    unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    return WriteBytes(b, 2);
}

bool Datafile::WriteInt(std::int32_t value) {
    auto v = static_cast<std::uint32_t>(value);
    unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                          static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    return WriteBytes(b, 4);
}

bool Datafile::WriteString(const std::string& value) {
    if (value.size() > 0x7FFFFFFF) {
        platform::SetLastError(platform::kErrorInvalidParameter);
        m_writeFailed = true;
        return false;
    }
    return WriteInt(static_cast<std::int32_t>(value.size())) &&
           WriteBytes(value.data(), value.size());
}

bool Datafile::WriteTextList(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    return WriteString(text);
}

bool Datafile::AtEnd() {
    if (!IsOpen()) return true;
    if (m_mode == Mode::Write) return true;
    std::uint64_t size = 0;
    if (!m_file.Size(size)) return true;
    std::uint64_t position = m_filePos - (m_buffer.size() - m_bufferPos);
    return position >= size;
}

#include "libs/unlha32/lzh_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lzh {
namespace {

// Archives made on Windows say so; readers take their names as Shift-JIS.
constexpr char kOsId = 'M';

void Le16(std::string& out, std::uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}

void Le32(std::string& out, std::uint32_t v) {
    Le16(out, v & 0xFFFF);
    Le16(out, v >> 16);
}

// An open file that closes itself.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    bool Close() {
        const int fd = m_fd;
        m_fd = -1;
        return fd < 0 || close(fd) == 0;
    }

private:
    int m_fd;
};

bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

ssize_t ReadSome(int fd, void* buffer, size_t size) {
    for (;;) {
        const ssize_t n = read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) return n;
    }
}

// Renames without ever replacing a file that appeared at the target meanwhile.
bool RenameNew(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    if (access(to.c_str(), F_OK) == 0) {
        errno = EEXIST;
        return false;
    }
    return rename(from.c_str(), to.c_str()) == 0;
}

ArchiveResult Failure(ArchiveError error, const std::string& path, int err) {
    return ArchiveResult{error, path, err};
}

// Appends one member at the archive's current end.
ArchiveResult AppendMember(int out, const MemberSource& member, const Lh5Options& options) {
    Fd in(open(member.path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (in.Get() < 0 || fstat(in.Get(), &st) != 0) {
        return Failure(ArchiveError::CannotRead, member.path, errno);
    }
    if (!S_ISREG(st.st_mode)) return Failure(ArchiveError::CannotRead, member.path, EISDIR);
    if (static_cast<std::uint64_t>(st.st_size) >= 0xFFFFFFFFull) {
        return Failure(ArchiveError::TooLarge, member.path, EFBIG);
    }
    const off_t start = lseek(out, 0, SEEK_END);
    if (start < 0) return Failure(ArchiveError::CannotWrite, "", errno);

    MemberHeader header;
    header.name = member.name;
    header.modified = static_cast<std::uint32_t>(st.st_mtime);
    if (!(st.st_mode & S_IWUSR)) header.attributes |= 0x01;  // read-only
    const std::string placeholder = LevelTwoHeader(header);
    if (!WriteAll(out, placeholder.data(), placeholder.size())) {
        return Failure(ArchiveError::CannotWrite, "", errno);
    }

    bool writeFailed = false;
    int writeErrno = 0;
    Lh5Encoder encoder(
        [&](const std::uint8_t* data, size_t size) {
            if (!writeFailed && !WriteAll(out, data, size)) {
                writeFailed = true;
                writeErrno = errno;
            }
        },
        options);
    std::uint64_t original = 0;
    std::uint16_t crc = 0;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ReadSome(in.Get(), buffer.data(), buffer.size());
        if (n < 0) return Failure(ArchiveError::CannotRead, member.path, errno);
        if (n == 0) break;
        original += static_cast<std::uint64_t>(n);
        // A file that grew past the format's limit while it was read.
        if (original >= 0xFFFFFFFFull) return Failure(ArchiveError::TooLarge, member.path, EFBIG);
        crc = Crc16(crc, buffer.data(), static_cast<size_t>(n));
        encoder.Write(buffer.data(), static_cast<size_t>(n));
        if (writeFailed) return Failure(ArchiveError::CannotWrite, "", writeErrno);
    }
    encoder.Finish();
    if (writeFailed) return Failure(ArchiveError::CannotWrite, "", writeErrno);

    header.originalSize = static_cast<std::uint32_t>(original);
    header.crc = crc;
    header.packedSize = static_cast<std::uint32_t>(encoder.OutputSize());
    if (original == 0 || encoder.OutputSize() >= original) {
        // Stored as it is: nothing to gain from the compression.
        std::memcpy(header.method, "-lh0-", 5);
        header.packedSize = header.originalSize;
        if (ftruncate(out, start) != 0 || lseek(out, start, SEEK_SET) < 0) {
            return Failure(ArchiveError::CannotWrite, "", errno);
        }
        const std::string stored = LevelTwoHeader(header);
        if (!WriteAll(out, stored.data(), stored.size()) || lseek(in.Get(), 0, SEEK_SET) < 0) {
            return Failure(ArchiveError::CannotWrite, "", errno);
        }
        std::uint64_t left = original;
        while (left > 0) {
            const ssize_t n =
                ReadSome(in.Get(), buffer.data(),
                         static_cast<size_t>(std::min<std::uint64_t>(left, buffer.size())));
            if (n <= 0) return Failure(ArchiveError::CannotRead, member.path, n < 0 ? errno : EIO);
            if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) {
                return Failure(ArchiveError::CannotWrite, "", errno);
            }
            left -= static_cast<std::uint64_t>(n);
        }
        return ArchiveResult();
    }
    const std::string final = LevelTwoHeader(header);
    if (final.size() != placeholder.size() ||
        pwrite(out, final.data(), final.size(), start) != static_cast<ssize_t>(final.size())) {
        return Failure(ArchiveError::CannotWrite, "", errno);
    }
    return ArchiveResult();
}

}  // namespace

std::string LevelTwoHeader(const MemberHeader& h) {
    std::string out;
    Le16(out, 0);  // the header's size, set below
    out.append(h.method, 5);
    Le32(out, h.packedSize);
    Le32(out, h.originalSize);
    Le32(out, h.modified);
    out += '\x20';
    out += '\x02';  // level
    Le16(out, h.crc);
    out += kOsId;
    // Extended headers, each followed by the size of the next: the header CRC, the name, the
    // MS-DOS attributes, the name's code page.
    Le16(out, 5);
    const size_t crcAt = out.size() + 1;
    out += '\x00';
    Le16(out, 0);
    Le16(out, static_cast<std::uint32_t>(3 + h.name.size()));
    out += '\x01';
    out += h.name;
    Le16(out, 5);
    out += '\x40';
    Le16(out, h.attributes);
    // The code page of the name, so that readers need not guess it.
    Le16(out, 7);
    out += '\x46';
    Le32(out, 932);
    Le16(out, 0);
    // A size whose low byte is 0 would read as the end of the archive.
    if ((out.size() & 0xFF) == 0) out += '\0';
    out[0] = static_cast<char>(out.size() & 0xFF);
    out[1] = static_cast<char>((out.size() >> 8) & 0xFF);
    const std::uint16_t crc = Crc16(0, out.data(), out.size());
    out[crcAt] = static_cast<char>(crc & 0xFF);
    out[crcAt + 1] = static_cast<char>(crc >> 8);
    return out;
}

ArchiveResult WriteArchive(const std::string& path, const std::vector<MemberSource>& members,
                           const Lh5Options& options) {
    const std::string temporary = path + ".part";
    Fd out(open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.Get() < 0) return Failure(ArchiveError::CannotWrite, path, errno);
    ArchiveResult result;
    for (const MemberSource& member : members) {
        if (member.name.size() > 60000) {
            result = Failure(ArchiveError::CannotRead, member.path, ENAMETOOLONG);
            break;
        }
        result = AppendMember(out.Get(), member, options);
        if (result.error != ArchiveError::None) break;
    }
    if (result.error == ArchiveError::None) {
        const char end = 0;
        if (lseek(out.Get(), 0, SEEK_END) < 0 || !WriteAll(out.Get(), &end, 1) ||
            fsync(out.Get()) != 0 || !out.Close() || !RenameNew(temporary, path)) {
            result = Failure(ArchiveError::CannotWrite, path, errno);
        }
    }
    if (result.error != ArchiveError::None) {
        if (result.error == ArchiveError::CannotWrite && result.path.empty()) result.path = path;
        unlink(temporary.c_str());
    }
    return result;
}

}  // namespace lzh

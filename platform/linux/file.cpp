// An open file (the File of files.h): sharing emulated with advisory locks, new files the user's
// alone.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/codepage.h"
#include "platform/freshness.h"

namespace platform {

namespace {

std::string Native(const std::string& path) { return PathToNative(path); }

}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool File::Open(const std::string& path, Access access, Disposition disposition, Share share) {
    Close();
    if (access != Access::Read || disposition != Disposition::OpenExisting)
        NoteLocalMachineChange();
    int flags = O_CLOEXEC;
    switch (access) {
        case Access::Read: flags |= O_RDONLY; break;
        case Access::Write: flags |= O_WRONLY; break;
        case Access::ReadWrite: flags |= O_RDWR; break;
    }
    switch (disposition) {
        case Disposition::OpenExisting: break;
        case Disposition::OpenAlways: flags |= O_CREAT; break;
        case Disposition::CreateAlways: flags |= O_CREAT; break;
        case Disposition::TruncateExisting: break;
        case Disposition::OwnFile: flags |= O_CREAT | O_NOFOLLOW; break;
    }
    // New files are the user's alone, whatever the umask: they hold what runs and who is told.
    int fd = open(Native(path).c_str(), flags, 0600);
    if (fd < 0) {
        if (errno == ELOOP && disposition == Disposition::OwnFile) {
            SetLastError(kErrorAccessDenied);
            return false;
        }
        return FailFromErrno();
    }
    struct stat st;
    const bool stated = fstat(fd, &st) == 0;
    if ((stated && S_ISDIR(st.st_mode)) ||
        (disposition == Disposition::OwnFile &&
         (!stated || !S_ISREG(st.st_mode) || st.st_uid != geteuid()))) {
        close(fd);
        SetLastError(kErrorAccessDenied);
        return false;
    }
    // Sharing is emulated with advisory locks, which every opener of ours takes.
    int lock = (share == Share::None) ? LOCK_EX : LOCK_SH;
    if (flock(fd, lock | LOCK_NB) != 0) {
        close(fd);
        SetLastError(kErrorSharingViolation);
        return false;
    }
    // Truncate only once the lock is ours, so a refused opener never destroys the file.
    bool truncate =
        disposition == Disposition::CreateAlways || disposition == Disposition::TruncateExisting;
    if (truncate && ftruncate(fd, 0) != 0) {
        FailFromErrno();
        close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

bool File::CreateUnique(const std::string& folder, const std::string& prefix, std::string& path) {
    Close();
    NoteLocalMachineChange();
    std::string templ = Native(folder + prefix) + "XXXXXX";
    int fd = mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0) return FailFromErrno();
    flock(fd, LOCK_EX | LOCK_NB);
    m_fd = fd;
    path = NativeToPath(templ);
    return true;
}

void File::Close() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

bool File::Read(void* buffer, size_t size, size_t* read) {
    *read = 0;
    if (m_fd < 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    auto* out = static_cast<char*>(buffer);
    while (*read < size) {
        ssize_t n = ::read(m_fd, out + *read, size - *read);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return FailFromErrno();
        }
        *read += static_cast<size_t>(n);
    }
    return true;
}

bool File::Write(const void* buffer, size_t size, size_t* written) {
    size_t done = 0;
    if (written) *written = 0;
    if (m_fd < 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    const auto* in = static_cast<const char*>(buffer);
    while (done < size) {
        ssize_t n = ::write(m_fd, in + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (written) *written = done;
            return FailFromErrno();
        }
        done += static_cast<size_t>(n);
    }
    if (written) *written = done;
    return true;
}

bool File::SeekToEnd() {
    if (m_fd < 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return lseek(m_fd, 0, SEEK_END) >= 0 || FailFromErrno();
}

bool File::Position(std::uint64_t& position) const {
    off_t p = m_fd < 0 ? -1 : lseek(m_fd, 0, SEEK_CUR);
    if (p < 0) return m_fd < 0 ? (SetLastError(kErrorInvalidHandle), false) : FailFromErrno();
    position = static_cast<std::uint64_t>(p);
    return true;
}

bool File::Size(std::uint64_t& size) const {
    struct stat st;
    if (m_fd < 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (fstat(m_fd, &st) != 0) return FailFromErrno();
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool File::ReplaceContents(std::string_view bytes) {
    if (m_fd < 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    // Written over the old bytes first and cut only then: a kill or a full disk on the way
    // never leaves the file shorter than it was, nor empty.
    if (lseek(m_fd, 0, SEEK_SET) < 0) return FailFromErrno();
    if (!Write(bytes.data(), bytes.size()) || !Sync()) return false;
    if (ftruncate(m_fd, static_cast<off_t>(bytes.size())) != 0) return FailFromErrno();
    return Sync();
}

bool File::Sync() {
    if (m_fd < 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return fdatasync(m_fd) == 0 || FailFromErrno();
}

}  // namespace platform

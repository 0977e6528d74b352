#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/freshness.h"
#include "platform/linux/file_names.h"

namespace platform {
namespace {

std::string g_executableDirectory;

std::string Native(const std::string& path) { return PathToNative(path); }

std::int64_t ToFileTime(const struct timespec& ts) {
    constexpr std::int64_t kEpochDifference = 11644473600LL;  // 1601 -> 1970, seconds
    return (static_cast<std::int64_t>(ts.tv_sec) + kEpochDifference) * 10000000LL +
           ts.tv_nsec / 100;
}

DWORD AttributesOf(const struct stat& st, const std::string& name) {
    // Pipes, sockets and devices are no files a Windows program could read to the end.
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) return kAttributeDevice;
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode)) attributes |= kAttributeDirectory;
    if (!(st.st_mode & S_IWUSR)) attributes |= kAttributeReadOnly;
    if (!name.empty() && name[0] == '.') attributes |= kAttributeHidden;
    if (S_ISREG(st.st_mode)) attributes |= kAttributeArchive;
    return attributes;
}

}  // namespace

bool FindFiles(const std::string& pattern, std::vector<FindData>& found) {
    found.clear();
    std::string folder = ExtractFilePath(pattern);
    std::string namePattern = pattern.substr(folder.size());
    std::string nativeFolder = folder.empty() ? std::string(".") : Native(folder);
    DIR* dir = opendir(nativeFolder.c_str());
    if (!dir) {
        SetLastError(errno == ENOENT ? kErrorPathNotFound : ErrorFromErrno(errno));
        return false;
    }
    while (struct dirent* entry = readdir(dir)) {
        std::string nativeName = entry->d_name;
        if (nativeName == "." || nativeName == "..") continue;
        std::string name = NativeToPath(nativeName);
        if (!WildcardMatch(namePattern, name)) continue;
        struct stat st;
        if (fstatat(dirfd(dir), entry->d_name, &st, 0) != 0) continue;
        FindData data;
        data.name = name;
        data.attributes = AttributesOf(st, nativeName);
        struct stat link;
        if ((entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) &&
            fstatat(dirfd(dir), entry->d_name, &link, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(link.st_mode)) {
            data.attributes |= kAttributeReparsePoint;
        }
        data.writeTime = ToFileTime(st.st_mtim);
        data.size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
        found.push_back(std::move(data));
    }
    closedir(dir);
    if (found.empty()) {
        SetLastError(kErrorFileNotFound);
        return false;
    }
    return true;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(Native(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string FilesStamp(const std::vector<std::string>& paths) {
    std::string stamp;
    for (const std::string& path : paths) {
        struct stat st;
        if (stat(Native(path).c_str(), &st) == 0) {
            stamp += std::to_string(st.st_ino) + ':' + std::to_string(st.st_size) + ':' +
                     std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec);
        } else {
            stamp += '-';
        }
        stamp += ';';
    }
    return stamp;
}

bool GetFileSize(const std::string& path, std::uint64_t& size) {
    struct stat st;
    if (stat(Native(path).c_str(), &st) != 0) return FailFromErrno();
    if (S_ISDIR(st.st_mode)) {
        SetLastError(kErrorAccessDenied);
        return false;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool DirectoryExists(const std::string& path) {
    struct stat st;
    return stat(Native(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDirectory(const std::string& path) {
    NoteLocalMachineChange();
    if (mkdir(Native(path).c_str(), 0700) != 0) {
        SetLastError(errno == EEXIST ? kErrorAlreadyExists : ErrorFromErrno(errno));
        return false;
    }
    return true;
}

bool ForceDirectories(const std::string& path) {
    NoteLocalMachineChange();
    std::string native = Native(path);
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    if (native.empty()) {
        SetLastError(kErrorInvalidName);
        return false;
    }
    struct stat st;
    if (stat(native.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        SetLastError(kErrorAlreadyExists);
        return false;
    }
    for (size_t slash = native.find('/', 1);; slash = native.find('/', slash + 1)) {
        std::string part = native.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return FailFromErrno();
        if (slash == std::string::npos) break;
    }
    if (stat(native.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(kErrorPathNotFound);
        return false;
    }
    return true;
}

bool RemoveDirectory(const std::string& path) {
    NoteLocalMachineChange();
    return rmdir(Native(path).c_str()) == 0 || FailFromErrno();
}

bool DeleteFile(const std::string& path) {
    NoteLocalMachineChange();
    std::string native = Native(path);
    struct stat st;
    // A read-only file refuses, as on Windows, even to root, who could unlink anything.
    if (lstat(native.c_str(), &st) == 0 &&
        (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)))) {
        SetLastError(kErrorAccessDenied);
        return false;
    }
    return unlink(native.c_str()) == 0 || FailFromErrno();
}

namespace {

// Copies what the open descriptor reads into a new file (or one truncated), private to the user,
// with the source's times; takes the descriptor.
bool CopyFromDescriptor(int in, const struct stat& st, const std::string& to, bool failIfExists) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
    int out = open(Native(to).c_str(), flags, 0600);
    if (out < 0) {
        SetLastError(errno == EEXIST ? kErrorFileExists : ErrorFromErrno(errno));
        close(in);
        return false;
    }
    char buffer[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = FailFromErrno();
            break;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                ok = FailFromErrno();
                break;
            }
            done += w;
        }
        if (!ok) break;
    }
    if (ok) {
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(out, times);
    }
    if (close(out) != 0 && ok) ok = FailFromErrno();
    close(in);
    if (!ok) unlink(Native(to).c_str());
    return ok;
}

}  // namespace

bool CopyFile(const std::string& from, const std::string& to, bool failIfExists) {
    NoteLocalMachineChange();
    int in = open(Native(from).c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return FailFromErrno();
    struct stat st;
    if (fstat(in, &st) != 0) {
        FailFromErrno();
        close(in);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        SetLastError(kErrorAccessDenied);
        close(in);
        return false;
    }
    return CopyFromDescriptor(in, st, to, failIfExists);
}

bool CopyFileNoFollow(const std::string& folder, const std::string& name, const std::string& to,
                      bool& notPlain) {
    notPlain = false;
    NoteLocalMachineChange();
    const int dir = open(Native(folder.empty() ? std::string(".") : folder).c_str(),
                         O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return FailFromErrno();
    // Opened once, its last step never through a link, and without waiting on a FIFO: what is
    // read is what was checked, whatever is renamed meanwhile.
    const int in = openat(dir, Native(name).c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const int openError = errno;
    close(dir);
    if (in < 0) {
        if (openError == ELOOP) {
            notPlain = true;
            SetLastError(kErrorAccessDenied);
            return false;
        }
        SetLastError(ErrorFromErrno(openError));
        return false;
    }
    struct stat st;
    if (fstat(in, &st) != 0) {
        FailFromErrno();
        close(in);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        notPlain = true;
        SetLastError(kErrorAccessDenied);
        close(in);
        return false;
    }
    const int flags = fcntl(in, F_GETFL);
    if (flags >= 0) fcntl(in, F_SETFL, flags & ~O_NONBLOCK);
    return CopyFromDescriptor(in, st, to, true);
}

bool CreateUniqueFolder(const std::string& parent, const std::string& prefix,
                        const std::string& suffix, std::string& folder) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[6];
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            return FailFromErrno();
        }
        std::string name = prefix;
        for (unsigned char b : random) name += StringPrintf("%02X", b);
        const std::string path = parent + name + suffix;
        if (mkdir(Native(path).c_str(), 0700) == 0) {
            folder = path;
            return true;
        }
        if (errno != EEXIST) return FailFromErrno();
    }
    SetLastError(kErrorFileExists);
    return false;
}

std::string CopyAsDamaged(const std::string& path) {
    const SystemTime t = GetLocalTime();
    const std::string copy = path + StringPrintf(".bad-%04d%02d%02d%02d%02d%02d", t.year, t.month,
                                                 t.day, t.hour, t.minute, t.second);
    return CopyFile(path, copy, true) ? copy : std::string();
}

std::string FinalPath(const std::string& path) {
    std::string native = Native(path);
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st;
        if (lstat(native.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        char target[PATH_MAX];
        const ssize_t n = readlink(native.c_str(), target, sizeof target - 1);
        if (n <= 0) break;
        std::string next(target, static_cast<size_t>(n));
        // A relative target is relative to the link's own folder.
        if (next[0] != '/') {
            const size_t slash = native.rfind('/');
            next =
                (slash == std::string::npos ? std::string() : native.substr(0, slash + 1)) + next;
        }
        native = next;
    }
    return NativeToPath(native);
}

bool CreatePrivateFile(const std::string& path) {
    NoteLocalMachineChange();
    const int fd = open(Native(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return FailFromErrno();
    close(fd);
    return true;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
    NoteLocalMachineChange();
    std::string nativeFrom = Native(from);
    std::string nativeTo = Native(to);
    // The file keeps the permissions it had; a new one is the user's alone.
    struct stat st;
    const mode_t mode = stat(nativeTo.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0600;
    chmod(nativeFrom.c_str(), mode);
    return rename(nativeFrom.c_str(), nativeTo.c_str()) == 0 || FailFromErrno();
}

bool RenameFile(const std::string& from, const std::string& to) {
    NoteLocalMachineChange();
    return rename(Native(from).c_str(), Native(to).c_str()) == 0 || FailFromErrno();
}

bool SyncFolder(const std::string& folder) {
    const int fd = open(Native(folder.empty() ? std::string("./") : folder).c_str(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return FailFromErrno();
    const bool synced = fsync(fd) == 0 || FailFromErrno();
    close(fd);
    return synced;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    File file;
    if (!file.Open(path, File::Access::Read, File::Disposition::OpenExisting, File::Share::Read)) {
        return false;
    }
    std::uint64_t size = 0;
    std::string out;
    if (file.Size(size)) out.reserve(static_cast<size_t>(size));
    char buffer[65536];
    for (;;) {
        size_t got = 0;
        if (!file.Read(buffer, sizeof buffer, &got)) return false;
        if (got == 0) break;
        out.append(buffer, got);
    }
    bytes = std::move(out);
    return true;
}

bool WriteWholeFile(const std::string& path, std::string_view bytes) {
    File file;
    return file.Open(path, File::Access::Write, File::Disposition::CreateAlways,
                     File::Share::None) &&
           file.Write(bytes.data(), bytes.size());
}

bool WritePrivateFileAtomically(const std::string& path, std::string_view bytes,
                                bool replaceExisting) {
    std::string folder = ExtractFilePath(path);
    File file;
    std::string temp;
    if (!file.CreateUnique(folder.empty() ? std::string("./") : folder, ".new-", temp)) {
        return false;
    }
    if (!file.Write(bytes.data(), bytes.size()) || !file.Sync()) {
        const DWORD error = GetLastError();
        file.Close();
        unlink(Native(temp).c_str());
        SetLastError(error);
        return false;
    }
    file.Close();
    const std::string from = Native(temp), to = Native(path);
    const bool placed = replaceExisting ? rename(from.c_str(), to.c_str()) == 0
                                        : link(from.c_str(), to.c_str()) == 0;
    if (!placed) FailFromErrno();
    const DWORD error = GetLastError();
    if (!placed || !replaceExisting) unlink(from.c_str());
    SetLastError(error);
    return placed;
}

std::string GetTempPath() {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = (tmp && *tmp) ? tmp : "/tmp";
    if (folder.back() != '/') folder += '/';
    return NativeToPath(folder);
}

const std::string& ExecutableDirectory() {
    if (!g_executableDirectory.empty()) return g_executableDirectory;
    // The executable does not move while it runs: looked up once.
    static const std::string real = [] {
        char buffer[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (n <= 0) return std::string("./");
        return ExtractFilePath(NativeToPath(std::string(buffer, static_cast<size_t>(n))));
    }();
    return real;
}

void SetExecutableDirectory(const std::string& folder) {
    g_executableDirectory = folder;
    if (!g_executableDirectory.empty() && g_executableDirectory.back() != '/') {
        g_executableDirectory += '/';
    }
}

bool ExecutableDirectorySet() { return !g_executableDirectory.empty(); }

std::string ExtractFilePath(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool GetTempFileName(const std::string& folder, const std::string& prefix, unsigned unique,
                     std::string& path) {
    std::string base = folder;
    if (!base.empty() && base.back() != '/') base += '/';
    base += prefix.substr(0, 3);
    char number[16];
    if (unique != 0) {
        std::snprintf(number, sizeof number, "%X.tmp", unique & 0xFFFF);
        path = base + number;
        return true;
    }
    // Like the system: a 16-bit number that starts somewhere new and counts up to a free name.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned start = static_cast<unsigned>(now.tv_nsec / 1000 ^ now.tv_sec ^ getpid()) & 0xFFFF;
    NoteLocalMachineChange();
    for (unsigned i = 0; i < 0x10000; ++i) {
        const unsigned value = (start + i) & 0xFFFF;
        if (value == 0) continue;
        std::snprintf(number, sizeof number, "%X.tmp", value);
        const std::string candidate = base + number;
        const int fd =
            open(Native(candidate).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);
            path = candidate;
            return true;
        }
        if (errno != EEXIST) return FailFromErrno();
    }
    SetLastError(kErrorFileExists);
    return false;
}

bool CreatePrivateDirectory(const std::string& path) {
    NoteLocalMachineChange();
    if (mkdir(Native(path).c_str(), 0700) != 0) {
        SetLastError(errno == EEXIST ? kErrorAlreadyExists : ErrorFromErrno(errno));
        return false;
    }
    return true;
}

bool FilePermissions(const std::string& path, unsigned& mode) {
    struct stat st;
    if (stat(Native(path).c_str(), &st) != 0) return FailFromErrno();
    mode = st.st_mode & 07777;
    return true;
}

std::string RealPath(const std::string& path) {
    char* resolved = realpath(Native(path).c_str(), nullptr);
    if (!resolved) return std::string();
    std::string out = NativeToPath(resolved);
    free(resolved);
    return out;
}

int RemoveStaleTemporaries(const std::string& folder) {
    DIR* dir = opendir(Native(folder.empty() ? std::string("./") : folder).c_str());
    if (!dir) return 0;
    int removed = 0;
    while (struct dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        bool temporary = false;
        for (std::string_view prefix : {".profile-", ".save-", ".new-"}) {
            temporary = temporary || (name.size() == prefix.size() + 6 && name.starts_with(prefix));
        }
        if (!temporary) continue;
        // A write under way holds its file locked (CreateUnique); a killed one holds nothing.
        const int fd = openat(dirfd(dir), entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            unlinkat(dirfd(dir), entry->d_name, 0) == 0) {
            ++removed;
        }
        close(fd);
    }
    closedir(dir);
    return removed;
}

}  // namespace platform

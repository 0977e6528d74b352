#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

// Files and folders. Paths are CP932 texts, as the program holds them; they are converted to
// the file system's UTF-8 here. Failures set the last error.
namespace platform {

enum FileAttribute : DWORD {
    kAttributeReadOnly = 0x01,
    kAttributeHidden = 0x02,
    kAttributeDirectory = 0x10,
    kAttributeArchive = 0x20,
    kAttributeDevice = 0x40,  // a pipe, socket or device: no file to copy
    kAttributeNormal = 0x80,
    kAttributeReparsePoint = 0x400,  // a symbolic link; the other bits tell what it points to
};

struct FindData {
    std::string name;  // name only, no folder
    DWORD attributes = 0;
    std::int64_t writeTime = 0;  // last write, in 100 ns units since 1601-01-01 UTC
    std::uint64_t size = 0;
};

// Lists the entries of a folder whose names match the pattern's last component ('*' and '?' as
// Windows matches them: "*.*" takes every name, "*." those without a dot; case ignored), "." and
// ".." left out, in the folder's own order. False with error 2 when nothing matches, 3 when the
// folder does not exist.
bool FindFiles(const std::string& pattern, std::vector<FindData>& found);

// True when the path names an existing file (not a folder).
bool FileExists(const std::string& path);

// The size of an existing file (a link followed); false with the error when there is none.
// What the files are now (which file, its size, its last write): two stamps differ when one of
// them was written, replaced, made or removed in between.
std::string FilesStamp(const std::vector<std::string>& paths);
bool GetFileSize(const std::string& path, std::uint64_t& size);

// True when the path names an existing folder.
bool DirectoryExists(const std::string& path);

// Makes one folder; its parent must exist.
bool CreateDirectory(const std::string& path);

// Makes a folder with every missing parent; true when it exists afterwards.
bool ForceDirectories(const std::string& path);

// Removes an empty folder.
bool RemoveDirectory(const std::string& path);

// Deletes a file. A read-only file (no write permission for its owner) is refused with error 5.
bool DeleteFile(const std::string& path);

// Copies a file with its contents and write time; with failIfExists, an existing target is
// error 80 and stays untouched.
bool CopyFile(const std::string& from, const std::string& to, bool failIfExists);
// Copies the regular file name of folder to a new private file, opening it once without
// following a link in its last step (and without blocking on a FIFO); a link or anything but a
// regular file fails with error 5 and notPlain set.
bool CopyFileNoFollow(const std::string& folder, const std::string& name, const std::string& to,
                      bool& notPlain);
// Makes a new folder, private to the user, named prefix + 12 random hexadecimal digits + suffix
// in parent (with its trailing separator); its path, without a trailing separator.
bool CreateUniqueFolder(const std::string& parent, const std::string& prefix,
                        const std::string& suffix, std::string& folder);
// Copies a file found damaged beside itself as "<name>.bad-YYYYMMDDhhmmss" (local time), private
// to the user, before anything replaces it; the copy's path, or empty (with the last error).
std::string CopyAsDamaged(const std::string& path);

// A file name other systems take as one name in one folder: a separator, drive colon, wildcard,
// quote or control character (each a character of its own, never the second byte of a
// double-byte one), and a character code page 932 cannot carry, becomes '_'; a name of dots
// alone becomes underscores.
std::string PortableFileName(std::string_view name);

// The permission bits of a file (0644, say); false when it cannot be examined.
bool FilePermissions(const std::string& path, unsigned& mode);

// The path with every symbolic link and "." or ".." resolved, absolute; empty when some part
// of it does not exist.
std::string RealPath(const std::string& path);

// The file a path names in the end: symbolic links followed, however many (a dangling link gives
// the path it points to); the path itself when it is no link.
std::string FinalPath(const std::string& path);

// Creates an empty file that only its owner may read and write; true when it was created.
bool CreatePrivateFile(const std::string& path);

// Renames a file over another in the same folder, replacing it in one step.
bool ReplaceFile(const std::string& from, const std::string& to);

// Renames a file within its folder, replacing one of the new name; it keeps its permissions.
bool RenameFile(const std::string& from, const std::string& to);

// Deletes the temporary files (".profile-*", ".save-*", ".new-*") that writes in the folder left
// when the program was killed; one that a running write holds is left alone. How many it
// deleted.
int RemoveStaleTemporaries(const std::string& folder);

// Makes the folder's entries (names created, renamed or removed in it) reach the disk.
bool SyncFolder(const std::string& folder);

// The whole contents of a file; false (with the last error) when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& bytes);

// Creates or truncates a file and writes the bytes.
bool WriteWholeFile(const std::string& path, std::string_view bytes);

// Writes a whole file in one step: a new file beside it, readable by its owner only, reaches
// the disk and then takes the name, so that a reader sees the old contents or the new ones.
// Without replaceExisting, a file already there is left alone and the call fails with error 80.
bool WritePrivateFileAtomically(const std::string& path, std::string_view bytes,
                                bool replaceExisting = true);

// The system's temporary folder with its trailing separator.
std::string GetTempPath();

// A temporary file name in the folder: the prefix's first three characters, a hexadecimal number
// and ".tmp". With unique 0 the number is chosen so that the name is new, and the empty file is
// created; otherwise the name is made from unique and nothing is created.
bool GetTempFileName(const std::string& folder, const std::string& prefix, unsigned unique,
                     std::string& path);

// Makes one folder that only its owner may enter.
bool CreatePrivateDirectory(const std::string& path);

// The folder of the running executable with its trailing separator.
const std::string& ExecutableDirectory();

// Makes ExecutableDirectory answer the given folder (tests); an empty text restores the real one.
void SetExecutableDirectory(const std::string& folder);

// True while SetExecutableDirectory has a folder in place.
bool ExecutableDirectorySet();

// The folder part of a path, with its trailing separator; empty when there is none.
std::string ExtractFilePath(const std::string& path);

// An open file. Movable, closes itself.
class File {
public:
    enum class Access { Read, Write, ReadWrite };
    enum class Disposition {
        OpenExisting,      // fails with error 2 when missing
        OpenAlways,        // creates when missing
        CreateAlways,      // creates or truncates
        OwnFile,           // opens or creates one of this user's, never through a link
        TruncateExisting,  // fails with error 2 when missing, else truncates
    };
    enum class Share { None, Read };

    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens as CreateFile does. Share::None fails with error 32 while another opener holds the
    // file; Share::Read lets others read.
    bool Open(const std::string& path, Access access, Disposition disposition, Share share);

    // Creates a new file with a unique name in the folder (with its trailing separator) for
    // writing; its path is returned.
    bool CreateUnique(const std::string& folder, const std::string& prefix, std::string& path);

    bool IsOpen() const { return m_fd >= 0; }
    void Close();

    // Reads up to size bytes; *read is what arrived, 0 at the end of the file.
    bool Read(void* buffer, size_t size, size_t* read);
    // Writes every byte or fails; *written is what reached the file.
    bool Write(const void* buffer, size_t size, size_t* written = nullptr);
    bool SeekToEnd();
    bool Position(std::uint64_t& position) const;
    bool Size(std::uint64_t& size) const;
    // Makes the data reach the disk.
    bool Sync();
    // Makes the bytes the whole contents of the file (written in place from its start, the file
    // cut after them, the data on the disk): for a file that cannot be replaced.
    bool ReplaceContents(std::string_view bytes);

private:
    int m_fd = -1;
};

}  // namespace platform

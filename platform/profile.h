#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Profile (INI) files, read and written by the rules of the Windows profile functions, on CP932
// bytes: section and key names without regard to the case of ASCII letters, blanks and tabs
// around names and values ignored, one pair of matching quotes around a value removed, the
// first of duplicated sections and keys counting, CR LF, LF and CR line ends alike. A file in
// UTF-16LE with its byte order mark (as Notepad saves one) is read too, and written back so.
// Reads keep what they found while the file stays the same, so many keys cost one read.
namespace platform {

// The value of a key read into a buffer of bufferSize bytes: at most bufferSize - 1 bytes,
// never half a double-byte character; the default when the file, section or key is missing.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, size_t bufferSize,
                                    const std::string& path);

// The decimal number at the start of a key's value (sign allowed, 32-bit wrap-around), 0 when
// the value does not start with one; the default when the key is missing or its value empty.
std::uint32_t GetPrivateProfileInt(const std::string& section, const std::string& key,
                                   std::int32_t defaultValue, const std::string& path);

struct ProfileValue {
    std::string section, key, value;
};

// Sets the values in one replacement of the file, each as WritePrivateProfileString does: the
// file on the disk is the old one or the new one, never a mix.
bool WritePrivateProfileStrings(const std::vector<ProfileValue>& values, const std::string& path);

// Sets a key's value. Creates the file, appends a new key at the end of its section and a new
// section at the end of the file, replaces an existing value in place, and leaves every other
// byte of the file as it was. The file is replaced in one step, so a failed write leaves it
// whole.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path);

}  // namespace platform

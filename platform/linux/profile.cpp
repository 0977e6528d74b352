#include "platform/profile.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace platform {
namespace {

bool NamesEqual(std::string_view a, std::string_view b) { return EqualsNoCase(a, b); }

struct Line {
    size_t begin;  // first byte
    size_t end;    // one past the last byte before the line break
    size_t next;   // first byte of the next line
};

std::vector<Line> SplitLines(const std::string& text) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = pos;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
        size_t next = end;
        if (next < text.size() && text[next] == '\r') ++next;
        if (next < text.size() && text[next] == '\n' && (next == end || text[end] == '\r')) {
            ++next;
        }
        lines.push_back({pos, end, next});
        pos = next;
    }
    return lines;
}

enum class LineKind { Blank, Section, Key, Other };

struct ParsedLine {
    LineKind kind = LineKind::Blank;
    std::string_view name;  // section or key name, trimmed
    size_t valueBegin = 0;  // key lines: first byte after '='
};

ParsedLine ParseLine(const std::string& text, const Line& line) {
    ParsedLine parsed;
    std::string_view content(text.data() + line.begin, line.end - line.begin);
    std::string_view trimmed = TrimBlanks(content);
    if (trimmed.empty()) return parsed;
    if (trimmed.front() == '[') {
        size_t close = trimmed.rfind(']');
        if (close == std::string_view::npos || close == 0) {
            parsed.kind = LineKind::Other;
            return parsed;
        }
        parsed.kind = LineKind::Section;
        parsed.name = TrimBlanks(trimmed.substr(1, close - 1));
        return parsed;
    }
    // A line without '=' is no key: the system's profile functions pass over it.
    const size_t equals = content.find('=');  // '=' is never a trail byte
    if (equals == std::string_view::npos) {
        parsed.kind = LineKind::Other;
        return parsed;
    }
    parsed.kind = LineKind::Key;
    parsed.name = TrimBlanks(content.substr(0, equals));
    parsed.valueBegin = line.begin + equals + 1;
    return parsed;
}

// A profile file as Notepad may save one: UTF-16LE behind its byte order mark. Read as CP932
// text, and written back in the encoding it came in.
constexpr char kUtf16Bom[] = "\xFF\xFE";

bool IsUtf16(const std::string& bytes) { return bytes.compare(0, 2, kUtf16Bom, 2) == 0; }

std::string Decode(const std::string& bytes) {
    if (!IsUtf16(bytes)) return bytes;
    return Utf16ToSjis(Utf16FromBytes(std::string_view(bytes).substr(2)));
}

std::string Encode(const std::string& text, bool utf16) {
    if (!utf16) return text;
    return std::string(kUtf16Bom, 2) + Utf16ToBytes(SjisToUtf16(text));
}

// What a read found, kept while the file stays the same: a file of a few megabytes is read once
// for all its keys, not once for each.
struct Snapshot {
    bool exists = false;
    struct stat st {};
    // The first section of each name, by its name in upper case, with the first of each of its
    // keys the same way: values trimmed, quotes removed.
    std::unordered_map<std::string, std::unordered_map<std::string, std::string>> sections;
};

std::mutex g_snapshotMutex;
std::unordered_map<std::string, std::shared_ptr<const Snapshot>> g_snapshots;

// The same file, unchanged since it was read. A file changed within the last two seconds is
// read again: the file system's clock may not tell two quick writes of one size apart.
bool SameFile(const struct stat& a, const struct stat& b) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec - b.st_mtim.tv_sec < 2 || now.tv_sec - b.st_ctim.tv_sec < 2) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

void Index(Snapshot& snapshot, const std::string& text) {
    std::unordered_map<std::string, std::string>* current = nullptr;  // none in a repeated one
    for (const Line& line : SplitLines(text)) {
        ParsedLine parsed = ParseLine(text, line);
        if (parsed.kind == LineKind::Section) {
            const auto [it, added] = snapshot.sections.try_emplace(FoldCase(parsed.name));
            current = added ? &it->second : nullptr;
            continue;
        }
        if (!current || parsed.kind != LineKind::Key) continue;
        std::string_view raw(text.data() + parsed.valueBegin, line.end - parsed.valueBegin);
        std::string_view v = TrimBlanks(raw);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
            v = v.substr(1, v.size() - 2);
        }
        current->try_emplace(FoldCase(parsed.name), v);
    }
}

// The file as it is now; nullptr when it cannot be read (a missing file is read as empty).
std::shared_ptr<const Snapshot> Read(const std::string& path) {
    const std::string native = PathToNative(path);
    struct stat st {};
    const bool exists = stat(native.c_str(), &st) == 0;
    {
        std::lock_guard lock(g_snapshotMutex);
        auto it = g_snapshots.find(path);
        if (it != g_snapshots.end() && it->second->exists == exists &&
            (!exists || SameFile(it->second->st, st))) {
            return it->second;
        }
    }
    auto snapshot = std::make_shared<Snapshot>();
    std::string bytes;
    snapshot->exists = ReadWholeFile(path, bytes);
    if (!snapshot->exists && GetLastError() != kErrorFileNotFound &&
        GetLastError() != kErrorPathNotFound) {
        return nullptr;
    }
    // Taken after the read: a change in between makes the next read read again.
    if (snapshot->exists && stat(native.c_str(), &snapshot->st) != 0) snapshot->exists = false;
    Index(*snapshot, Decode(bytes));
    std::lock_guard lock(g_snapshotMutex);
    g_snapshots[path] = snapshot;
    return snapshot;
}

// Finds a key's value in the first section of that name; false when it is not there.
bool FindValue(const Snapshot& snapshot, const std::string& section, const std::string& key,
               std::string& value) {
    const auto s = snapshot.sections.find(FoldCase(section));
    if (s == snapshot.sections.end()) return false;
    const auto k = s->second.find(FoldCase(key));
    if (k == s->second.end()) return false;
    value = k->second;
    return true;
}

// Sets a key's value in the text: an existing value replaced in place, a new key at the end of
// its section, a new section at the end; every other byte kept.
void SetValue(std::string& text, const std::string& section, const std::string& key,
              const std::string& value) {
    std::vector<Line> lines = SplitLines(text);
    bool inSection = false;
    size_t insertAt = std::string::npos;  // after the last non-blank line of the section
    bool insertNeedsBreak = false;
    for (const Line& line : lines) {
        ParsedLine parsed = ParseLine(text, line);
        if (parsed.kind == LineKind::Section) {
            if (insertAt != std::string::npos) break;  // left the first matching section
            inSection = NamesEqual(parsed.name, section);
        }
        if (!inSection) continue;
        if (parsed.kind != LineKind::Blank) {
            insertAt = line.next;
            insertNeedsBreak = line.next == line.end;
        }
        if (parsed.kind == LineKind::Key && NamesEqual(parsed.name, key)) {
            text = text.substr(0, parsed.valueBegin) + value + text.substr(line.end);
            return;
        }
    }
    const std::string entry = key + "=" + value + "\r\n";
    if (insertAt != std::string::npos) {
        text.insert(insertAt, (insertNeedsBreak ? "\r\n" : "") + entry);
        return;
    }
    if (!text.empty() && text.back() != '\n' && text.back() != '\r') text += "\r\n";
    text += "[" + section + "]\r\n" + entry;
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, size_t bufferSize,
                                    const std::string& path) {
    if (bufferSize == 0) return std::string();
    std::string value;
    const std::shared_ptr<const Snapshot> snapshot = Read(path);
    if (!snapshot || !snapshot->exists || !FindValue(*snapshot, section, key, value)) {
        value = defaultValue;
        while (!value.empty() && value.back() == ' ') value.pop_back();
    }
    value.resize(SjisPrefixLength(value, bufferSize - 1));
    return value;
}

std::uint32_t GetPrivateProfileInt(const std::string& section, const std::string& key,
                                   std::int32_t defaultValue, const std::string& path) {
    // The system reads the value into 30 bytes before taking its number.
    std::string value = GetPrivateProfileString(section, key, "", 30, path);
    if (value.empty()) return static_cast<std::uint32_t>(defaultValue);
    size_t i = 0;
    bool negative = false;
    if (value[i] == '+' || value[i] == '-') negative = value[i++] == '-';
    std::uint32_t total = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        total = total * 10u + static_cast<std::uint32_t>(value[i] - '0');
    }
    return negative ? 0u - total : total;
}

bool WritePrivateProfileStrings(const std::vector<ProfileValue>& values, const std::string& path) {
    // Read afresh: another program may have written the file within the same instant.
    std::string bytes;
    if (!ReadWholeFile(path, bytes) && GetLastError() != kErrorFileNotFound &&
        GetLastError() != kErrorPathNotFound) {
        return false;
    }
    const bool utf16 = IsUtf16(bytes);
    std::string text = Decode(bytes);
    for (const ProfileValue& v : values) SetValue(text, v.section, v.key, v.value);
    const std::string updated = Encode(text, utf16);
    {
        std::lock_guard lock(g_snapshotMutex);
        g_snapshots.erase(path);
    }

    // Written whole beside the file, on the disk, then renamed over it: a kill or a full disk
    // leaves the old file or the new one, never a mix. A symbolic link is followed: the file
    // it names is replaced and the link stays.
    const std::string target = FinalPath(path);
    const std::string folder = ExtractFilePath(target);
    std::string tempPath;
    File temp;
    if (!temp.CreateUnique(folder.empty() ? std::string("./") : folder, ".profile-", tempPath)) {
        // A folder the user may not create files in: written in place, as the system does.
        File file;
        return file.Open(target, File::Access::Write, File::Disposition::OpenAlways,
                         File::Share::None) &&
               file.ReplaceContents(updated);
    }
    // The new file keeps the old one's permissions (the settings hold a password).
    struct stat old {};
    if (stat(PathToNative(target).c_str(), &old) == 0) {
        chmod(PathToNative(tempPath).c_str(), old.st_mode & 07777);
    }
    bool ok = temp.Write(updated.data(), updated.size()) && temp.Sync();
    temp.Close();
    if (ok) ok = ReplaceFile(tempPath, target);
    if (!ok) {
        DWORD error = GetLastError();
        DeleteFile(tempPath);
        SetLastError(error);
        return false;
    }
    SyncFolder(folder.empty() ? std::string("./") : folder);
    return true;
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path) {
    return WritePrivateProfileStrings({{section, key, value}}, path);
}

}  // namespace platform

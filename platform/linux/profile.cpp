#include "platform/profile.h"

#include <string_view>
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

// The file's text; a file that does not exist is read as none, any other failure fails.
bool ReadProfileFile(const std::string& path, std::string& text, bool& exists) {
    exists = ReadWholeFile(path, text);
    return exists || GetLastError() == kErrorFileNotFound || GetLastError() == kErrorPathNotFound;
}

// Finds a key's value in the first section of that name; false when it is not there.
bool FindValue(const std::string& text, const std::string& section, const std::string& key,
               std::string& value) {
    bool inSection = false;
    for (const Line& line : SplitLines(text)) {
        ParsedLine parsed = ParseLine(text, line);
        if (parsed.kind == LineKind::Section) {
            if (inSection) return false;  // only the first section of that name counts
            inSection = NamesEqual(parsed.name, section);
            continue;
        }
        if (!inSection || parsed.kind != LineKind::Key || !NamesEqual(parsed.name, key)) continue;
        std::string_view raw(text.data() + parsed.valueBegin, line.end - parsed.valueBegin);
        std::string_view v = TrimBlanks(raw);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
            v = v.substr(1, v.size() - 2);
        }
        value.assign(v);
        return true;
    }
    return false;
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, size_t bufferSize,
                                    const std::string& path) {
    if (bufferSize == 0) return std::string();
    std::string text;
    bool exists = false;
    std::string value;
    if (!ReadProfileFile(path, text, exists) || !exists || !FindValue(text, section, key, value)) {
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

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path) {
    std::string text;
    bool exists = false;
    if (!ReadProfileFile(path, text, exists)) return false;

    std::string updated;
    std::vector<Line> lines = SplitLines(text);
    bool inSection = false;
    bool found = false;
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
            updated = text.substr(0, parsed.valueBegin);
            updated += value;
            updated.append(text, line.end, std::string::npos);
            found = true;
            break;
        }
    }
    if (!found) {
        std::string entry = key + "=" + value + "\r\n";
        if (insertAt != std::string::npos) {
            updated = text.substr(0, insertAt);
            if (insertNeedsBreak) updated += "\r\n";
            updated += entry;
            updated.append(text, insertAt, std::string::npos);
        } else {
            updated = text;
            if (!updated.empty() && updated.back() != '\n' && updated.back() != '\r') {
                updated += "\r\n";
            }
            updated += "[" + section + "]\r\n" + entry;
        }
    }

    // Write beside the file and rename over it, so that a full disk never leaves half a file. A
    // symbolic link is followed: the file it names is replaced and the link stays.
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
    bool ok = temp.Write(updated.data(), updated.size());
    temp.Close();
    if (ok) ok = ReplaceFile(tempPath, target);
    if (!ok) {
        DWORD error = GetLastError();
        DeleteFile(tempPath);
        SetLastError(error);
    }
    return ok;
}

}  // namespace platform

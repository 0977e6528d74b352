// The text of .reg files: both export formats ("Windows Registry Editor Version 5.00" in UTF-16LE
// or UTF-8, and REGEDIT4 in code page 932), read into a tree, and the lines the tools write.
#include <cstdio>
#include <vector>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/machine/registry.h"
#include "platform/machine/registry_files.h"

namespace platform {
namespace {

// Escapes for a quoted name or string in a .reg file.
std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// Reads a quoted string starting at text[pos] == '"'; pos ends after the closing quote.
bool ReadQuoted(std::string_view text, size_t& pos, std::string& out) {
    if (pos >= text.size() || text[pos] != '"') return false;
    out.clear();
    for (size_t i = pos + 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            out += text[++i];
        } else if (c == '"') {
            pos = i + 1;
            return true;
        } else {
            out += c;
        }
    }
    return false;
}

bool ParseHexBytes(std::string_view text, std::string& bytes) {
    bytes.clear();
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ',')) ++i;
        if (i >= text.size()) break;
        int hi = HexDigitValue(text[i]);
        int lo = i + 1 < text.size() ? HexDigitValue(text[i + 1]) : -1;
        if (hi < 0) return false;
        if (lo < 0) {
            bytes += static_cast<char>(hi);
            ++i;
        } else {
            bytes += static_cast<char>(hi * 16 + lo);
            i += 2;
        }
    }
    return true;
}

std::string Utf16BytesToUtf8(std::string_view bytes) { return Utf16ToUtf8(Utf16FromBytes(bytes)); }

// The text of a string-typed hex() value: UTF-16LE in version 5 files, ANSI in REGEDIT4.
std::string DecodeStringBytes(std::string_view bytes, bool unicode) {
    return unicode ? Utf16BytesToUtf8(bytes) : SjisToUtf8(bytes);
}

// Drops the final terminator(s) of a REG_SZ / REG_EXPAND_SZ text.
std::string CutAtZero(std::string text) {
    size_t zero = text.find('\0');
    if (zero != std::string::npos) text.resize(zero);
    return text;
}

// REG_MULTI_SZ as stored: each string followed by '\0', no final empty string.
std::string NormalizeMulti(const std::string& text) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t zero = text.find('\0', pos);
        if (zero == std::string::npos) zero = text.size();
        if (zero == pos) break;  // the empty string ends the list
        out.append(text, pos, zero - pos);
        out += '\0';
        pos = zero + 1;
    }
    return out;
}

void ParseValueLine(std::string_view line, RegistryNode* node, bool unicode) {
    if (!node) return;
    size_t pos = 0;
    std::string name;
    if (line[0] == '@') {
        pos = 1;
    } else if (!ReadQuoted(line, pos, name)) {
        return;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') return;
    ++pos;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    std::string_view rest = line.substr(pos);

    RegistryValue value;
    value.name = name;
    if (rest == "-") {
        node->values.erase(name);
        return;
    }
    if (!rest.empty() && rest[0] == '"') {
        size_t p = 0;
        if (!ReadQuoted(rest, p, value.data)) return;
        value.type = kRegSz;
    } else if (rest.size() >= 6 && rest.substr(0, 6) == "dword:") {
        std::string_view digits = rest.substr(6);
        if (digits.empty() || digits.size() > 8) return;
        DWORD v = 0;
        for (char c : digits) {
            int h = HexDigitValue(c);
            if (h < 0) return;
            v = v * 16 + static_cast<DWORD>(h);
        }
        value.type = kRegDword;
        value.data.assign(reinterpret_cast<const char*>(&v), 4);
    } else if (rest.size() >= 4 && rest.substr(0, 3) == "hex") {
        size_t colon = rest.find(':');
        if (colon == std::string_view::npos) return;
        std::string_view kind = rest.substr(3, colon - 3);
        DWORD type = kRegBinary;
        if (!kind.empty()) {
            if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')') return;
            type = 0;
            for (char c : kind.substr(1, kind.size() - 2)) {
                int h = HexDigitValue(c);
                if (h < 0) return;
                type = type * 16 + static_cast<DWORD>(h);
            }
        }
        std::string bytes;
        if (!ParseHexBytes(rest.substr(colon + 1), bytes)) return;
        value.type = type;
        if (type == kRegSz || type == kRegExpandSz) {
            value.data = CutAtZero(DecodeStringBytes(bytes, unicode));
        } else if (type == kRegMultiSz) {
            value.data = NormalizeMulti(DecodeStringBytes(bytes, unicode));
        } else {
            value.data = std::move(bytes);
        }
    } else {
        return;
    }
    node->values[name] = std::move(value);
}

// The file's text in UTF-8, and whether hex() strings in it are UTF-16.
bool DecodeFile(std::string_view bytes, std::string& text, bool& unicode) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text = Utf16BytesToUtf8(bytes.substr(2));
    } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        text.assign(bytes.substr(3));
    } else if (bytes.substr(0, 8) == "REGEDIT4") {
        text = SjisToUtf8(bytes);
    } else {
        text.assign(bytes);
    }
    if (text.rfind("REGEDIT4", 0) == 0) {
        unicode = false;
        return true;
    }
    unicode = true;
    return text.rfind("Windows Registry Editor Version 5.00", 0) == 0;
}

}  // namespace

void ParseRegFile(std::string_view bytes, RegistryTree& tree) {
    std::string text;
    bool unicode = true;
    if (!DecodeFile(bytes, text, unicode)) return;

    static const std::string kRoot = "HKEY_LOCAL_MACHINE";
    RegistryNode* current = nullptr;
    std::string logical;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        std::string_view raw(text.data() + pos, end - pos);
        pos = end;
        while (pos < text.size() && (text[pos] == '\r' || text[pos] == '\n')) {
            if (text[pos] == '\n') {
                ++pos;
                break;
            }
            ++pos;
        }
        // Leading blanks go; a trailing backslash continues the line (hex data).
        while (!raw.empty() && (raw.front() == ' ' || raw.front() == '\t')) raw.remove_prefix(1);
        while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\t')) raw.remove_suffix(1);
        logical.append(raw);
        if (!logical.empty() && logical.back() == '\\' && logical.find('=') != std::string::npos &&
            logical[0] != '[') {
            logical.pop_back();
            continue;
        }
        std::string_view line = logical;
        if (line.empty() || line[0] == ';') {
            logical.clear();
            continue;
        }
        if (line[0] == '[') {
            size_t close = line.rfind(']');
            current = nullptr;
            if (close != std::string_view::npos) {
                bool remove = line.size() > 1 && line[1] == '-';
                std::string_view path = line.substr(remove ? 2 : 1, close - (remove ? 2 : 1));
                std::string_view rootName = path.substr(0, path.find('\\'));
                if (EqualsAsciiNoCase(rootName, kRoot)) {
                    std::string_view below =
                        rootName.size() < path.size() ? path.substr(rootName.size() + 1) : "";
                    if (remove) {
                        tree.Delete(below);
                    } else {
                        current = tree.Create(below);
                    }
                }
            }
        } else {
            ParseValueLine(line, current, unicode);
        }
        logical.clear();
    }
}

std::string RegKeyLine(std::string_view keyPathUtf8) {
    return "[HKEY_LOCAL_MACHINE\\" + std::string(keyPathUtf8) + "]\r\n";
}

std::string RegStringLine(std::string_view nameUtf8, std::string_view valueUtf8) {
    return Quote(nameUtf8) + "=" + Quote(valueUtf8) + "\r\n";
}

namespace {

// hex(n): the UTF-16LE bytes of the units, as comma-separated pairs.
std::string HexUnitsLine(std::string_view nameUtf8, const char* type, std::u16string_view units) {
    const std::string hex = ToHex(Utf16ToBytes(units));
    std::string line = Quote(nameUtf8) + "=" + type + ":";
    for (size_t i = 0; i < hex.size(); i += 2) {
        if (i > 0) line += ',';
        line.append(hex, i, 2);
    }
    return line + "\r\n";
}

}  // namespace

std::string RegExpandStringLine(std::string_view nameUtf8, std::string_view valueUtf8) {
    std::u16string units = Utf8ToUtf16(valueUtf8);
    units += u'\0';
    return HexUnitsLine(nameUtf8, "hex(2)", units);
}

std::string RegMultiStringLine(std::string_view nameUtf8, const std::vector<std::string>& values) {
    std::u16string units;
    for (const std::string& value : values) {
        units += Utf8ToUtf16(value);
        units += u'\0';
    }
    units += u'\0';
    return HexUnitsLine(nameUtf8, "hex(7)", units);
}

std::string RegDeleteKeyLine(std::string_view keyPathUtf8) {
    return "[-HKEY_LOCAL_MACHINE\\" + std::string(keyPathUtf8) + "]\r\n";
}

std::string RegDwordLine(std::string_view nameUtf8, DWORD value) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x", value);
    return Quote(nameUtf8) + "=dword:" + digits + "\r\n";
}

}  // namespace platform

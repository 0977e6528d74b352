#include "platform/machine/msgcompiler.h"

#include <cstdint>
#include <map>
#include <vector>

#include "platform/bytes.h"
#include "platform/codepage.h"

namespace platform {
namespace {

struct Name {
    std::string name;  // as written
    std::uint32_t value;
};

bool SameName(std::string_view a, std::string_view b) { return EqualsNoCase(a, b); }

// Blanks around a text, and the CR of a CR LF line end.
std::string_view Trim(std::string_view s) {
    s = TrimBlanks(s);
    while (!s.empty() && s.back() == '\r') s = TrimBlanks(s.substr(0, s.size() - 1));
    return s;
}

bool ParseNumber(std::string_view text, std::uint32_t& value) {
    text = Trim(text);
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        int d = (c >= '0' && c <= '9')                 ? c - '0'
                : (base == 16 && c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (base == 16 && c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                       : -1;
        if (d < 0) return false;
        v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    value = static_cast<std::uint32_t>(v);
    return true;
}

// "(Name=0x1:Symbol Name2=0x2)" -> names; the symbol part is for header files and is dropped.
bool ParseNameList(std::string_view list, std::vector<Name>& names) {
    list = Trim(list);
    if (list.empty() || list.front() != '(' || list.back() != ')') return false;
    list = list.substr(1, list.size() - 2);
    names.clear();
    size_t pos = 0;
    while (pos < list.size()) {
        while (pos < list.size() &&
               (list[pos] == ' ' || list[pos] == '\t' || list[pos] == '\r' || list[pos] == '\n')) {
            ++pos;
        }
        if (pos >= list.size()) break;
        size_t end = pos;
        while (end < list.size() && list[end] != ' ' && list[end] != '\t' && list[end] != '\r' &&
               list[end] != '\n') {
            ++end;
        }
        std::string_view item = list.substr(pos, end - pos);
        pos = end;
        size_t equals = item.find('=');
        if (equals == std::string_view::npos) return false;
        std::string_view valueText = item.substr(equals + 1);
        valueText = valueText.substr(0, valueText.find(':'));
        Name n{std::string(Trim(item.substr(0, equals))), 0};
        if (!ParseNumber(valueText, n.value)) return false;
        names.push_back(n);
    }
    return true;
}

const Name* Lookup(const std::vector<Name>& names, std::string_view name) {
    for (const Name& n : names) {
        if (SameName(n.name, name)) return &n;
    }
    return nullptr;
}

void Put16(std::string& out, std::uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}

void Put32(std::string& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

void Set32(std::string& out, size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// MESSAGE_RESOURCE_DATA of one language: blocks of consecutive ids, UTF-16 entries padded to
// four bytes.
std::string BuildTable(const std::map<std::uint32_t, std::u16string>& messages) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> blocks;
    for (const auto& [id, text] : messages) {
        if (!blocks.empty() && blocks.back().second + 1 == id &&
            blocks.back().second != 0xFFFFFFFFu) {
            blocks.back().second = id;
        } else {
            blocks.push_back({id, id});
        }
    }
    std::string entries;
    std::vector<std::uint32_t> offsets;
    const std::uint32_t headerSize = 4 + 12 * static_cast<std::uint32_t>(blocks.size());
    auto it = messages.begin();
    for (const auto& block : blocks) {
        offsets.push_back(headerSize + static_cast<std::uint32_t>(entries.size()));
        for (std::uint64_t id = block.first; id <= block.second; ++id, ++it) {
            std::string body;
            for (char16_t c : it->second) Put16(body, c);
            Put16(body, 0);
            while ((body.size() + 4) % 4 != 0) body += '\0';
            Put16(entries, static_cast<std::uint32_t>(body.size() + 4));
            Put16(entries, 1);  // UTF-16
            entries += body;
        }
    }
    std::string table;
    Put32(table, static_cast<std::uint32_t>(blocks.size()));
    for (size_t i = 0; i < blocks.size(); ++i) {
        Put32(table, blocks[i].first);
        Put32(table, blocks[i].second);
        Put32(table, offsets[i]);
    }
    return table + entries;
}

std::string Align(std::string s, size_t to) {
    while (s.size() % to != 0) s += '\0';
    return s;
}

// The .rsrc section: type 11 -> name 1 -> one language each -> data.
std::string BuildResources(const std::map<std::uint16_t, std::string>& tables,
                           std::uint32_t sectionRva) {
    const std::uint32_t count = static_cast<std::uint32_t>(tables.size());
    const std::uint32_t nameDir = 24, langDir = 48;
    const std::uint32_t dataEntries = langDir + 16 + 8 * count;
    std::uint32_t dataStart = dataEntries + 16 * count;
    std::string dir;
    auto directory = [&](std::uint32_t ids) {
        Put32(dir, 0), Put32(dir, 0), Put16(dir, 4), Put16(dir, 0), Put16(dir, 0), Put16(dir, ids);
    };
    directory(1);
    Put32(dir, 11), Put32(dir, 0x80000000u | nameDir);
    directory(1);
    Put32(dir, 1), Put32(dir, 0x80000000u | langDir);
    directory(count);
    std::uint32_t i = 0;
    for (const auto& [language, table] : tables) {
        Put32(dir, language);
        Put32(dir, dataEntries + 16 * i++);
    }
    std::string data;
    for (const auto& [language, table] : tables) {
        Put32(dir, sectionRva + dataStart + static_cast<std::uint32_t>(data.size()));
        Put32(dir, static_cast<std::uint32_t>(table.size()));
        Put32(dir, 0), Put32(dir, 0);
        data += Align(table, 4);
    }
    return dir + data;
}

std::string BuildImage(const std::string& rsrc, bool pe64) {
    constexpr std::uint32_t kFileAlign = 0x200, kSectionAlign = 0x1000, kRsrcRva = 0x1000;
    std::string image(0x80, '\0');
    image[0] = 'M', image[1] = 'Z';
    Set32(image, 0x3C, 0x80);
    image += std::string("PE\0\0", 4);
    Put16(image, pe64 ? 0x8664 : 0x14C);   // machine
    Put16(image, 1);                       // sections
    Put32(image, 0);                       // time stamp
    Put32(image, 0), Put32(image, 0);      // symbols
    Put16(image, pe64 ? 0xF0 : 0xE0);      // optional header size
    Put16(image, pe64 ? 0x2022 : 0x2102);  // DLL, executable image
    const std::uint32_t rawSize =
        static_cast<std::uint32_t>((rsrc.size() + kFileAlign - 1) / kFileAlign * kFileAlign);
    const std::uint32_t imageSize =
        kRsrcRva + static_cast<std::uint32_t>((rsrc.size() + kSectionAlign - 1) / kSectionAlign *
                                              kSectionAlign);
    Put16(image, pe64 ? 0x20B : 0x10B);
    image += '\x02', image += '\x26';                         // linker version
    Put32(image, 0), Put32(image, rawSize), Put32(image, 0);  // code, initialised, uninitialised
    Put32(image, 0);                                          // entry point: none
    Put32(image, kRsrcRva);                                   // base of code
    if (pe64) {
        Put32(image, 0x80000000u), Put32(image, 0x1);  // image base 0x180000000
    } else {
        Put32(image, kRsrcRva);     // base of data
        Put32(image, 0x10000000u);  // image base
    }
    Put32(image, kSectionAlign), Put32(image, kFileAlign);
    Put16(image, 4), Put16(image, 0), Put16(image, 0), Put16(image, 0), Put16(image, 4),
        Put16(image, 0);
    Put32(image, 0);                                    // Win32 version
    Put32(image, imageSize), Put32(image, kFileAlign);  // image, headers
    Put32(image, 0);                                    // checksum
    Put16(image, 2), Put16(image, 0);                   // GUI subsystem, no DLL flags
    for (std::uint32_t v : {0x100000u, 0x1000u, 0x100000u, 0x1000u}) {  // stack, heap
        Put32(image, v);
        if (pe64) Put32(image, 0);
    }
    Put32(image, 0), Put32(image, 16);  // loader flags, directories
    for (int d = 0; d < 16; ++d) {
        Put32(image, d == 2 ? kRsrcRva : 0);
        Put32(image, d == 2 ? static_cast<std::uint32_t>(rsrc.size()) : 0);
    }
    std::string section(".rsrc\0\0\0", 8);
    image += section;
    Put32(image, static_cast<std::uint32_t>(rsrc.size()));  // virtual size
    Put32(image, kRsrcRva);
    Put32(image, rawSize);
    Put32(image, kFileAlign);  // raw data right after the headers
    Put32(image, 0), Put32(image, 0), Put16(image, 0), Put16(image, 0);
    Put32(image, 0x40000040u);  // initialised data, readable
    image = Align(image, kFileAlign);
    image += Align(rsrc, kFileAlign);
    return image;
}

}  // namespace

bool CompileMessageText(std::string_view source, bool pe64, MessageCompileResult& result) {
    result = MessageCompileResult();
    if (source.substr(0, 3) == "\xEF\xBB\xBF") source.remove_prefix(3);
    std::vector<Name> severities = {
        {"Success", 0}, {"Informational", 1}, {"Warning", 2}, {"Error", 3}};
    std::vector<Name> facilities = {{"System", 0xFF}, {"Application", 0xFFF}};
    std::vector<Name> languages = {{"English", 0x409}};
    std::map<std::uint16_t, std::map<std::uint32_t, std::u16string>> tables;

    std::uint32_t severity = 0, facility = 0;
    std::uint32_t lastId = 0;  // the previous message's number
    bool haveMessage = false;
    bool headerOpen = false;  // a MessageId whose number is fixed at its first Language
    bool relative = true;     // number = previous + idValue
    std::uint32_t idValue = 1;
    std::uint32_t currentId = 0;

    size_t pos = 0;
    int lineNumber = 0;
    auto nextLine = [&](std::string_view& line) {
        if (pos >= source.size()) return false;
        size_t end = source.find('\n', pos);
        if (end == std::string_view::npos) end = source.size();
        line = source.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos = end + 1;
        ++lineNumber;
        return true;
    };
    auto fail = [&](const std::string& why) {
        result.error = "line " + std::to_string(lineNumber) + ": " + why;
        return false;
    };

    std::string_view line;
    while (nextLine(line)) {
        std::string_view t = Trim(line);
        if (t.empty() || t[0] == ';') continue;
        size_t equals = t.find('=');
        if (equals == std::string_view::npos) return fail("expected a keyword");
        std::string_view key = Trim(t.substr(0, equals));
        std::string value(Trim(t.substr(equals + 1)));
        if (!value.empty() && value[0] == '(') {
            while (value.find(')') == std::string::npos) {
                std::string_view more;
                if (!nextLine(more)) return fail("unclosed list");
                value += ' ';
                value += Trim(more);
            }
        }
        if (SameName(key, "MessageIdTypedef") || SameName(key, "OutputBase") ||
            SameName(key, "SymbolicName")) {
            continue;
        } else if (SameName(key, "SeverityNames")) {
            if (!ParseNameList(value, severities)) return fail("bad SeverityNames");
        } else if (SameName(key, "FacilityNames")) {
            if (!ParseNameList(value, facilities)) return fail("bad FacilityNames");
        } else if (SameName(key, "LanguageNames")) {
            std::vector<Name> added;
            if (!ParseNameList(value, added)) return fail("bad LanguageNames");
            for (const Name& n : added) {
                if (const Name* known = Lookup(languages, n.name)) {
                    const_cast<Name*>(known)->value = n.value;
                } else {
                    languages.push_back(n);
                }
            }
        } else if (SameName(key, "MessageId")) {
            // Each message starts with severity and facility 0, as the peer compilers do.
            haveMessage = headerOpen = true;
            severity = facility = 0;
            relative = value.empty() || value[0] == '+';
            idValue = 1;
            if (!value.empty() &&
                !ParseNumber(std::string_view(value).substr(value[0] == '+' ? 1 : 0), idValue)) {
                return fail("bad MessageId");
            }
        } else if (SameName(key, "Severity")) {
            const Name* n = Lookup(severities, value);
            if (!n) return fail("unknown severity " + value);
            severity = n->value;
        } else if (SameName(key, "Facility")) {
            const Name* n = Lookup(facilities, value);
            if (!n) return fail("unknown facility " + value);
            facility = n->value;
        } else if (SameName(key, "Language")) {
            if (!haveMessage) return fail("Language before MessageId");
            const Name* n = Lookup(languages, value);
            if (!n) return fail("unknown language " + value);
            if (headerOpen) {
                // Severity and facility may follow MessageId, so the number is made here.
                std::uint32_t id = relative ? lastId + idValue : idValue;
                currentId = (severity << 30) | ((facility & 0xFFF) << 16) | (id & 0xFFFF);
                lastId = id & 0xFFFF;
                headerOpen = false;
            }
            std::string text;
            std::string_view textLine;
            bool ended = false;
            while (nextLine(textLine)) {
                if (textLine == ".") {
                    ended = true;
                    break;
                }
                text.append(textLine);
                text += "\r\n";
            }
            if (!ended) return fail("message text not ended by a line with a single \".\"");
            tables[static_cast<std::uint16_t>(n->value)][currentId] = Utf8ToUtf16(text);
        } else {
            return fail("unknown keyword " + std::string(key));
        }
    }
    if (tables.empty()) return fail("no messages");
    std::map<std::uint16_t, std::string> built;
    for (const auto& [language, messages] : tables) built[language] = BuildTable(messages);
    result.dll = BuildImage(BuildResources(built, 0x1000), pe64);
    return true;
}

}  // namespace platform

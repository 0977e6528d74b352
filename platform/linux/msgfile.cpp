#include "platform/msgfile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/linux/machine_paths.h"
#include "platform/machine.h"

namespace platform {
namespace {

constexpr std::uint32_t kRtMessageTable = 11;

std::uint16_t U16(std::string_view b, size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                      (static_cast<unsigned char>(b[at + 1]) << 8));
}

std::uint32_t U32(std::string_view b, size_t at) {
    return static_cast<std::uint32_t>(U16(b, at)) |
           (static_cast<std::uint32_t>(U16(b, at + 2)) << 16);
}

bool Fits(std::string_view b, std::uint64_t at, std::uint64_t size) {
    return at <= b.size() && size <= b.size() - at;
}

struct Section {
    std::uint32_t virtualAddress, virtualSize, rawPointer, rawSize;
};

// The file offset of a range of RVAs that lies wholly inside one section's file data.
bool RvaToOffset(const std::vector<Section>& sections, std::string_view file, std::uint32_t rva,
                 std::uint32_t size, std::uint64_t& offset) {
    for (const Section& s : sections) {
        std::uint64_t extent = std::max(s.virtualSize, s.rawSize);
        if (rva < s.virtualAddress || rva - s.virtualAddress >= extent) continue;
        std::uint64_t delta = rva - s.virtualAddress;
        if (delta + size > s.rawSize) return false;
        offset = s.rawPointer + delta;
        return Fits(file, offset, size);
    }
    return false;
}

// The entries of one MESSAGE_RESOURCE_DATA, read as far as it is valid.
std::vector<MessageTableEntry> ParseTable(std::string_view t) {
    std::vector<MessageTableEntry> entries;
    if (!Fits(t, 0, 4)) return entries;
    const std::uint32_t blocks = U32(t, 0);
    for (std::uint64_t b = 0; b < blocks && Fits(t, 4 + 12 * b, 12); ++b) {
        const std::uint32_t low = U32(t, 4 + 12 * b);
        const std::uint32_t high = U32(t, 8 + 12 * b);
        std::uint64_t pos = U32(t, 12 + 12 * b);
        for (std::uint64_t id = low; id <= high; ++id) {
            if (!Fits(t, pos, 4)) break;
            const std::uint16_t length = U16(t, pos);
            const std::uint16_t flags = U16(t, pos + 2);
            if (length < 4 || !Fits(t, pos, length)) break;  // a zero length would never end
            std::string_view body = t.substr(pos + 4, length - 4);
            std::string text;
            if (flags == 1) {
                std::u16string units = Utf16FromBytes(body);
                units.resize(std::min(units.size(), units.find(u'\0')));
                text = Utf16ToSjis(units);
            } else {
                text.assign(body.substr(0, body.find('\0')));
            }
            entries.push_back({static_cast<DWORD>(id), std::move(text)});
            pos += length;
        }
    }
    return entries;
}

std::string ResourceName(std::string_view dir, std::uint32_t nameField) {
    if (!(nameField & 0x80000000u)) return "#" + std::to_string(nameField);
    std::uint32_t at = nameField & 0x7FFFFFFFu;
    if (!Fits(dir, at, 2)) return std::string();
    std::uint16_t length = U16(dir, at);
    if (!Fits(dir, at + 2, 2ull * length)) return std::string();
    return Utf16ToSjis(Utf16FromBytes(dir.substr(at + 2, 2ull * length)));
}

struct DirectoryEntry {
    std::uint32_t name;
    std::uint32_t target;  // offset in the resource section; top bit: a subdirectory
};

std::vector<DirectoryEntry> ReadDirectory(std::string_view dir, std::uint32_t at) {
    std::vector<DirectoryEntry> entries;
    if (!Fits(dir, at, 16)) return entries;
    std::uint64_t count = static_cast<std::uint64_t>(U16(dir, at + 12)) + U16(dir, at + 14);
    for (std::uint64_t i = 0; i < count && Fits(dir, at + 16 + 8 * i, 8); ++i) {
        entries.push_back({U32(dir, at + 16 + 8 * i), U32(dir, at + 20 + 8 * i)});
    }
    return entries;
}

// Cache of parsed files, by path, checked against the file's identity and time at each load.
struct Parsed {
    std::vector<MessageResource> resources;
    std::vector<std::unordered_map<DWORD, size_t>> index;  // per resource: id -> entry
};

struct CacheEntry {
    std::uint64_t size, inode, seconds, nanoseconds;
    std::shared_ptr<const Parsed> parsed;
};

std::mutex g_cacheMutex;
std::map<std::string, CacheEntry> g_cache;

// The resource that the language search picks among those of one name.
const MessageResource* PickLanguage(const std::vector<const MessageResource*>& candidates,
                                    DWORD languageId) {
    auto find = [&](DWORD lang) -> const MessageResource* {
        for (const MessageResource* r : candidates) {
            if (r->language == lang) return r;
        }
        return nullptr;
    };
    if (languageId != 0) return find(languageId);
    for (DWORD lang : {0x0000u, 0x0411u, 0x0409u}) {
        if (const MessageResource* r = find(lang)) return r;
    }
    return candidates.empty() ? nullptr : candidates.front();
}

bool Fail(DWORD code) {
    SetLastError(code);
    return false;
}

// Appends one insert, with its printf-style format when it has one.
void AppendInsert(std::string& out, const std::string& arg, std::string_view spec) {
    if (spec.empty()) {
        out += arg;
        return;
    }
    // Flags, width and precision apply to the text; the arguments are texts, so the
    // conversion is always a string one.
    std::string fmt = "%";
    size_t i = 0;
    while (i < spec.size() && std::string_view("0+- #").find(spec[i]) != std::string_view::npos)
        fmt += spec[i++];
    size_t digits = 0;
    while (i < spec.size() && spec[i] >= '0' && spec[i] <= '9' && digits < 4)
        fmt += spec[i++], ++digits;
    if (i < spec.size() && spec[i] == '.') {
        fmt += spec[i++];
        digits = 0;
        while (i < spec.size() && spec[i] >= '0' && spec[i] <= '9' && digits < 4)
            fmt += spec[i++], ++digits;
    }
    fmt += 's';
    int n = std::snprintf(nullptr, 0, fmt.c_str(), arg.c_str());
    if (n <= 0) return;
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), fmt.c_str(), arg.c_str());
    text.resize(static_cast<size_t>(n));
    out += text;
}

}  // namespace

struct MessageModule {
    std::shared_ptr<const Parsed> parsed;
};

bool ParseMessageFile(std::string_view file, std::vector<MessageResource>& resources) {
    resources.clear();
    if (!Fits(file, 0, 64) || file[0] != 'M' || file[1] != 'Z') return false;
    const std::uint32_t pe = U32(file, 0x3C);
    if (!Fits(file, pe, 24) || file.substr(pe, 4) != std::string_view("PE\0\0", 4)) return false;
    const std::uint16_t sectionCount = U16(file, pe + 6);
    const std::uint16_t optionalSize = U16(file, pe + 20);
    const std::uint64_t optional = pe + 24;
    if (!Fits(file, optional, optionalSize) || optionalSize < 2) return false;
    const std::uint16_t magic = U16(file, optional);
    std::uint64_t dirCountAt, dirsAt;
    if (magic == 0x10b) {
        dirCountAt = 92, dirsAt = 96;
    } else if (magic == 0x20b) {
        dirCountAt = 108, dirsAt = 112;
    } else {
        return false;
    }
    std::vector<Section> sections;
    const std::uint64_t table = optional + optionalSize;
    for (std::uint64_t i = 0; i < sectionCount && Fits(file, table + 40 * i, 40); ++i) {
        const std::uint64_t s = table + 40 * i;
        sections.push_back(
            {U32(file, s + 12), U32(file, s + 8), U32(file, s + 20), U32(file, s + 16)});
    }
    // No resource directory: a valid file without messages.
    if (optionalSize < dirsAt + 24 || U32(file, optional + dirCountAt) < 3) return true;
    const std::uint32_t resourceRva = U32(file, optional + dirsAt + 16);
    const std::uint32_t resourceSize = U32(file, optional + dirsAt + 20);
    std::uint64_t resourceOffset = 0;
    if (resourceSize == 0) return true;
    if (!RvaToOffset(sections, file, resourceRva, resourceSize, resourceOffset)) {
        // A directory that claims more than the section holds is read as far as it goes.
        std::uint32_t size = resourceSize;
        while (size > 16 && !RvaToOffset(sections, file, resourceRva, size, resourceOffset))
            size /= 2;
        if (size <= 16) return true;
    }
    std::string_view dir = file.substr(resourceOffset);

    // Type -> name -> language -> data; three levels, so no walk can loop.
    for (const DirectoryEntry& type : ReadDirectory(dir, 0)) {
        if (type.name != kRtMessageTable || !(type.target & 0x80000000u)) continue;
        for (const DirectoryEntry& name : ReadDirectory(dir, type.target & 0x7FFFFFFFu)) {
            if (!(name.target & 0x80000000u)) continue;
            for (const DirectoryEntry& lang : ReadDirectory(dir, name.target & 0x7FFFFFFFu)) {
                if ((lang.target & 0x80000000u) || !Fits(dir, lang.target, 16)) continue;
                const std::uint32_t dataRva = U32(dir, lang.target);
                const std::uint32_t dataSize = U32(dir, lang.target + 4);
                std::uint64_t dataOffset = 0;
                if (!RvaToOffset(sections, file, dataRva, dataSize, dataOffset)) continue;
                MessageResource resource;
                resource.name = ResourceName(dir, name.name);
                resource.language = static_cast<std::uint16_t>(lang.name & 0xFFFF);
                resource.entries = ParseTable(file.substr(dataOffset, dataSize));
                resources.push_back(std::move(resource));
            }
        }
    }
    return true;
}

HMODULE LoadLibraryAsDatafile(const std::string& windowsPath) {
    // Registry values name files the Windows way; a bare name is looked for where the system
    // keeps its libraries.
    std::string path;
    struct stat st;
    bool found;
    if (windowsPath.find_first_of("\\/") == std::string::npos && !windowsPath.empty()) {
        found =
            MapMachinePathAndStat(MachineRoot() + "Windows\\system32\\" + windowsPath, path, st) ||
            MapMachinePathAndStat(MachineRoot() + "Windows\\" + windowsPath, path, st);
    } else {
        found = MapMachinePathAndStat(windowsPath, path, st);
    }
    if (!found) {
        FailFromErrno();
        return nullptr;
    }
    const std::string native = SjisToUtf8(path);
    if (S_ISDIR(st.st_mode)) {
        SetLastError(kErrorAccessDenied);
        return nullptr;
    }
    CacheEntry key{static_cast<std::uint64_t>(st.st_size), static_cast<std::uint64_t>(st.st_ino),
                   static_cast<std::uint64_t>(st.st_mtim.tv_sec),
                   static_cast<std::uint64_t>(st.st_mtim.tv_nsec), nullptr};
    {
        std::lock_guard lock(g_cacheMutex);
        auto it = g_cache.find(native);
        if (it != g_cache.end() && it->second.size == key.size && it->second.inode == key.inode &&
            it->second.seconds == key.seconds && it->second.nanoseconds == key.nanoseconds) {
            return new MessageModule{it->second.parsed};
        }
    }
    File file;
    if (!file.Open(path, File::Access::Read, File::Disposition::OpenExisting, File::Share::Read)) {
        return nullptr;
    }
    std::string bytes;
    char buffer[65536];
    size_t got = 0;
    while (file.Read(buffer, sizeof buffer, &got) && got > 0) bytes.append(buffer, got);
    auto parsed = std::make_shared<Parsed>();
    if (!ParseMessageFile(bytes, parsed->resources)) {
        SetLastError(kErrorBadExeFormat);
        return nullptr;
    }
    for (const MessageResource& r : parsed->resources) {
        std::unordered_map<DWORD, size_t> index;
        for (size_t i = 0; i < r.entries.size(); ++i) index.emplace(r.entries[i].id, i);
        parsed->index.push_back(std::move(index));
    }
    key.parsed = parsed;
    std::lock_guard lock(g_cacheMutex);
    g_cache[native] = key;
    return new MessageModule{parsed};
}

bool FreeLibrary(HMODULE module) {
    if (!module) return Fail(kErrorInvalidHandle);
    delete module;
    return true;
}

std::vector<MessageTableEntry> EnumerateMessageTables(HMODULE module) {
    std::vector<MessageTableEntry> all;
    if (!module) return all;
    const std::vector<MessageResource>& resources = module->parsed->resources;
    std::vector<std::string> names;
    for (const MessageResource& r : resources) {
        if (std::find(names.begin(), names.end(), r.name) == names.end()) names.push_back(r.name);
    }
    for (const std::string& name : names) {
        std::vector<const MessageResource*> candidates;
        for (const MessageResource& r : resources) {
            if (r.name == name) candidates.push_back(&r);
        }
        if (const MessageResource* r = PickLanguage(candidates, 0)) {
            all.insert(all.end(), r->entries.begin(), r->entries.end());
        }
    }
    return all;
}

bool FindMessage(HMODULE module, DWORD messageId, DWORD languageId, std::string& text) {
    if (!module) return Fail(kErrorInvalidHandle);
    const Parsed& parsed = *module->parsed;
    // The system looks in the message table named 1.
    std::vector<const MessageResource*> candidates;
    for (const MessageResource& r : parsed.resources) {
        if (r.name == "#1") candidates.push_back(&r);
    }
    if (candidates.empty()) return Fail(kErrorResourceTypeNotFound);
    const MessageResource* picked = PickLanguage(candidates, languageId);
    if (!picked) return Fail(kErrorMrMidNotFound);
    const auto& index = parsed.index[static_cast<size_t>(picked - parsed.resources.data())];
    auto it = index.find(messageId);
    if (it == index.end()) return Fail(kErrorMrMidNotFound);
    text = picked->entries[it->second].text;
    return true;
}

bool FormatMessageFromString(std::string_view f, bool ignoreInserts,
                             const std::vector<std::string>* args, std::string& out) {
    out.clear();
    size_t i = 0;
    while (i < f.size()) {
        const char c = f[i];
        if (c == '%') {
            if (i + 1 >= f.size()) {
                out.clear();
                return Fail(kErrorInvalidParameter);
            }
            const char next = f[i + 1];
            if (next >= '1' && next <= '9') {
                if (ignoreInserts) {
                    out += '%';
                    out += next;
                    i += 2;
                    continue;
                }
                size_t insert = static_cast<size_t>(next - '0');
                i += 2;
                if (i < f.size() && f[i] >= '0' && f[i] <= '9')
                    insert = insert * 10 + static_cast<size_t>(f[i++] - '0');
                std::string_view spec;
                if (i < f.size() && f[i] == '!') {
                    size_t close = f.find('!', i + 1);
                    spec = f.substr(i + 1,
                                    (close == std::string_view::npos ? f.size() : close) - i - 1);
                    i = close == std::string_view::npos ? f.size() : close + 1;
                }
                if (!args || insert > args->size()) {
                    out.clear();
                    return Fail(kErrorInvalidParameter);
                }
                AppendInsert(out, (*args)[insert - 1], spec);
                continue;
            }
            i += 2;
            switch (next) {
                case 'n': out += "\r\n"; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case '0':
                    i = f.size();  // the output ends here
                    break;
                default:
                    if (ignoreInserts) out += '%';
                    out += next;
                    // A double-byte character after the % is one character.
                    if (IsDBCSLeadByte(static_cast<unsigned char>(next)) && i < f.size())
                        out += f[i++];
                    break;
            }
        } else if (c == '\r' || c == '\n') {
            out += "\r\n";
            i += (c == '\r' && i + 1 < f.size() && f[i + 1] == '\n') ? 2 : 1;
        } else if (IsDBCSLeadByte(static_cast<unsigned char>(c)) && i + 1 < f.size()) {
            out += c;
            out += f[i + 1];
            i += 2;
        } else {
            out += c;
            ++i;
        }
    }
    return !out.empty();
}

bool FormatMessageFromModule(HMODULE module, DWORD messageId, DWORD languageId, bool ignoreInserts,
                             const std::vector<std::string>* args, std::string& out) {
    std::string text;
    if (!FindMessage(module, messageId, languageId, text)) return false;
    return FormatMessageFromString(text, ignoreInserts, args, out);
}

}  // namespace platform

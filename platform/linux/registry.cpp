#include "platform/registry.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/linux/registry_tree.h"
#include "platform/machine.h"

namespace platform {

struct RegistryKey {
    std::shared_ptr<const RegistryTree> tree;  // keeps the tree alive while the key is open
    const RegistryNode* node;
};

namespace {

RegistryKey g_rootKey{nullptr, nullptr};

unsigned char Upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

std::vector<std::string_view> SplitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('\\', pos);
        if (slash == std::string_view::npos) slash = path.size();
        if (slash > pos) parts.push_back(path.substr(pos, slash - pos));
        pos = slash + 1;
    }
    return parts;
}

// ---- .reg text ----

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

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHexBytes(std::string_view text, std::string& bytes) {
    bytes.clear();
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ',')) ++i;
        if (i >= text.size()) break;
        int hi = HexValue(text[i]);
        int lo = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
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
            int h = HexValue(c);
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
                int h = HexValue(c);
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

bool RegistryNameLess::operator()(std::string_view a, std::string_view b) const {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = Upper(static_cast<unsigned char>(a[i]));
        unsigned char y = Upper(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

RegistryNode* RegistryTree::Find(std::string_view path) {
    RegistryNode* node = &m_root;
    for (std::string_view part : SplitPath(path)) {
        auto it = node->children.find(part);
        if (it == node->children.end()) return nullptr;
        node = it->second.get();
    }
    return node;
}

RegistryNode* RegistryTree::Create(std::string_view path) {
    RegistryNode* node = &m_root;
    for (std::string_view part : SplitPath(path)) {
        auto& child = node->children[std::string(part)];
        if (!child) {
            child = std::make_unique<RegistryNode>();
            child->name = std::string(part);
        }
        node = child.get();
    }
    return node;
}

void RegistryTree::Delete(std::string_view path) {
    std::vector<std::string_view> parts = SplitPath(path);
    if (parts.empty()) return;
    RegistryNode* parent = &m_root;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        auto it = parent->children.find(parts[i]);
        if (it == parent->children.end()) return;
        parent = it->second.get();
    }
    parent->children.erase(std::string(parts.back()));
}

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
                bool machine = rootName.size() == kRoot.size();
                for (size_t i = 0; machine && i < rootName.size(); ++i) {
                    machine = Upper(static_cast<unsigned char>(rootName[i])) ==
                              static_cast<unsigned char>(kRoot[i]);
                }
                if (machine) {
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

namespace {

// The loaded registry, rebuilt when a file of the registry folder changes. An inotify watch
// on the folder tells of changes with one system call; where there is none, the names, sizes
// and times of the files are compared instead.
struct LoadedRegistry {
    std::mutex mutex;
    std::string folder;
    std::string signature;  // names, sizes and times of the files it was built from
    std::shared_ptr<const RegistryTree> tree;
    int notify = -1;
    bool watching = false;

    ~LoadedRegistry() {
        if (notify >= 0) close(notify);
    }

    // True when the watch says nothing changed since the tree was built.
    bool Unchanged() {
        if (!watching) return false;
        char events[4096];
        ssize_t n = read(notify, events, sizeof events);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        // Something happened (or the watch broke): drain, and watch anew.
        while (n > 0) n = read(notify, events, sizeof events);
        watching = false;
        return false;
    }

    // Watches the folder from now on; changes made after this are seen.
    void Watch(const std::string& nativeFolder) {
        if (notify >= 0) {
            close(notify);
            notify = -1;
        }
        watching = false;
        notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (notify < 0) return;
        constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM |
                                     IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF |
                                     IN_MOVE_SELF;
        watching = inotify_add_watch(notify, nativeFolder.c_str(), kEvents) >= 0;
    }
};

LoadedRegistry& Loaded() {
    static LoadedRegistry loaded;
    return loaded;
}

std::shared_ptr<const RegistryTree> CurrentTree() {
    LoadedRegistry& loaded = Loaded();
    std::lock_guard lock(loaded.mutex);
    std::string folder = MachineRoot() + "registry/";
    if (loaded.tree && folder == loaded.folder && loaded.Unchanged()) return loaded.tree;
    if (folder != loaded.folder || !loaded.watching) loaded.Watch(SjisToUtf8(folder));
    std::vector<FindData> files;
    FindFiles(folder + "*.reg", files);
    std::sort(files.begin(), files.end(), [](const FindData& a, const FindData& b) {
        return RegistryNameLess()(a.name, b.name);
    });
    std::string signature = folder;
    for (const FindData& f : files) {
        signature +=
            '\n' + f.name + '\t' + std::to_string(f.size) + '\t' + std::to_string(f.writeTime);
    }
    loaded.folder = folder;
    if (loaded.tree && signature == loaded.signature) return loaded.tree;

    auto tree = std::make_shared<RegistryTree>();
    for (const FindData& f : files) {
        if (f.attributes & kAttributeDirectory) continue;
        File file;
        if (!file.Open(folder + f.name, File::Access::Read, File::Disposition::OpenExisting,
                       File::Share::Read)) {
            continue;
        }
        std::string bytes;
        char buffer[65536];
        size_t got = 0;
        while (file.Read(buffer, sizeof buffer, &got) && got > 0) bytes.append(buffer, got);
        ParseRegFile(bytes, *tree);
    }
    loaded.tree = tree;
    loaded.signature = signature;
    return loaded.tree;
}

const RegistryNode* NodeOf(HKEY key, std::shared_ptr<const RegistryTree>& tree) {
    if (key == HKEY_LOCAL_MACHINE) {
        tree = CurrentTree();
        return &tree->Root();
    }
    if (!key) return nullptr;
    tree = key->tree;
    return key->node;
}

}  // namespace

const HKEY HKEY_LOCAL_MACHINE = &g_rootKey;

DWORD RegOpenKeyEx(HKEY parent, std::string_view subKey, HKEY& key) {
    key = nullptr;
    std::shared_ptr<const RegistryTree> tree;
    const RegistryNode* node = NodeOf(parent, tree);
    if (!node) return kErrorInvalidHandle;
    // Names are kept in UTF-8; an ASCII path (the usual case) needs no conversion.
    std::string converted;
    std::string_view path = subKey;
    for (unsigned char c : subKey) {
        if (c >= 0x80) {
            converted = SjisToUtf8(subKey);
            path = converted;
            break;
        }
    }
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('\\', pos);
        if (slash == std::string_view::npos) slash = path.size();
        if (slash > pos) {
            auto it = node->children.find(path.substr(pos, slash - pos));
            if (it == node->children.end()) return kErrorFileNotFound;
            node = it->second.get();
        }
        pos = slash + 1;
    }
    key = new RegistryKey{tree, node};
    return kErrorSuccess;
}

DWORD RegEnumKeyEx(HKEY key, DWORD index, std::string& name) {
    std::shared_ptr<const RegistryTree> tree;
    const RegistryNode* node = NodeOf(key, tree);
    if (!node) return kErrorInvalidHandle;
    if (index >= node->children.size()) return kErrorNoMoreItems;
    auto it = node->children.begin();
    std::advance(it, index);
    name = Utf8ToSjis(it->second->name);
    return kErrorSuccess;
}

DWORD RegQueryValueEx(HKEY key, std::string_view valueName, DWORD& type, std::string& data) {
    std::shared_ptr<const RegistryTree> tree;
    const RegistryNode* node = NodeOf(key, tree);
    if (!node) return kErrorInvalidHandle;
    auto it = node->values.find(SjisToUtf8(valueName));
    if (it == node->values.end()) return kErrorFileNotFound;
    const RegistryValue& value = it->second;
    type = value.type;
    if (value.type == kRegSz || value.type == kRegExpandSz || value.type == kRegMultiSz) {
        data = Utf8ToSjis(value.data);
        data += '\0';
    } else {
        data = value.data;
    }
    return kErrorSuccess;
}

DWORD RegCloseKey(HKEY key) {
    if (!key) return kErrorInvalidHandle;
    if (key != HKEY_LOCAL_MACHINE) delete key;
    return kErrorSuccess;
}

bool RegReadString(HKEY key, std::string_view valueName, std::string& value) {
    DWORD type = 0;
    std::string data;
    if (RegQueryValueEx(key, valueName, type, data) != kErrorSuccess) return false;
    if (type != kRegSz && type != kRegExpandSz) return false;
    value = CutAtZero(std::move(data));
    return true;
}

bool RegReadDword(HKEY key, std::string_view valueName, DWORD& value) {
    DWORD type = 0;
    std::string data;
    if (RegQueryValueEx(key, valueName, type, data) != kErrorSuccess) return false;
    if (type != kRegDword || data.size() != 4) return false;
    std::memcpy(&value, data.data(), 4);
    return true;
}

bool ReadMachineString(std::string_view keyPath, std::string_view valueName, std::string& value) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, keyPath, key) != kErrorSuccess) return false;
    bool ok = RegReadString(key, valueName, value);
    RegCloseKey(key);
    return ok;
}

bool ReadMachineDword(std::string_view keyPath, std::string_view valueName, DWORD& value) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, keyPath, key) != kErrorSuccess) return false;
    bool ok = RegReadDword(key, valueName, value);
    RegCloseKey(key);
    return ok;
}

bool AppendMachineRegistry(std::string_view regLinesUtf8) {
    std::string folder = MachineRoot() + "registry/";
    if (!ForceDirectories(folder)) return false;
    File file;
    if (!file.Open(folder + "zz-local.reg", File::Access::Write, File::Disposition::OpenAlways,
                   File::Share::None)) {
        return false;
    }
    std::uint64_t size = 0;
    if (!file.Size(size) || !file.SeekToEnd()) return false;
    std::string text;
    if (size == 0) text = "Windows Registry Editor Version 5.00\r\n\r\n";
    text.append(regLinesUtf8);
    text += "\r\n";
    return file.Write(text.data(), text.size());
}

std::string RegKeyLine(std::string_view keyPathUtf8) {
    return "[HKEY_LOCAL_MACHINE\\" + std::string(keyPathUtf8) + "]\r\n";
}

std::string RegStringLine(std::string_view nameUtf8, std::string_view valueUtf8) {
    return Quote(nameUtf8) + "=" + Quote(valueUtf8) + "\r\n";
}

std::string RegExpandStringLine(std::string_view nameUtf8, std::string_view valueUtf8) {
    // hex(2): the UTF-16LE bytes of the text and its terminator.
    std::u16string units = Utf8ToUtf16(valueUtf8);
    units += u'\0';
    std::string line = Quote(nameUtf8) + "=hex(2):";
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < units.size(); ++i) {
        for (int shift : {0, 8}) {
            unsigned b = (units[i] >> shift) & 0xFF;
            if (i > 0 || shift > 0) line += ',';
            line += kDigits[b >> 4];
            line += kDigits[b & 15];
        }
    }
    return line + "\r\n";
}

std::string RegDwordLine(std::string_view nameUtf8, DWORD value) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x", value);
    return Quote(nameUtf8) + "=dword:" + digits + "\r\n";
}

}  // namespace platform

// The registry as the program reads it: built from the .reg files of the machine's registry
// folder, rebuilt when they change.
#include "platform/machine/registry.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/freshness.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry_files.h"

namespace platform {

struct RegistryKey {
    std::shared_ptr<const RegistryTree> tree;  // keeps the tree alive while the key is open
    const RegistryNode* node;
};

namespace {

RegistryKey g_rootKey{nullptr, nullptr};

// The loaded registry. Whether the files changed is asked at most every kRecheckMilliseconds,
// and at once after this process changed them: an inotify watch on the folder answers with one
// system call; where there is none (no folder yet), the names, sizes and times of the files are
// compared.
class LoadedRegistry {
public:
    std::shared_ptr<const RegistryTree> Current();
    std::uint64_t Generation() {
        Current();
        std::lock_guard lock(m_mutex);
        return m_generation;
    }

private:
    bool Unchanged();
    void Watch(const std::string& nativeFolder);
    void Rebuild(const std::string& folder);

    std::mutex m_mutex;
    std::string m_root;
    std::string m_folder;
    std::string m_signature;  // names, sizes and times of the files it was built from
    std::shared_ptr<const RegistryTree> m_tree;
    int m_notify = -1;
    bool m_watching = false;
    std::int64_t m_checkedAt = 0;
    std::uint64_t m_localChanges = 0;
    std::uint64_t m_generation = 1;
};

// True when the watch says nothing changed since the tree was built.
bool LoadedRegistry::Unchanged() {
    if (!m_watching) return false;
    char events[4096];
    ssize_t n = read(m_notify, events, sizeof events);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    // Something happened (or the watch broke): drain, and watch anew.
    while (n > 0) n = read(m_notify, events, sizeof events);
    m_watching = false;
    return false;
}

// Watches the folder from now on; changes made after this are seen.
void LoadedRegistry::Watch(const std::string& nativeFolder) {
    // A new descriptor drops the watch of the folder watched before.
    if (m_notify >= 0) close(m_notify);
    m_notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    m_watching = false;
    if (m_notify < 0) return;
    constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO |
                                 IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
    m_watching = inotify_add_watch(m_notify, nativeFolder.c_str(), kEvents) >= 0;
}

void LoadedRegistry::Rebuild(const std::string& folder) {
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
    if (m_tree && signature == m_signature) return;
    auto tree = std::make_shared<RegistryTree>();
    for (const FindData& f : files) {
        std::string bytes;
        if (!(f.attributes & kAttributeDirectory) && ReadWholeFile(folder + f.name, bytes)) {
            ParseRegFile(bytes, *tree);
        }
    }
    m_tree = std::move(tree);
    m_signature = std::move(signature);
    ++m_generation;
}

std::shared_ptr<const RegistryTree> LoadedRegistry::Current() {
    std::lock_guard lock(m_mutex);
    const std::string& root = MachineRoot();
    const std::int64_t now = CoarseMilliseconds();
    const std::uint64_t localChanges = LocalMachineChanges();
    if (m_tree && root == m_root && localChanges == m_localChanges &&
        now - m_checkedAt < kRecheckMilliseconds) {
        return m_tree;
    }
    m_root = root;
    const std::string folder = root + "registry/";
    m_checkedAt = now;
    m_localChanges = localChanges;
    if (m_tree && folder == m_folder && Unchanged()) return m_tree;
    if (folder != m_folder || !m_watching) Watch(PathToNative(folder));
    m_folder = folder;
    Rebuild(folder);
    return m_tree;
}

LoadedRegistry& Loaded() {
    static LoadedRegistry loaded;
    return loaded;
}

const RegistryNode* NodeOf(HKEY key, std::shared_ptr<const RegistryTree>& tree) {
    if (key == HKEY_LOCAL_MACHINE) {
        tree = Loaded().Current();
        return &tree->Root();
    }
    if (!key) return nullptr;
    tree = key->tree;
    return key->node;
}

std::string CutAtZero(std::string text) {
    const size_t zero = text.find('\0');
    if (zero != std::string::npos) text.resize(zero);
    return text;
}

}  // namespace

const HKEY HKEY_LOCAL_MACHINE = &g_rootKey;

std::uint64_t RegistryGeneration() { return Loaded().Generation(); }

DWORD RegOpenKeyEx(HKEY parent, std::string_view subKey, HKEY& key) {
    key = nullptr;
    std::shared_ptr<const RegistryTree> tree;
    const RegistryNode* node = NodeOf(parent, tree);
    if (!node) return kErrorInvalidHandle;
    // Names are kept in UTF-8; an ASCII path (the usual case) needs no conversion.
    const std::string converted = SjisToUtf8(subKey);
    const std::string_view path = converted;
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
    key = new RegistryKey{std::move(tree), node};
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
    UniqueKey key;
    return RegOpenKeyEx(HKEY_LOCAL_MACHINE, keyPath, key.Out()) == kErrorSuccess &&
           RegReadString(key.Get(), valueName, value);
}

bool ReadMachineDword(std::string_view keyPath, std::string_view valueName, DWORD& value) {
    UniqueKey key;
    return RegOpenKeyEx(HKEY_LOCAL_MACHINE, keyPath, key.Out()) == kErrorSuccess &&
           RegReadDword(key.Get(), valueName, value);
}

namespace {

// Every key and value of part is in whole, alike.
bool Contains(const RegistryNode& whole, const RegistryNode& part) {
    for (const auto& [name, value] : part.values) {
        const auto it = whole.values.find(name);
        if (it == whole.values.end() || it->second.type != value.type ||
            it->second.data != value.data) {
            return false;
        }
    }
    for (const auto& [name, child] : part.children) {
        const auto it = whole.children.find(name);
        if (it == whole.children.end() || !Contains(*it->second, *child)) return false;
    }
    return true;
}

constexpr char kRegHeader[] = "Windows Registry Editor Version 5.00\r\n";

// The file with the lines added at its end, in its own encoding, after a line end of its own;
// empty when the file is no "Version 5.00" file or would not hold the lines as written (its
// last line continues into them, say).
std::string WithLines(const std::string& bytes, std::string_view linesUtf8) {
    std::string updated;
    if (bytes.empty()) {
        updated = std::string(kRegHeader) + "\r\n" + std::string(linesUtf8) + "\r\n";
    } else {
        const bool utf16 = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                           static_cast<unsigned char>(bytes[1]) == 0xFE;
        const bool utf8Bom = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
        std::string text = utf16 ? Utf16ToUtf8(Utf16FromBytes(std::string_view(bytes).substr(2)))
                                 : bytes.substr(utf8Bom ? 3 : 0);
        if (text.rfind("Windows Registry Editor Version 5.00", 0) != 0) return std::string();
        if (text.back() != '\n' && text.back() != '\r') text += "\r\n";
        text += "\r\n" + std::string(linesUtf8) + "\r\n";
        updated = utf16 ? "\xFF\xFE" + Utf16ToBytes(Utf8ToUtf16(text))
                        : (utf8Bom ? "\xEF\xBB\xBF" : "") + text;
    }
    RegistryTree whole, part;
    ParseRegFile(updated, whole);
    ParseRegFile(std::string(kRegHeader) + "\r\n" + std::string(linesUtf8) + "\r\n", part);
    return Contains(whole.Root(), part.Root()) ? updated : std::string();
}

}  // namespace

bool AppendMachineRegistry(std::string_view regLinesUtf8) {
    const std::string folder = MachineRoot() + "registry/";
    if (!ForceDirectories(folder)) return false;
    // Our own file, unless it cannot take the lines (damaged, another format): then one that
    // sorts after it, so that what is added still wins. Each is replaced whole, never appended
    // to in place, so that a kill leaves it as it was or with the lines.
    for (const char* name : {"zz-local.reg", "zz-local5.reg"}) {
        const std::string path = folder + name;
        std::string bytes;
        if (!ReadWholeFile(path, bytes) && GetLastError() != kErrorFileNotFound) return false;
        const std::string updated = WithLines(bytes, regLinesUtf8);
        if (updated.empty()) continue;
        const bool written = WritePrivateFileAtomically(path, updated, true);
        NoteLocalMachineChange();
        return written;
    }
    SetLastError(kErrorInvalidData);
    return false;
}

bool WriteRegistryFile(std::string_view name, std::string_view bytes) {
    const std::string folder = MachineRoot() + "registry/";
    if (!ForceDirectories(folder)) return false;
    File file;
    const bool written = file.Open(folder + std::string(name), File::Access::Write,
                                   File::Disposition::CreateAlways, File::Share::None) &&
                         file.Write(bytes.data(), bytes.size());
    NoteLocalMachineChange();
    return written;
}

}  // namespace platform

// Message files loaded as data: each file is parsed once and kept while it stays the same.
#include "platform/machine/msgfile.h"

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/files.h"
#include "platform/freshness.h"
#include "platform/machine/machine.h"
#include "platform/machine/root/machine_paths.h"

namespace platform {
namespace {

struct Parsed {
    std::vector<MessageResource> resources;
    std::vector<std::unordered_map<DWORD, size_t>> index;  // per resource: id -> entry
    // The table the system reads for "any language": the one named 1 the search picks.
    const MessageResource* defaultTable = nullptr;
};

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

std::vector<const MessageResource*> TablesNamed(const Parsed& parsed, const std::string& name) {
    std::vector<const MessageResource*> tables;
    for (const MessageResource& r : parsed.resources) {
        if (r.name == name) tables.push_back(&r);
    }
    return tables;
}

// What a load of one path found, checked against the file again when it is older than the
// recheck time or this process changed files since.
struct CacheEntry {
    std::string root;  // the machine the path was mapped in
    std::uint64_t size = 0, inode = 0, seconds = 0, nanoseconds = 0;
    std::shared_ptr<const Parsed> parsed;  // null: the load failed with `error`
    DWORD error = 0;
    std::int64_t checkedAt = 0;
    std::uint64_t localChanges = 0;
};

std::mutex g_cacheMutex;
std::unordered_map<std::string, CacheEntry> g_cache;

bool Fail(DWORD code) {
    SetLastError(code);
    return false;
}

// Maps the path (a bare name is looked for where the system keeps its libraries), reads and
// parses the file unless the entry already holds it.
void Load(const std::string& windowsPath, CacheEntry& entry) {
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
        entry.parsed.reset();
        entry.error = GetLastError();
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        entry.parsed.reset();
        entry.error = kErrorAccessDenied;
        return;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const auto inode = static_cast<std::uint64_t>(st.st_ino);
    const auto seconds = static_cast<std::uint64_t>(st.st_mtim.tv_sec);
    const auto nanoseconds = static_cast<std::uint64_t>(st.st_mtim.tv_nsec);
    if (entry.parsed && entry.size == size && entry.inode == inode && entry.seconds == seconds &&
        entry.nanoseconds == nanoseconds) {
        return;
    }
    entry.size = size, entry.inode = inode, entry.seconds = seconds;
    entry.nanoseconds = nanoseconds;
    entry.parsed.reset();
    std::string bytes;
    if (!ReadWholeFile(path, bytes)) {
        entry.error = GetLastError();
        return;
    }
    auto parsed = std::make_shared<Parsed>();
    if (!ParseMessageFile(bytes, parsed->resources)) {
        entry.error = kErrorBadExeFormat;
        return;
    }
    for (const MessageResource& r : parsed->resources) {
        std::unordered_map<DWORD, size_t> index;
        for (size_t i = 0; i < r.entries.size(); ++i) index.emplace(r.entries[i].id, i);
        parsed->index.push_back(std::move(index));
    }
    parsed->defaultTable = PickLanguage(TablesNamed(*parsed, "#1"), 0);
    entry.parsed = std::move(parsed);
}

}  // namespace

struct MessageModule {
    std::shared_ptr<const Parsed> parsed;
};

HMODULE LoadLibraryAsDatafile(const std::string& windowsPath) {
    std::lock_guard lock(g_cacheMutex);
    CacheEntry& entry = g_cache[windowsPath];
    const std::string& root = MachineRoot();
    const std::int64_t now = CoarseMilliseconds();
    const std::uint64_t localChanges = LocalMachineChanges();
    if (entry.checkedAt == 0 || entry.root != root || entry.localChanges != localChanges ||
        now - entry.checkedAt >= kRecheckMilliseconds) {
        if (entry.root != root) entry = CacheEntry();
        entry.root = root;
        Load(windowsPath, entry);
        entry.checkedAt = now == 0 ? 1 : now;
        entry.localChanges = localChanges;
    }
    if (!entry.parsed) {
        SetLastError(entry.error);
        return nullptr;
    }
    return new MessageModule{entry.parsed};
}

bool FreeLibrary(HMODULE module) {
    if (!module) return Fail(kErrorInvalidHandle);
    delete module;
    return true;
}

std::vector<MessageTableEntry> EnumerateMessageTables(HMODULE module) {
    std::vector<MessageTableEntry> all;
    if (!module) return all;
    const Parsed& parsed = *module->parsed;
    std::vector<std::string> names;
    for (const MessageResource& r : parsed.resources) {
        if (std::find(names.begin(), names.end(), r.name) == names.end()) names.push_back(r.name);
    }
    for (const std::string& name : names) {
        if (const MessageResource* r = PickLanguage(TablesNamed(parsed, name), 0)) {
            all.insert(all.end(), r->entries.begin(), r->entries.end());
        }
    }
    return all;
}

bool FindMessage(HMODULE module, DWORD messageId, DWORD languageId, std::string& text) {
    if (!module) return Fail(kErrorInvalidHandle);
    const Parsed& parsed = *module->parsed;
    // The system looks in the message table named 1.
    const MessageResource* picked = parsed.defaultTable;
    if (languageId != 0 || !picked) {
        const std::vector<const MessageResource*> tables = TablesNamed(parsed, "#1");
        if (tables.empty()) return Fail(kErrorResourceTypeNotFound);
        picked = PickLanguage(tables, languageId);
    }
    if (!picked) return Fail(kErrorMrMidNotFound);
    const auto& index = parsed.index[static_cast<size_t>(picked - parsed.resources.data())];
    auto it = index.find(messageId);
    if (it == index.end()) return Fail(kErrorMrMidNotFound);
    text = picked->entries[it->second].text;
    return true;
}

bool FormatMessageFromModule(HMODULE module, DWORD messageId, DWORD languageId, bool ignoreInserts,
                             const std::vector<std::string>* args, std::string& out) {
    std::string text;
    if (!FindMessage(module, messageId, languageId, text)) return false;
    return FormatMessageFromString(text, ignoreInserts, args, out);
}

}  // namespace platform

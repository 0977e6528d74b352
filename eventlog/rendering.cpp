#include "eventlog/rendering.h"

#include <cstdio>
#include <functional>
#include <string_view>
#include <unordered_map>

#include "platform/codepage.h"
#include "platform/machine/machine.h"
#include "platform/machine/msgfile.h"
#include "platform/machine/registry.h"

namespace {

constexpr platform::DWORD kExpansionBuffer = 260;

std::string SourceKey(const std::string& logName, const std::string& sourceName) {
    return std::string(platform::kEventLogKey) + "\\" + logName + "\\" + sourceName;
}

// The first text that a file of the list holds for the number, inserts left as they are.
std::string LookUpMessage(const std::vector<std::string>& files, std::uint32_t number) {
    for (const std::string& path : files) {
        platform::UniqueModule module(platform::LoadLibraryAsDatafile(path));
        std::string text;
        if (module &&
            platform::FormatMessageFromModule(module.Get(), number, 0, true, nullptr, text)) {
            return text;
        }
    }
    return std::string();
}

}  // namespace

std::string ExpandEnvironment(const std::string& text) {
    std::string out;
    platform::DWORD needed = platform::ExpandEnvironmentStrings(text, out, kExpansionBuffer);
    // Too long for the buffer counts as a failure: the text stays as it was.
    if (needed == 0 || needed > kExpansionBuffer) return text;
    return out;
}

namespace {

// The files a value of an open source key lists; empty when the value is missing.
std::vector<std::string> FilesOfValue(platform::HKEY key, const std::string& valueName) {
    std::vector<std::string> files;
    std::string value;
    if (!platform::RegReadString(key, valueName, value)) return files;
    std::string expanded = ExpandEnvironment(value);
    size_t pos = 0;
    for (;;) {
        size_t semicolon = expanded.find(';', pos);
        files.push_back(expanded.substr(
            pos, semicolon == std::string::npos ? std::string::npos : semicolon - pos));
        if (semicolon == std::string::npos) break;
        pos = semicolon + 1;
    }
    return files;
}

// The files a source's categories come from: its CategoryMessageFile when that is a text value
// (REG_SZ or REG_EXPAND_SZ), else its event files; a value of another type counts as none.
std::vector<std::string> CategoryFilesOfKey(platform::HKEY key,
                                            const std::vector<std::string>& eventFiles) {
    platform::DWORD type = 0;
    std::string data;
    const bool own = platform::RegQueryValueEx(key, "CategoryMessageFile", type, data) ==
                         platform::kErrorSuccess &&
                     (type == platform::kRegSz || type == platform::kRegExpandSz);
    return own ? FilesOfValue(key, "CategoryMessageFile") : eventFiles;
}

}  // namespace

std::vector<std::string> CategoryMessageFiles(const std::string& logName,
                                              const std::string& sourceName) {
    platform::UniqueKey key;
    if (platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, SourceKey(logName, sourceName),
                               key.Out()) != platform::kErrorSuccess) {
        return {};
    }
    return CategoryFilesOfKey(key.Get(), FilesOfValue(key.Get(), "EventMessageFile"));
}

std::vector<std::string> MessageFiles(const std::string& logName, const std::string& sourceName,
                                      const std::string& valueName) {
    platform::UniqueKey key;
    if (platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, SourceKey(logName, sourceName),
                               key.Out()) != platform::kErrorSuccess) {
        return {};
    }
    return FilesOfValue(key.Get(), valueName);
}

namespace {

// What the registry says about one source's message files, kept while the registry stays the
// same: every record of the source needs it.
struct SourceFiles {
    std::vector<std::string> events;
    // The event files serve for categories only when the category value does not exist at all.
    std::vector<std::string> categories;
};

struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
};

const SourceFiles& FilesOf(const std::string& logName, const std::string& sourceName) {
    using BySource = std::unordered_map<std::string, SourceFiles, TextHash, std::equal_to<>>;
    thread_local std::unordered_map<std::string, BySource, TextHash, std::equal_to<>> cache;
    thread_local std::uint64_t generation = 0;
    const std::uint64_t now = platform::RegistryGeneration();
    if (now != generation || cache.size() > 256) {
        cache.clear();
        generation = now;
    }
    BySource& sources = cache[logName];
    auto it = sources.find(std::string_view(sourceName));
    if (it != sources.end()) return it->second;
    if (sources.size() > 4096) sources.clear();
    SourceFiles files;
    platform::UniqueKey key;
    if (platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, SourceKey(logName, sourceName),
                               key.Out()) == platform::kErrorSuccess) {
        files.events = FilesOfValue(key.Get(), "EventMessageFile");
        files.categories = CategoryFilesOfKey(key.Get(), files.events);
    }
    return sources.emplace(sourceName, std::move(files)).first->second;
}

}  // namespace

std::string EventDescription(const std::string& logName, const std::string& sourceName,
                             std::uint32_t eventId, const std::vector<std::string>& strings,
                             std::uint16_t count) {
    std::string message = LookUpMessage(FilesOf(logName, sourceName).events, eventId);
    if (message.empty()) return message;

    // The highest insert the message uses; "%%" is skipped whole, any other % reads a number.
    std::uint16_t highest = 0;
    for (size_t i = 0; i < message.size(); ++i) {
        if (message[i] != '%') continue;
        if (i + 1 < message.size() && message[i + 1] == '%') {
            ++i;
            continue;
        }
        std::uint32_t number = 0;
        for (size_t j = i + 1; j < message.size() && message[j] >= '0' && message[j] <= '9'; ++j) {
            number = number * 10 + static_cast<std::uint32_t>(message[j] - '0');
            number &= 0xFFFFFF;  // only its low 16 bits count; keep it from overflowing
        }
        highest = std::max(highest, static_cast<std::uint16_t>(number));
    }
    std::vector<std::string> args(strings.begin(),
                                  strings.begin() + std::min<size_t>(count, strings.size()));
    // Inserts the record does not supply come out as their own markers.
    while (args.size() < highest) {
        char filler[16];
        std::snprintf(filler, sizeof filler, "%%%d", static_cast<int>(args.size() + 1));
        args.push_back(filler);
    }
    std::string formatted;
    if (platform::FormatMessageFromString(message, false, &args, formatted)) return formatted;
    return message;
}

std::string CategoryText(const std::string& logName, const std::string& sourceName,
                         std::uint16_t category) {
    return LookUpMessage(FilesOf(logName, sourceName).categories, category);
}

std::string TrimControls(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 0x20) ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 0x20) --end;
    return text.substr(begin, end - begin);
}

std::string DataDescription(const std::vector<std::string>& names,
                            const std::vector<std::string>& values) {
    if (values.empty()) return std::string();
    std::string text =
        sjis(u8"メッセージファイルがないため、イベントのデータを名前と値で示します。");
    for (size_t i = 0; i < values.size(); ++i) {
        const std::string name =
            i < names.size() && !names[i].empty() ? names[i] : std::to_string(i + 1);
        text += "\r\n" + name + ": " + values[i];
    }
    return text;
}

#include "eventlog/catalog.h"

#include <cstdio>

#include "eventlog/rendering.h"
#include "platform/codepage.h"
#include "platform/machine/machine.h"
#include "platform/machine/msgfile.h"
#include "platform/machine/registry.h"

namespace {

bool ListSubkeys(const std::string& path, std::vector<std::string>& list) {
    platform::UniqueKey key;
    if (platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, path, key.Out()) !=
        platform::kErrorSuccess) {
        return false;
    }
    list.clear();
    std::string name;
    for (platform::DWORD i = 0;
         platform::RegEnumKeyEx(key.Get(), i, name) == platform::kErrorSuccess; ++i) {
        list.push_back(name);
    }
    return true;
}

std::vector<MessageEntry> FileEntries(const std::string& path) {
    std::vector<MessageEntry> entries;
    platform::UniqueModule module(platform::LoadLibraryAsDatafile(path));
    if (!module) return entries;
    for (platform::MessageTableEntry& e : platform::EnumerateMessageTables(module.Get())) {
        std::string text = std::move(e.text);
        size_t cut = text.find("%0");
        if (cut != std::string::npos) text.resize(cut);
        entries.push_back({e.id, std::move(text)});
    }
    return entries;
}

}  // namespace

void ListLogs(std::vector<std::string>& list) {
    ListSubkeys(std::string(platform::kEventLogKey), list);
}

void ListSources(const std::string& logName, std::vector<std::string>& list) {
    ListSubkeys(std::string(platform::kEventLogKey) + "\\" + logName, list);
}

std::uint32_t GetCategoryCount(const std::string& logName, const std::string& sourceName) {
    platform::DWORD count = 0;
    if (!platform::ReadMachineDword(
            std::string(platform::kEventLogKey) + "\\" + logName + "\\" + sourceName,
            "CategoryCount", count)) {
        return 0;
    }
    return count;
}

void ListCategories(const std::string& logName, const std::string& sourceName,
                    std::vector<std::string>& list) {
    list.clear();
    const std::uint32_t count = GetCategoryCount(logName, sourceName);
    if (count == 0) return;
    for (const std::string& path : CategoryMessageFiles(logName, sourceName)) {
        for (const MessageEntry& e : FileEntries(path)) {
            if (e.id <= count) list.push_back(TrimControls(e.text));
        }
    }
}

void ListEventMessages(const std::string& logName, const std::string& sourceName,
                       std::vector<MessageEntry>& list) {
    list.clear();
    const std::uint32_t count = GetCategoryCount(logName, sourceName);
    for (const std::string& path : MessageFiles(logName, sourceName, "EventMessageFile")) {
        for (MessageEntry& e : FileEntries(path)) {
            // Category names kept in the same file are not events.
            if (e.id > count) list.push_back(std::move(e));
        }
    }
}

void ListEventIDs(const std::string& logName, const std::string& sourceName, std::uint8_t typeMask,
                  std::vector<std::string>& list) {
    std::vector<MessageEntry> messages;
    ListEventMessages(logName, sourceName, messages);
    for (const MessageEntry& e : messages) {
        const unsigned severity = e.id >> 30;
        const bool fits = severity == 0 || (severity == 1 && (typeMask & 4)) ||
                          (severity == 2 && (typeMask & 2)) || (severity == 3 && (typeMask & 1));
        if (!fits) continue;
        char text[16];
        std::snprintf(text, sizeof text, "%5d", static_cast<int>(e.id & 0xFFFF));
        list.push_back(text);
    }
}

const std::string& AnyValueText() {
    // Asked for with every entry of every record: converted once.
    static const std::string& text = sjis(u8"特定しない");
    return text;
}

const std::string& EventTypeName(std::uint16_t type) {
    switch (type) {
        case 1: return sjis(u8"エラー");
        case 2: return sjis(u8"警告");
        case 4: return sjis(u8"情報");
        case 8: return sjis(u8"成功の監査");
        case 16: return sjis(u8"失敗の監査");
        default: return AnyValueText();
    }
}

std::uint16_t EventTypeCode(const std::string& name) {
    for (std::uint16_t code : {1, 2, 4, 8, 16}) {
        if (EventTypeName(code) == name) return code;
    }
    return 0;
}

std::string EventIDText(std::uint32_t id) {
    if (id == 0) return AnyValueText();
    return std::to_string(id);
}

std::uint32_t EventIDValue(const std::string& text) {
    if (text == AnyValueText()) return 0;
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
    }
    return negative ? 0u - value : value;
}

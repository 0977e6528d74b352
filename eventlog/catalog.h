#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The machine's logs, sources, categories and event identifiers, for the watch entry editor,
// and the conversions between a watch entry's stored values and their texts. Texts are CP932.

struct MessageEntry {
    std::uint32_t id;
    std::string text;
};

// Replace the list with the logs of the machine / the sources of a log, in the registry's
// order; the list stays as it was when the key cannot be opened.
void ListLogs(std::vector<std::string>& list);
void ListSources(const std::string& logName, std::vector<std::string>& list);

// The source's CategoryCount, 0 when missing.
std::uint32_t GetCategoryCount(const std::string& logName, const std::string& sourceName);

// The category names of a source (trimmed), from its category message files.
void ListCategories(const std::string& logName, const std::string& sourceName,
                    std::vector<std::string>& list);

// Every event message of a source: its message files' entries above CategoryCount.
void ListEventMessages(const std::string& logName, const std::string& sourceName,
                       std::vector<MessageEntry>& list);

// Appends "%5d" of the low 16 bits of each event message whose severity fits the mask
// (bit 1 error, 2 warning, 4 informational; success always).
void ListEventIDs(const std::string& logName, const std::string& sourceName, std::uint8_t typeMask,
                  std::vector<std::string>& list);

// "特定しない": the any-value of a watch entry's log, source and category.
const std::string& AnyValueText();

// "エラー", "警告", "情報", "成功の監査", "失敗の監査", and "特定しない" for any other value.
const std::string& EventTypeName(std::uint16_t type);
// The type whose name is exactly the text; 0 for any other text.
std::uint16_t EventTypeCode(const std::string& name);

// 0 gives "特定しない", any other value its unsigned decimal digits.
std::string EventIDText(std::uint32_t id);
// "特定しない" gives 0; any other text is read as a decimal number after leading blanks.
std::uint32_t EventIDValue(const std::string& text);

#include "config/lists.h"

#include <algorithm>
#include <cstdio>

#include "config/datafile.h"
#include "config/settings.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace {

bool ReadAddressRecord(Datafile& file, std::int16_t version, AddressEntry& entry) {
    if (version == 0x0100) {
        return file.ReadString(entry.MailAddr) && file.ReadString(entry.Name) &&
               file.ReadString(entry.Post) && file.ReadString(entry.Contact);
    }
    return file.ReadString(entry.MailAddr) && file.ReadString(entry.UserName) &&
           file.ReadString(entry.Name) && file.ReadString(entry.Post) &&
           file.ReadString(entry.Contact);
}

bool ReadActions(Datafile& file, WatchEntry& entry) {
    std::int32_t count = 0;
    if (!file.ReadInt(count)) return false;
    // A negative count means no actions. A huge one ends at the first item the file lacks.
    for (std::int32_t i = 0; i < count; ++i) {
        std::int32_t kind = 0;
        ActionEntry action;
        if (!file.ReadInt(kind) || !file.ReadString(action.Param)) return false;
        action.Kind = static_cast<std::int8_t>(kind);
        entry.ToDoList.push_back(std::move(action));
    }
    return true;
}

bool ReadWatchRecord(Datafile& file, std::int16_t version, WatchEntry& e) {
    switch (version) {
        case 0x0104:
        case 0x0103: {
            if (!file.ReadInt(e.EventNum)) return false;
            if (version == 0x0104 && !file.ReadString(e.MailSubject)) return false;
            return file.ReadString(e.LogName) && file.ReadString(e.SourceName) &&
                   file.ReadShort(e.Type) && file.ReadInt(e.EventID) &&
                   file.ReadString(e.Category) && file.ReadString(e.Condition) &&
                   file.ReadString(e.Note) && ReadActions(file, e) && file.ReadTextList(e.AddrList);
        }
        case 0x0102:
            return file.ReadString(e.LogName) && file.ReadString(e.SourceName) &&
                   file.ReadShort(e.Type) && file.ReadInt(e.EventID) &&
                   file.ReadString(e.Category) && file.ReadString(e.Condition) &&
                   file.ReadTextList(e.AddrList);
        case 0x0101: {
            std::vector<std::string> keywords;
            std::string dropText;
            std::int16_t dropShort;
            std::int32_t dropInt;
            if (!(file.ReadString(e.LogName) && file.ReadString(e.SourceName) &&
                  file.ReadShort(e.Type) && file.ReadInt(e.EventID) &&
                  file.ReadString(e.Category) && file.ReadTextList(keywords))) {
                return false;
            }
            // Six items of a feature the later versions dropped.
            if (!(file.ReadString(dropText) && file.ReadString(dropText) &&
                  file.ReadShort(dropShort) && file.ReadInt(dropInt) && file.ReadString(dropText) &&
                  file.ReadString(dropText))) {
                return false;
            }
            e.Condition = KeywordsToCondition(keywords);
            return file.ReadTextList(e.AddrList);
        }
        case 0x0100:
            return file.ReadString(e.LogName) && file.ReadString(e.SourceName) &&
                   file.ReadShort(e.Type) && file.ReadInt(e.EventID) &&
                   file.ReadString(e.Category) && file.ReadTextList(e.AddrList);
        default: return false;
    }
}

bool WriteWatchRecord(Datafile& file, const WatchEntry& e) {
    if (!(file.WriteInt(e.EventNum) && file.WriteString(e.MailSubject) &&
          file.WriteString(e.LogName) && file.WriteString(e.SourceName) &&
          file.WriteShort(e.Type) && file.WriteInt(e.EventID) && file.WriteString(e.Category) &&
          file.WriteString(e.Condition) && file.WriteString(e.Note) &&
          file.WriteInt(static_cast<std::int32_t>(e.ToDoList.size())))) {
        return false;
    }
    for (const ActionEntry& action : e.ToDoList) {
        if (!file.WriteInt(action.Kind) || !file.WriteString(action.Param)) return false;
    }
    return file.WriteTextList(e.AddrList);
}

// Opens a list file and reads its version; false (file closed) when it cannot, or when the
// version is not one of first..last.
bool OpenForLoading(Datafile& file, const std::string& path, std::int16_t first, std::int16_t last,
                    std::int16_t& version) {
    if (!file.Open(path, Datafile::Mode::Read)) return false;
    if (!file.ReadShort(version) || version < first || version > last) {
        file.Close();
        return false;
    }
    return true;
}

}  // namespace

std::string AddressListPath() { return ConfigDirectory() + "MAIL.DAT"; }

std::string WatchListPath() { return ConfigDirectory() + "WATCH.DAT"; }

bool LoadAddressList(AddressList& list) {
    Datafile file;
    std::int16_t version = 0;
    if (!OpenForLoading(file, AddressListPath(), 0x0100, 0x0101, version)) return false;
    bool complete = true;
    while (!file.AtEnd()) {
        auto entry = std::make_unique<AddressEntry>();
        if (!ReadAddressRecord(file, version, *entry)) {
            complete = false;
            break;
        }
        list.push_back(std::move(entry));
    }
    file.Close();
    return complete;
}

bool LoadWatchList(WatchList& list, std::vector<std::string>* ruleWarnings) {
    Datafile file;
    std::int16_t version = 0;
    if (!OpenForLoading(file, WatchListPath(), 0x0100, 0x0104, version)) return false;
    bool complete = true;
    while (!file.AtEnd()) {
        auto entry = std::make_unique<WatchEntry>();
        if (!ReadWatchRecord(file, version, *entry)) {
            complete = false;
            break;
        }
        list.push_back(std::move(entry));
        // Versions before 0x0103 carry no watch number: the entry's place in the list is it.
        if (version < 0x0103) list.back()->EventNum = static_cast<std::int32_t>(list.size());
    }
    file.Close();
    std::string rules;
    if (platform::ReadWholeFile(WatchRulesPath(), rules))
        ApplyWatchRules(rules, list, ruleWarnings);
    return complete;
}

namespace {

// A list file removed while the program runs is made again: the save must not fail for ever.
void EnsureListFile(const std::string& path) {
    if (platform::FileExists(path)) return;
    platform::File file;
    file.Open(path, platform::File::Access::Write, platform::File::Disposition::OpenAlways,
              platform::File::Share::None);
}

}  // namespace

bool SaveAddressList(const AddressList& list) {
    EnsureListFile(AddressListPath());
    Datafile file;
    if (!file.Open(AddressListPath(), Datafile::Mode::Write)) return false;
    bool ok = file.WriteShort(kMailFileVersion);
    for (size_t i = 0; ok && i < list.size(); ++i) {
        const AddressEntry& e = *list[i];
        ok = file.WriteString(e.MailAddr) && file.WriteString(e.UserName) &&
             file.WriteString(e.Name) && file.WriteString(e.Post) && file.WriteString(e.Contact);
    }
    // Close replaces the file only when every item was written.
    bool closed = file.Close();
    return ok && closed;
}

bool SaveWatchList(const WatchList& list) {
    EnsureListFile(WatchListPath());
    Datafile file;
    if (!file.Open(WatchListPath(), Datafile::Mode::Write)) return false;
    bool ok = file.WriteShort(kWatchFileVersion);
    for (size_t i = 0; ok && i < list.size(); ++i) ok = WriteWatchRecord(file, *list[i]);
    bool closed = file.Close();
    if (!ok || !closed) return false;
    // After WATCH.DAT: the rules always describe the list as it is saved (a list without rules
    // leaves no file behind).
    const std::string rules = FormatWatchRules(list);
    bool anyRule = false;
    for (const auto& e : list) anyRule = anyRule || e->Rule.Kind != WatchRule::kNone;
    if (!anyRule) {
        return platform::DeleteFile(WatchRulesPath()) ||
               platform::GetLastError() == platform::kErrorFileNotFound;
    }
    return platform::WritePrivateFileAtomically(WatchRulesPath(), rules);
}

namespace {

// One keyword as a term of the search expression language that stands for exactly its bytes:
// in double quotes, which keep every byte as written, unless it holds a quote or ends with a
// sequence character (0x5C), which would end the quotes early or escape the closing one;
// then as a word with every blank, quote, parenthesis, sequence character and control
// character escaped. Double-byte characters are never escaped: the scanner keeps them whole.
std::string KeywordTerm(std::string keyword) {
    // A lead byte without its trail byte can stand in no description; it would take the next
    // byte of the expression as its own.
    size_t end = 0;
    while (end < keyword.size()) {
        const bool lead = platform::IsDBCSLeadByte(static_cast<unsigned char>(keyword[end]));
        if (lead && end + 1 >= keyword.size()) break;
        end += lead ? 2 : 1;
    }
    keyword.resize(end);
    bool quotable = true;
    bool endsInSequence = false;
    for (size_t i = 0; i < keyword.size(); ++i) {
        const auto c = static_cast<unsigned char>(keyword[i]);
        if (platform::IsDBCSLeadByte(c)) {
            ++i;
            endsInSequence = false;
            continue;
        }
        if (c == '"') quotable = false;
        endsInSequence = c == 0x5C;
    }
    if (quotable && !endsInSequence) return '"' + keyword + '"';
    std::string word;
    for (size_t i = 0; i < keyword.size(); ++i) {
        const auto c = static_cast<unsigned char>(keyword[i]);
        if (platform::IsDBCSLeadByte(c)) {
            word.append(keyword, i, 2);
            ++i;
            continue;
        }
        if (c <= 0x20 || c == '"' || c == '(' || c == ')' || c == 0x5C) word += '\\';
        word += static_cast<char>(c);
    }
    return word;
}

}  // namespace

std::string KeywordsToCondition(const std::vector<std::string>& keywords) {
    std::string condition;
    for (const std::string& keyword : keywords) {
        const std::string term = keyword.empty() ? std::string() : KeywordTerm(keyword);
        if (term.empty() || term == "\"\"") continue;
        if (!condition.empty()) condition += " OR ";
        condition += term;
    }
    return condition;
}

size_t FindAtSign(const std::string& text) {
    // 0x40 is also a trail byte of Shift-JIS ("　" is 81 40, "機" 8B 40), so step over
    // double-byte characters rather than searching the bytes.
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (platform::IsDBCSLeadByte(c)) {
            ++i;
        } else if (c == '@') {
            return i;
        }
    }
    return std::string::npos;
}

bool IsMailRecipient(const std::string& recipient) {
    return FindAtSign(recipient) != std::string::npos;
}

std::string MakeAttachParam(int count, const std::string& fileSpec) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%*d", 5, count);
    return buffer + fileSpec;
}

std::string AttachParamCount(const std::string& param) { return param.substr(0, 5); }

std::string AttachParamFileSpec(const std::string& param) {
    return param.size() > 5 ? param.substr(5) : std::string();
}

namespace {

// '*' any run of characters, '?' any one; letters without regard to case.
bool Wildcard(std::string_view pattern, std::string_view text) {
    size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

template <typename Each>
void ForEachName(std::string_view condition, Each each) {
    for (size_t at = 0; at <= condition.size();) {
        const size_t end = std::min(condition.find(',', at), condition.size());
        each(platform::TrimBlanks(condition.substr(at, end - at)));
        at = end + 1;
    }
}

}  // namespace

bool ComputerMatches(std::string_view condition, std::string_view computer) {
    if (platform::TrimBlanks(condition).empty()) return true;
    const std::string name = platform::FoldCase(computer);
    const std::string first = name.substr(0, name.find('.'));
    bool matched = false;
    ForEachName(condition, [&](std::string_view pattern) {
        if (matched || pattern.empty()) return;
        const std::string folded = platform::FoldCase(pattern);
        matched = Wildcard(folded, name) ||
                  (folded.find('.') == std::string::npos && Wildcard(folded, first));
    });
    return matched;
}

bool ComputerConditionValid(std::string_view condition) {
    if (platform::TrimBlanks(condition).empty()) return true;
    bool valid = true;
    ForEachName(condition, [&](std::string_view pattern) { valid = valid && !pattern.empty(); });
    return valid;
}

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The address list (MAIL.DAT), the watch list (WATCH.DAT) and a watch entry's action list.
// Texts are CP932.

struct AddressEntry {
    std::string Post;      // department
    std::string Name;      // person's name
    std::string MailAddr;  // mail address
    std::string UserName;  // computer name for network messages
    std::string Contact;

    bool operator==(const AddressEntry&) const = default;
};

// What an action does.
enum ActionKind : std::int8_t {
    kActionAttachFiles = 0,
    kActionRunProgram = 1,
    kActionRunProgramAndWait = 2,
    kActionStartService = 3,
    kActionStopService = 4,
    kActionPauseService = 5,
    kActionContinueService = 6,
};

struct ActionEntry {
    std::int8_t Kind = 0;
    // Attach files: the count right-aligned in 5 characters, then the file specification.
    // Run program: the program file. Services: the service name.
    std::string Param;

    bool operator==(const ActionEntry&) const = default;
};

struct WatchEntry {
    std::int32_t EventNum = 0;  // watch number, unique in the list
    std::string MailSubject;
    std::string LogName;     // or the any-value
    std::string SourceName;  // or the any-value
    std::int16_t Type =
        0;  // 0 any, 1 error, 2 warning, 4 information, 8 audit success, 16 audit failure
    std::int32_t EventID = 0;  // 0 any
    std::string Category;      // or the any-value
    std::string Condition;     // search expression over the description; empty: none
    std::string Note;
    std::vector<ActionEntry> ToDoList;
    std::vector<std::string> AddrList;  // mail addresses and computer names

    bool operator==(const WatchEntry&) const = default;
};

using AddressList = std::vector<std::unique_ptr<AddressEntry>>;
using WatchList = std::vector<std::unique_ptr<WatchEntry>>;

// File versions written; older ones are read too (MAIL.DAT 0x0100, WATCH.DAT 0x0100-0x0103).
constexpr std::int16_t kMailFileVersion = 0x0101;
constexpr std::int16_t kWatchFileVersion = 0x0104;

// ConfigDirectory() joined with the file name.
std::string AddressListPath();
std::string WatchListPath();

// Append the file's records to the list; true when the whole file was read. Records read
// completely before damage stay in the list. A missing file is created empty.
bool LoadAddressList(AddressList& list);
bool LoadWatchList(WatchList& list);

// Rewrite the file from the list; true when every item was written. The file must exist; on
// failure it keeps its previous contents.
bool SaveAddressList(const AddressList& list);
bool SaveWatchList(const WatchList& list);

// The condition of a version 0x0101 watch record: an expression that holds for a description
// containing any of the keywords (their terms joined by " OR "), whatever bytes they hold;
// empty keywords are dropped, and no keyword at all gives no condition.
std::string KeywordsToCondition(const std::vector<std::string>& keywords);

// A recipient text that contains "@" is a mail address; any other is a computer name.
// The position of the first "@" that is a character of its own (never the trail byte of a
// double-byte character), or npos.
size_t FindAtSign(const std::string& text);

bool IsMailRecipient(const std::string& recipient);

// Attach-files parameter: the count right-aligned in 5 characters, then the folder and pattern;
// and its two parts back.
std::string MakeAttachParam(int count, const std::string& fileSpec);
std::string AttachParamCount(const std::string& param);
std::string AttachParamFileSpec(const std::string& param);

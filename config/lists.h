#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
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

// The longest interval of an entry's rules, in minutes: a week.
constexpr std::int32_t kRuleMinutesMax = 10080;
// The longest grace of an absence rule: an hour, in seconds.
constexpr std::int32_t kRuleGraceMax = 3600;

// What an entry knows should happen, beyond the event itself. Kept beside WATCH.DAT in a file
// of its own (RULES.DAT), keyed by watch number, so that WATCH.DAT keeps its layout.
struct WatchRule {
    enum Kind : std::int32_t { kNone = 0, kAbsence = 1, kRecovery = 2 };
    std::int32_t Kind = kNone;
    // Absence: the entry's event is expected at least once every Every minutes, or, when Every
    // is 0, between From and By (minutes after midnight; From at or after By starts the day
    // before) on the days of Days (bit 0 Sunday) whose deadline By falls on.
    std::int32_t Every = 0;
    std::int32_t From = 0;
    std::int32_t By = 0;
    std::int32_t Days = 0x7F;
    bool ReportMatches = false;  // the expected event is reported too, not only its absence
    // Recovery: what ends the problem the entry's event opened (as the entry's own fields).
    std::string LogName;
    std::string SourceName;
    std::int16_t Type = 0;
    std::int32_t EventID = 0;
    std::string Condition;
    // Minutes after which a problem still open is reported again; 0: never.
    std::int32_t Renotify = 0;
    // Absence: seconds past a deadline before it is judged, and within which an event that
    // arrives still counts for it (a sender a little late, a check a little early).
    std::int32_t Grace = 60;

    bool operator==(const WatchRule&) const = default;
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
    WatchRule Rule;                     // not in WATCH.DAT
    // The computers whose events count, not in WATCH.DAT either: names with the wildcards * and
    // ?, separated by commas ("DC*, FS02"), compared without regard to case; empty: any.
    std::string Computers;

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
std::string WatchRulesPath();

// Append the file's records to the list; true when the whole file was read. Records read
// completely before damage stay in the list. A missing file is created empty.
bool LoadAddressList(AddressList& list);
// The rules of RULES.DAT go to the entries they were kept for; what could not be placed is told
// in warnings (when given) and dropped at the next save.
bool LoadWatchList(WatchList& list, std::vector<std::string>* ruleWarnings = nullptr);

// Rewrite the file from the list; true when every item was written. The file must exist; on
// failure it keeps its previous contents. Saving the watch list writes RULES.DAT after WATCH.DAT,
// so that the rules follow entries renumbered or deleted.
bool SaveAddressList(const AddressList& list);
bool SaveWatchList(const WatchList& list);

// The condition of a version 0x0101 watch record: an expression that holds for a description
// containing any of the keywords (their terms joined by " OR "), whatever bytes they hold;
// empty keywords are dropped, and no keyword at all gives no condition.
// RULES.DAT's text for the entries' rules (only entries that have one), and back: a section
// per watch number, with what tells the entry apart, so that a WATCH.DAT renumbered by another
// program does not hand a rule to another entry. Reading keeps what it can read whole.
std::string FormatWatchRules(const WatchList& list);
void ApplyWatchRules(std::string_view text, WatchList& list, std::vector<std::string>* warnings);

std::string KeywordsToCondition(const std::vector<std::string>& keywords);

// Whether a computer condition takes the computer name: one of its names matches the name, or
// (a name without a dot) the name's first label ("FS02" takes "fs02.example.local").
bool ComputerMatches(std::string_view condition, std::string_view computer);
// Whether each of its names has a character other than blanks and commas.
bool ComputerConditionValid(std::string_view condition);

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

#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "config/lists.h"

// The checks of the list dialogs' fields and what they derive from the lists, without a window.

// The number a new entry is offered: the first n from 1 that the n-th entry of the (sorted)
// list does not carry, or the count plus one.
std::int32_t NextWatchNumber(const WatchList& watches);

// The type box's index for a stored type code (0, 1, 2, 4, 8, 16; any other code shows
// "特定しない"), and the type mask the event identifier list takes for an index.
int TypeIndex(std::int16_t type);
std::uint8_t TypeMaskOfIndex(int index);
// The type code an index of the type box stands for.
std::int16_t TypeCodeOfIndex(int index);

// The texts of the watch entry editor's fields, trimmed, as its checks see them.
struct WatchFields {
    std::string eventNum, mailSubject, logName, sourceName, eventId, category, condition, note;
    std::string computers;
    int typeIndex = 0;
    bool anyRecipient = false;
};

// The tab and field a failed check goes back to.
enum class WatchField {
    EventNum,
    MailSubject,
    LogName,
    SourceName,
    EventID,
    Category,
    Condition,
    Recipients,
    Computers
};

struct WatchProblem {
    WatchField field;
    std::string message;
};

// The editor's checks of the fields before the search expression (1 to 8), in order; editing is
// the entry being changed, nullptr for a new one. A number field that holds no decimal number
// (pasted text) is refused as out of range.
std::optional<WatchProblem> CheckWatchFields(const WatchFields& fields, const WatchList& watches,
                                             const WatchEntry* editing);

// The texts of the 状態 tab, trimmed, as its checks see them.
struct RuleFields {
    std::int32_t kind = WatchRule::kNone;
    bool daily = false;  // absence by a time of day, not every so many minutes
    std::string every, from, by, renotify, grace;
    std::int32_t days = 0;
    // What ends the problem.
    std::string logName, sourceName, eventId, condition;
    int typeIndex = 0;
};

enum class RuleField { Every, From, By, Days, Grace, LogName, SourceName, EventID, Renotify };

struct RuleProblem {
    RuleField field;
    std::string message;
};

// The checks of the 状態 tab, after those of the entry's own fields (which entry holds): the
// recovery condition's expression is checked by the caller, with its messages.
std::optional<RuleProblem> CheckRuleFields(const RuleFields& fields, const WatchFields& entry);

// "hh:mm" (or "h:mm") as minutes after midnight; -1 when it is not a time of day.
int ClockMinutes(const std::string& text);

// Which other entry of the list already has the entry's mail address or computer name (letters
// compared without case; empty values never count); except is the entry being changed.
enum class AddressDuplicate { None, MailAddr, UserName };
AddressDuplicate FindAddressDuplicate(const AddressList& list, const AddressEntry& entry,
                                      const AddressEntry* except);

// The fields of an address entry, in the editor's order.
enum class AddressField { MailAddr, UserName, Name, Post, Contact };

struct AddressProblem {
    AddressField field;
    std::string message;
};

// The editor's checks of an entry whose texts are already trimmed.
std::optional<AddressProblem> CheckAddressInput(const AddressEntry& entry);

// The fields of the action editor, as their texts stand (blanks are not removed).
struct ActionFields {
    std::int8_t kind = kActionAttachFiles;
    std::string file, numFiles;  // attach files
    std::string program;         // run a program
    std::string service;         // a service kind: the display name chosen, empty when none
};

enum class ActionField { File, NumFiles, Program, Service };

struct ActionProblem {
    ActionField field;
    std::string message;
};

// The action editor's fields of a stored action (an attach parameter's first five characters
// are the count, the rest the file), and its checks.
ActionFields FieldsOf(const ActionEntry& action);
std::optional<ActionProblem> CheckActionFields(const ActionFields& fields);

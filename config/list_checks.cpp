#include "config/list_checks.h"

#include <algorithm>

#include "config/settings_checks.h"
#include "eventlog/catalog.h"
#include "platform/bytes.h"
#include "platform/codepage.h"

namespace {

const std::int16_t kTypeCodes[] = {0, 1, 2, 4, 8, 16};

bool AllDigits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// An event identifier box's text: "特定しない", or a number from 1 to 65535.
bool EventIDAccepted(const std::string& text) {
    if (text == AnyValueText()) return true;
    const std::string digits(platform::TrimBlanks(text));
    const long id = AllDigits(digits) && digits.size() <= 6 ? FieldNumber(digits) : 0;
    return id >= 1 && id <= 65535;
}

// A number of minutes from low to the longest a rule takes.
bool MinutesAccepted(const std::string& text, long low) {
    if (!AllDigits(text) || text.size() > 6) return false;
    const long n = FieldNumber(text);
    return n >= low && n <= kRuleMinutesMax;
}

}  // namespace

std::int16_t TypeCodeOfIndex(int index) { return kTypeCodes[index >= 0 && index < 6 ? index : 0]; }

std::int32_t NextWatchNumber(const WatchList& watches) {
    // The smallest number from 1 that no entry has, whatever order and numbers (0 too) the
    // list holds.
    std::vector<bool> taken(watches.size() + 2, false);
    for (const auto& w : watches) {
        if (w->EventNum >= 1 && static_cast<size_t>(w->EventNum) < taken.size()) {
            taken[static_cast<size_t>(w->EventNum)] = true;
        }
    }
    std::int32_t n = 1;
    while (taken[static_cast<size_t>(n)]) ++n;
    return n;
}

int TypeIndex(std::int16_t type) {
    for (int i = 0; i < 6; ++i) {
        if (kTypeCodes[i] == type) return i;
    }
    return 0;
}

std::uint8_t TypeMaskOfIndex(int index) {
    switch (index) {
        case 1: return 1;
        case 2: return 2;
        case 3: return 4;
        default: return 7;
    }
}

std::optional<WatchProblem> CheckWatchFields(const WatchFields& f, const WatchList& watches,
                                             const WatchEntry* editing) {
    using F = WatchField;
    if (f.eventNum.empty()) {
        return WatchProblem{F::EventNum, sjis(u8"監視イベント番号が入力されていません。")};
    }
    const long number = FieldNumber(f.eventNum);
    const bool taken = std::any_of(watches.begin(), watches.end(), [&](const auto& w) {
        return w.get() != editing && w->EventNum == number;
    });
    if (taken) {
        return WatchProblem{F::EventNum,
                            sjis(u8"入力された監視イベント番号は、すでに登録されています。")};
    }
    if (f.mailSubject.empty()) {
        return WatchProblem{F::MailSubject, sjis(u8"メールタイトルが入力されていません。")};
    }
    if (f.logName.empty()) {
        return WatchProblem{F::LogName, sjis(u8"ログが選択、または入力されていません。")};
    }
    if (f.sourceName.empty()) {
        return WatchProblem{F::SourceName, sjis(u8"ソース名が選択、または入力されていません。")};
    }
    if (f.eventId.empty()) {
        return WatchProblem{F::EventID, sjis(u8"イベントIDが選択、または入力されていません。")};
    }
    if (!EventIDAccepted(f.eventId)) {
        return WatchProblem{
            F::EventID, sjis(u8"イベントIDが範囲外です。\r\n\r\n設定できる範囲は、1～65535です。")};
    }
    if (f.category.empty()) {
        return WatchProblem{F::Category, sjis(u8"分類が選択、または入力されていません。")};
    }
    if (!ComputerConditionValid(f.computers)) {
        return WatchProblem{F::Computers,
                            sjis(u8"コンピューター名が空の項目があります。コンピューター名は、"
                                 u8"カンマで区切って入力してください。")};
    }
    return std::nullopt;
}

int ClockMinutes(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 2 || text.size() != colon + 3)
        return -1;
    const std::string hours = text.substr(0, colon), minutes = text.substr(colon + 1);
    if (!AllDigits(hours) || !AllDigits(minutes)) return -1;
    const long h = FieldNumber(hours), m = FieldNumber(minutes);
    return h <= 23 && m <= 59 ? static_cast<int>(h * 60 + m) : -1;
}

std::optional<RuleProblem> CheckRuleFields(const RuleFields& f, const WatchFields& entry) {
    using F = RuleField;
    if (f.kind == WatchRule::kAbsence && !f.daily) {
        if (f.every.empty()) return RuleProblem{F::Every, sjis(u8"間隔が入力されていません。")};
        if (!MinutesAccepted(f.every, 1)) {
            return RuleProblem{
                F::Every, sjis(u8"間隔が範囲外です。\r\n\r\n設定できる範囲は、1～10080分です。")};
        }
    }
    if (f.kind == WatchRule::kAbsence && f.daily) {
        if (ClockMinutes(f.from) < 0) {
            return RuleProblem{F::From, sjis(u8"開始の時刻は、00:00～23:59で入力してください。")};
        }
        if (ClockMinutes(f.by) < 0) {
            return RuleProblem{F::By, sjis(u8"期限の時刻は、00:00～23:59で入力してください。")};
        }
        if ((f.days & 0x7F) == 0) {
            return RuleProblem{F::Days, sjis(u8"期限の曜日が1つも選択されていません。")};
        }
    }
    if (f.kind == WatchRule::kAbsence) {
        if (f.grace.empty())
            return RuleProblem{F::Grace, sjis(u8"期限の猶予が入力されていません。")};
        if (!AllDigits(f.grace) || f.grace.size() > 6 || FieldNumber(f.grace) > kRuleGraceMax) {
            return RuleProblem{F::Grace, sjis(u8"期限の猶予が範囲外です。\r\n\r\n"
                                              u8"設定できる範囲は、0～3600秒です。")};
        }
    }
    if (f.kind == WatchRule::kRecovery) {
        if (f.logName.empty()) {
            return RuleProblem{F::LogName, sjis(u8"ログが選択、または入力されていません。")};
        }
        if (f.sourceName.empty()) {
            return RuleProblem{F::SourceName, sjis(u8"ソース名が選択、または入力されていません。")};
        }
        if (f.eventId.empty()) {
            return RuleProblem{F::EventID, sjis(u8"イベントIDが選択、または入力されていません。")};
        }
        if (!EventIDAccepted(f.eventId)) {
            return RuleProblem{
                F::EventID,
                sjis(u8"イベントIDが範囲外です。\r\n\r\n設定できる範囲は、1～65535です。")};
        }
        // Every problem would end with the event that opened it.
        if (platform::EqualsNoCase(f.logName, entry.logName) &&
            platform::EqualsNoCase(f.sourceName, entry.sourceName) &&
            EventIDValue(f.eventId) == EventIDValue(entry.eventId) &&
            f.typeIndex == entry.typeIndex && f.condition == entry.condition) {
            return RuleProblem{F::LogName,
                               sjis(u8"問題を終わらせるイベントが、監視するイベントと同じです。")};
        }
    }
    if (f.kind != WatchRule::kNone) {
        if (f.renotify.empty()) {
            return RuleProblem{F::Renotify, sjis(u8"再通知の間隔が入力されていません。")};
        }
        if (!MinutesAccepted(f.renotify, 0)) {
            return RuleProblem{F::Renotify, sjis(u8"再通知の間隔が範囲外です。\r\n\r\n"
                                                 u8"設定できる範囲は、0～10080分です。")};
        }
    }
    return std::nullopt;
}

AddressDuplicate FindAddressDuplicate(const AddressList& list, const AddressEntry& entry,
                                      const AddressEntry* except) {
    auto taken = [&](std::string AddressEntry::*field) {
        const std::string& value = entry.*field;
        if (value.empty()) return false;
        return std::any_of(list.begin(), list.end(), [&](const auto& other) {
            return other.get() != except && platform::EqualsNoCase(value, (*other).*field);
        });
    };
    if (taken(&AddressEntry::MailAddr)) return AddressDuplicate::MailAddr;
    if (taken(&AddressEntry::UserName)) return AddressDuplicate::UserName;
    return AddressDuplicate::None;
}

std::optional<AddressProblem> CheckAddressInput(const AddressEntry& e) {
    if (e.MailAddr.empty() && e.UserName.empty()) {
        return AddressProblem{AddressField::MailAddr,
                              sjis(u8"メールアドレス、ユーザー名がどちらも入力されていません。")};
    }
    // "@" must be there and not be the last character; one at the start is allowed.
    const size_t at = FindAtSign(e.MailAddr);
    if (!e.MailAddr.empty() && (at == std::string::npos || at + 1 == e.MailAddr.size())) {
        return AddressProblem{AddressField::MailAddr, sjis(u8"メールアドレスが正しくありません。")};
    }
    if (IsMailRecipient(e.UserName)) {
        return AddressProblem{AddressField::UserName, sjis(u8"ユーザー名が正しくありません。")};
    }
    return std::nullopt;
}

ActionFields FieldsOf(const ActionEntry& action) {
    ActionFields f;
    f.kind = action.Kind;
    if (action.Kind == kActionAttachFiles) {
        f.numFiles = action.Param.substr(0, 5);
        f.file = action.Param.size() > 5 ? action.Param.substr(5) : std::string();
    } else if (action.Kind <= kActionRunProgramAndWait) {
        f.program = action.Param;
    } else {
        f.service = action.Param;
    }
    return f;
}

std::optional<ActionProblem> CheckActionFields(const ActionFields& f) {
    if (f.kind == kActionAttachFiles) {
        if (f.file.empty()) {
            return ActionProblem{ActionField::File, sjis(u8"ファイルが入力されていません。")};
        }
        if (f.numFiles.empty()) {
            return ActionProblem{ActionField::NumFiles,
                                 sjis(u8"ファイルの個数が入力されていません。")};
        }
    } else if (f.kind <= kActionRunProgramAndWait) {
        if (f.program.empty()) {
            return ActionProblem{ActionField::Program, sjis(u8"プログラムが入力されていません。")};
        }
    } else if (f.service.empty()) {
        // An action with no service could never run.
        return ActionProblem{ActionField::Service, sjis(u8"サービスが選択されていません。")};
    }
    return std::nullopt;
}

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
    if (f.eventId != AnyValueText()) {
        const std::string digits(platform::TrimBlanks(f.eventId));
        const long id = AllDigits(digits) && digits.size() <= 6 ? FieldNumber(digits) : 0;
        if (id < 1 || id > 65535) {
            return WatchProblem{
                F::EventID,
                sjis(u8"イベントIDが範囲外です。\r\n\r\n設定できる範囲は、1～65535です。")};
        }
    }
    if (f.category.empty()) {
        return WatchProblem{F::Category, sjis(u8"分類が選択、または入力されていません。")};
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

#include "core/address_handlers.h"

#include <functional>

#include "platform/codepage.h"
#include "platform/shell.h"

namespace {

bool SaveWithPrompt(const std::function<bool()>& save, const char8_t* message) {
    while (!save()) {
        if (platform::CurrentShell().MessageBox(sjis(message), sjis(u8"書き込みエラー"),
                                                platform::kMbRetryCancel,
                                                platform::kMbIconError) != platform::kIdRetry) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool SaveWatchListWithPrompt(const WatchList& watches) {
    return SaveWithPrompt([&] { return SaveWatchList(watches); },
                          u8"監視イベント設定ファイルの書き込みに失敗しました。\r\n\r\n"
                          u8"ディスクの空き容量などを確認してください。\r\n"
                          u8"キャンセルした場合、編集した内容は保存されません。");
}

bool SaveAddressListWithPrompt(const AddressList& addresses) {
    return SaveWithPrompt([&] { return SaveAddressList(addresses); },
                          u8"メールアドレス設定ファイルの書き込みに失敗しました。\r\n\r\n"
                          u8"ディスクの空き容量などを確認してください。\r\n"
                          u8"キャンセルした場合、編集した内容は保存されません。");
}

void OnAddressDeleted(WatchList& watches, const AddressEntry& deleted,
                      const std::function<void()>& stopMonitoring) {
    bool changed = false;
    for (auto it = watches.begin(); it != watches.end();) {
        std::vector<std::string>& recipients = (*it)->AddrList;
        bool removedHere = false;
        for (auto r = recipients.begin(); r != recipients.end();) {
            const bool match = (!deleted.MailAddr.empty() && *r == deleted.MailAddr) ||
                               (!deleted.UserName.empty() && *r == deleted.UserName);
            if (match) {
                r = recipients.erase(r);
                removedHere = true;
            } else {
                ++r;
            }
        }
        changed = changed || removedHere;
        // An entry left without anyone to tell is of no use.
        if (removedHere && recipients.empty()) {
            it = watches.erase(it);
        } else {
            ++it;
        }
    }
    if (changed) SaveWatchListWithPrompt(watches);
    if (watches.empty()) stopMonitoring();
}

void OnAddressChanged(WatchList& watches, const AddressEntry& newValues, const AddressEntry& old) {
    if (newValues.MailAddr == old.MailAddr && newValues.UserName == old.UserName) return;
    bool changed = false;
    auto rename = [&](const std::string& from, const std::string& to) {
        for (auto& entry : watches) {
            for (std::string& recipient : entry->AddrList) {
                if (recipient == from && recipient != to) {
                    recipient = to;
                    changed = true;
                }
            }
        }
    };
    if (!newValues.MailAddr.empty()) rename(old.MailAddr, newValues.MailAddr);
    if (!newValues.UserName.empty()) rename(old.UserName, newValues.UserName);
    if (changed) SaveWatchListWithPrompt(watches);
}

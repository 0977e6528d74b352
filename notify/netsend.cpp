#include "notify/netsend.h"

#include "config/lists.h"
#include "core/program_log.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/machine/netmsg.h"

namespace {

// The error text of a failed send, and whether the record's other recipients are still tried.
std::string FailureText(platform::DWORD result, const std::string& name, bool& stop) {
    stop = true;
    switch (result) {
        case platform::kErrorAccessDenied:
            return sjis(u8"ユーザーには、要求した情報へのアクセス権がありません。");
        case platform::kErrorNotSupported:
            return sjis(u8"このネットワークリクエストはサポートされていません。");
        case platform::kErrorInvalidParameter: return sjis(u8"指定されたパラメータは無効です。");
        case platform::kNerrNetworkError:
            return sjis(u8"ネットワークハードウェアの一般的な障害が発生しました。");
        default: break;
    }
    stop = false;
    if (result == platform::kErrorInvalidName) {
        return platform::StringPrintf(sjis(u8"ユーザー名(%s)は無効です。").c_str(), name.c_str());
    }
    if (result == platform::kNerrNameNotFound) {
        return platform::StringPrintf(sjis(u8"ユーザー名(%s)が見つかりませんでした。").c_str(),
                                      name.c_str());
    }
    return platform::StringPrintf(sjis(u8"ユーザー名(%s)でエラー(%d)が発生しました。").c_str(),
                                  name.c_str(), static_cast<int>(result));
}

}  // namespace

std::vector<std::string> MessageRecipients(const ReportRecord& report) {
    std::vector<std::string> names;
    if (report.NotifyHeld) return names;
    for (const std::string& r : report.Recipients) {
        if (!IsMailRecipient(r)) names.push_back(r);
    }
    return names;
}

std::string NetworkMessageText(const ReportRecord& report) {
    return platform::StringPrintf(
        sjis(u8"Quorvik Report (監視イベント番号: %d) - %s\r\n\r\n%s").c_str(),
        static_cast<int>(report.Watch->EventNum), report.Watch->MailSubject.c_str(),
        report.ReportText.c_str());
}

bool SendNetworkMessages(TickBatch& batch) {
    LogDebug("%s", sjis(u8"メッセージ送信開始").c_str());
    for (const auto& report : batch) {
        const std::vector<std::string> names = MessageRecipients(*report);
        if (names.empty()) continue;
        const int number = static_cast<int>(report->Watch->EventNum);
        const std::string message =
            platform::Utf16ToBytes(platform::SjisToUtf16(NetworkMessageText(*report)) + u'\0');
        int sent = 0, failed = 0;
        for (const std::string& name : names) {
            const platform::DWORD result = platform::NetMessageBufferSend(
                u"", platform::SjisToUtf16(name), u"",
                reinterpret_cast<const std::uint8_t*>(message.data()),
                static_cast<platform::DWORD>(message.size()));
            if (result == 0) {
                ++sent;
                continue;
            }
            ++failed;
            bool stop = false;
            const std::string text = FailureText(result, name, stop);
            LogMessage(3,
                       sjis(u8"監視イベント番号: %d - メッセージの送信に失敗しました。%s").c_str(),
                       number, text.c_str());
            if (stop) break;
        }
        if (sent == 0) {
            LogMessage(
                2,
                sjis(
                    u8"監視イベント番号: %d - すべてのユーザーへメッセージが送信できませんでした。")
                    .c_str(),
                number);
        } else if (failed != 0) {
            LogMessage(
                2,
                sjis(
                    u8"監視イベント番号: %d - メッセージは送信されましたが、送信できなかったユーザーがあります。")
                    .c_str(),
                number);
        } else {
            LogMessage(0, sjis(u8"監視イベント番号: %d - メッセージが送信されました。").c_str(),
                       number);
        }
    }
    LogDebug("%s", sjis(u8"メッセージ送信終了").c_str());
    return true;
}

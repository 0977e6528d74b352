#include "platform/errors.h"

#include <cerrno>
#include <cstdio>

#include "platform/codepage.h"

namespace platform {
namespace {

thread_local DWORD t_lastError = 0;

struct MessageEntry {
    DWORD code;
    const char8_t* text;
};

// Our own wording of the codes this layer raises.
const MessageEntry kMessages[] = {
    {kErrorSuccess, u8"処理は正常に終了しました。"},
    {kErrorInvalidFunction, u8"この機能は使用できません。"},
    {kErrorFileNotFound, u8"指定されたファイルが見つかりません。"},
    {kErrorPathNotFound, u8"指定されたパスが見つかりません。"},
    {kErrorTooManyOpenFiles, u8"開いているファイルが多すぎるため、ファイルを開けません。"},
    {kErrorAccessDenied, u8"アクセスが拒否されました。"},
    {kErrorInvalidHandle, u8"ハンドルが無効です。"},
    {kErrorNotEnoughMemory, u8"この処理に必要なメモリが足りません。"},
    {kErrorInvalidData, u8"データが無効です。"},
    {kErrorNotSameDevice, u8"別のディスク ドライブへは移動できません。"},
    {kErrorNoMoreFiles, u8"該当するファイルはもうありません。"},
    {kErrorWriteProtect, u8"書き込み禁止のメディアには書き込めません。"},
    {kErrorGenFailure, u8"システムに接続されたデバイスが動作していません。"},
    {kErrorSharingViolation,
     u8"別のプロセスがファイルを使用しているため、このプロセスはアクセスできません。"},
    {kErrorLockViolation, u8"ファイルの一部が別のプロセスによってロックされています。"},
    {kErrorHandleEof, u8"ファイルの終わりに達しました。"},
    {kErrorNotSupported, u8"この要求はサポートされていません。"},
    {kErrorBadNetPath, u8"ネットワーク パスが見つかりません。"},
    {kErrorFileExists, u8"同じ名前のファイルが既にあります。"},
    {kErrorInvalidParameter, u8"パラメータが正しくありません。"},
    {kErrorBrokenPipe, u8"パイプは終了しました。"},
    {kErrorSemTimeout, u8"セマフォがタイムアウトしました。"},
    {kErrorDiskFull, u8"ディスクに十分な空き領域がありません。"},
    {kErrorInsufficientBuffer, u8"データ領域が小さすぎます。"},
    {kErrorInvalidName,
     u8"ファイル名、ディレクトリ名、またはボリューム ラベルの構文が正しくありません。"},
    {kErrorDirNotEmpty, u8"ディレクトリが空ではありません。"},
    {kErrorBusy, u8"要求したリソースは使用中です。"},
    {kErrorAlreadyExists, u8"既に存在するファイルは作成できません。"},
    {kErrorFilenameExcedRange, u8"ファイル名または拡張子が長すぎます。"},
    {kErrorFileTooLarge, u8"ファイルのサイズが上限を超えています。"},
    {kErrorDirectory, u8"ディレクトリ名が無効です。"},
    {kErrorBufferOverflow, u8"ファイル名が長すぎます。"},
    {kErrorModNotFound, u8"指定されたモジュールが見つかりません。"},
    {kErrorProcNotFound, u8"指定されたプロシージャが見つかりません。"},
    {kErrorBadExeFormat, u8"有効なアプリケーションではありません。"},
    {kErrorWaitTimeout, u8"待ち操作がタイムアウトになりました。"},
    {kErrorOperationAborted,
     u8"スレッドの終了またはアプリケーションの要求によって、I/O 処理は中止されました。"},
    {kErrorDependentServicesRunning,
     u8"このサービスに依存する別のサービスが実行中のため、停止の制御を送れません。"},
    {kErrorInvalidServiceControl, u8"要求された制御はこのサービスでは使えません。"},
    {kErrorServiceRequestTimeout,
     u8"サービスは時間内に開始要求または制御要求に応答しませんでした。"},
    {kErrorServiceAlreadyRunning, u8"このサービスは既に実行されています。"},
    {kErrorServiceDisabled, u8"このサービスは無効になっているため開始できません。"},
    {kErrorCircularDependency, u8"サービスの依存関係が循環しています。"},
    {kErrorServiceDoesNotExist, u8"指定されたサービスはインストールされていません。"},
    {kErrorServiceCannotAcceptCtrl, u8"サービスは今は制御を受け付けられません。"},
    {kErrorServiceNotActive, u8"サービスは開始されていません。"},
    {kErrorProcessAborted, u8"サービスのプロセスが予期せず終了しました。"},
    {kErrorServiceDependencyFail, u8"依存するサービスを開始できませんでした。"},
    {kErrorServiceExists, u8"指定されたサービスは既に存在します。"},
    {kErrorServiceDependencyDeleted, u8"依存するサービスが存在しません。"},
    {kErrorServiceNeverStarted, u8"このサービスはまだ一度も開始されていません。"},
    {kErrorDuplicateServiceName, u8"この表示名は別のサービスが既に使っています。"},
    {2136, u8"一般的なネットワーク エラーが発生しました。"},
    {2273, u8"メッセージの宛先の名前が見つかりませんでした。"},
    {kErrorNoneMapped, u8"アカウント名とセキュリティ ID の間のマッピングは実行されませんでした。"},
    {kErrorNotFound, u8"要素が見つかりません。"},
    {kErrorEventLogFileCorrupt, u8"イベント ログ ファイルが壊れています。"},
    {kErrorLogFileFull, u8"イベント ログ ファイルがいっぱいです。"},
    {kErrorIoDevice, u8"I/O デバイス エラーのため、要求を実行できませんでした。"},
    {kErrorCantResolveFilename, u8"ファイル名を解決できません。"},
};

}  // namespace

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD code) { t_lastError = code; }

DWORD ErrorFromErrno(int err) {
    switch (err) {
        case 0: return kErrorSuccess;
        case ENOENT: return kErrorFileNotFound;
        case ENOTDIR: return kErrorPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR: return kErrorAccessDenied;
        case EEXIST: return kErrorFileExists;
        case EBADF: return kErrorInvalidHandle;
        case ENOMEM: return kErrorNotEnoughMemory;
        case EMFILE:
        case ENFILE: return kErrorTooManyOpenFiles;
        case EINVAL: return kErrorInvalidParameter;
        case ENOSPC:
        case EDQUOT: return kErrorDiskFull;
        case EFBIG: return kErrorFileTooLarge;
        case ENAMETOOLONG: return kErrorFilenameExcedRange;
        case ENOTEMPTY: return kErrorDirNotEmpty;
        case EBUSY: return kErrorBusy;
        case EWOULDBLOCK: return kErrorSharingViolation;
        case EROFS: return kErrorWriteProtect;
        case EXDEV: return kErrorNotSameDevice;
        case ELOOP: return kErrorCantResolveFilename;
        case EPIPE: return kErrorBrokenPipe;
        case EIO: return kErrorIoDevice;
        case ENOTSUP: return kErrorNotSupported;
        case ENOEXEC: return kErrorBadExeFormat;
        case ETXTBSY: return kErrorSharingViolation;
        default: return kErrorGenFailure;
    }
}

bool FailFromErrno() {
    SetLastError(ErrorFromErrno(errno));
    return false;
}

bool SystemMessage(DWORD code, std::string& message) {
    for (const MessageEntry& entry : kMessages) {
        if (entry.code == code) {
            message = sjis(entry.text) + "\r\n";
            return true;
        }
    }
    return false;
}

std::string SystemErrorText(DWORD code) {
    std::string message;
    if (!SystemMessage(code, message)) return std::string();
    // The system's messages end in CR LF, which a log line does not want.
    message.resize(message.size() >= 2 ? message.size() - 2 : 0);
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "0x%08x: ", static_cast<unsigned>(code));
    return prefix + message;
}

std::string SystemErrorTextOrCode(DWORD code) {
    std::string text = SystemErrorText(code);
    if (!text.empty()) return text;
    char digits[16];
    std::snprintf(digits, sizeof digits, "0x%08x", static_cast<unsigned>(code));
    return digits;
}

}  // namespace platform

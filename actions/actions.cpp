#include "actions/actions.h"

#include <cstdio>
#include <vector>

#include "actions/attachments.h"
#include "actions/service_control.h"
#include "core/program_log.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/machine/command_line.h"
#include "platform/pump.h"

using platform::DWORD;

namespace {

// Per thread: the watch tick and the dialogs may both call in.
thread_local DWORD g_runError = 0;
thread_local DWORD g_leftRunning = 0;  // a program whose wait was given up, still running

// The count field of an attach-files parameter: blanks, then decimal digits. False for anything
// else, which only a damaged list file holds.
bool AttachCount(const std::string& param, int& count) {
    const std::string field = param.substr(0, 5);
    size_t i = 0;
    while (i < field.size() && field[i] == ' ') ++i;
    if (i == field.size()) return false;
    count = 0;
    for (; i < field.size(); ++i) {
        if (field[i] < '0' || field[i] > '9') return false;
        count = count * 10 + (field[i] - '0');
    }
    return true;
}

const std::string& ErrorHead() { return sjis(u8"　以下のエラーが発生しました。\r\n"); }

void AttachFiles(const std::string& param, ReportRecord& report, std::string& group,
                 std::vector<std::string>& names) {
    int count = 0;
    if (!AttachCount(param, count)) {
        group +=
            ErrorHead() + platform::SystemErrorTextOrCode(platform::kErrorInvalidData) + "\r\n";
        return;
    }
    const std::string pattern = param.size() > 5 ? param.substr(5) : std::string();
    std::string folder, archive;
    if (!CollectAttachments(count, pattern, folder, archive, names)) {
        const std::string text = AttachmentErrorText();
        group += ErrorHead() + text + "\r\n";
        return;
    }
    // Files the archive format cannot hold are named, never dropped without a word.
    const std::vector<std::string>& outside = AttachmentLinksOutside();
    if (!outside.empty()) {
        group +=
            sjis(u8"　以下のファイルはフォルダの外を指すリンクのため、添付されませんでした。\r\n");
        for (const std::string& name : outside) group += sjis(u8"　　") + name + "\r\n";
    }
    const std::vector<std::string>& tooLarge = AttachmentsTooLarge();
    if (!tooLarge.empty()) {
        group += sjis(
            u8"　以下のファイルは 4 GiB 以上あり、圧縮ファイル (LZH) にもメールにも入れられないため添付されませんでした。\r\n");
        for (const std::string& name : tooLarge) group += sjis(u8"　　") + name + "\r\n";
    }
    if (names.empty()) {
        if (tooLarge.empty() && outside.empty()) {
            group += sjis(u8"　添付するファイルが見つかりませんでした。\r\n");
        }
        return;
    }
    group += sjis(u8"　以下のファイルが添付されました。\r\n");
    for (std::string& name : names) {
        group += sjis(u8"　　") + name + "\r\n";
        name = folder + name;
    }
    if (!archive.empty()) {
        group += sjis(u8"　上記の添付ファイルは、以下の圧縮ファイルにまとめられています。\r\n");
        group += sjis(u8"　　") + archive.substr(archive.rfind('/') + 1) + "\r\n";
        names.assign(1, archive);
    }
    report.AttachFolders.push_back(folder);
    for (const std::string& path : names) report.AttachFiles.push_back(path);
}

std::string Head(int number, int kind, const std::string& param) {
    const std::string shown =
        kind == kActionAttachFiles ? (param.size() > 5 ? param.substr(5) : std::string()) : param;
    return platform::StringPrintf("\r\n%2d.%s: %s\r\n", number, ActionKindName(kind).c_str(),
                                  shown.c_str());
}

void RunProgramAction(int kind, const std::string& param, std::string& group) {
    DWORD exitCode = 0;
    g_leftRunning = 0;
    if (!RunProgram(param, kind == kActionRunProgramAndWait, exitCode)) {
        group += ErrorHead() + platform::SystemErrorTextOrCode(g_runError) + "\r\n";
        if (g_leftRunning != 0) {
            const std::string text = platform::StringPrintf(
                sjis(u8"プログラム(%s、プロセスID %u)の終了を待たずに終了します。プログラムは実行中"
                     u8"のままです。")
                    .c_str(),
                param.c_str(), static_cast<unsigned>(g_leftRunning));
            group += sjis(u8"　") + text + "\r\n";
            LogMessage(kLogWarning, "%s", text.c_str());
        }
    } else if (kind == kActionRunProgramAndWait) {
        group += platform::StringPrintf(sjis(u8"　正常(%08x)\r\n").c_str(),
                                        static_cast<unsigned>(exitCode));
    } else {
        group += sjis(u8"　正常\r\n");
    }
}

bool ServiceAction(int kind, const std::string& displayName) {
    switch (kind) {
        case kActionStartService: return ServiceStart(displayName);
        case kActionStopService: return ServiceStop(displayName);
        case kActionPauseService: return ServicePause(displayName);
        default: return ServiceResume(displayName);
    }
}

}  // namespace

const std::string& ActionKindName(int kind) {
    static const std::string kNone;
    switch (kind) {
        case kActionAttachFiles: return sjis(u8"ファイル添付");
        case kActionRunProgram: return sjis(u8"プログラム実行");
        case kActionRunProgramAndWait: return sjis(u8"プログラム実行(終了を待つ)");
        case kActionStartService: return sjis(u8"サービス開始");
        case kActionStopService: return sjis(u8"サービス停止");
        case kActionPauseService: return sjis(u8"サービス一時停止");
        case kActionContinueService: return sjis(u8"サービス再開");
        default: return kNone;
    }
}

DWORD RunProgramErrorCode() { return g_runError; }

bool RunProgram(const std::string& path, bool wait, DWORD& exitCode) {
    // The whole parameter is the program: quoted, so blanks in it split nothing. A quote in it
    // would end the quotes and pass the rest as arguments; no Windows file name holds one.
    if (path.find('"') != std::string::npos) {
        g_runError = platform::kErrorInvalidName;
        return false;
    }
    const std::string commandLine = "\"" + path + "\"";
    if (!wait) {
        if (platform::CreateProcess(commandLine, nullptr)) return true;
        g_runError = platform::GetLastError();
        return false;
    }
    platform::UniqueProcess process;
    if (!platform::CreateProcess(commandLine, &process.Out())) {
        g_runError = platform::GetLastError();
        return false;
    }
    DWORD result;
    while ((result = platform::WaitForSingleObject(process.Get(), 100)) == platform::kWaitTimeout) {
        // The program is left running when the program itself must end: whoever reads the
        // report must know that it still runs, and which it is.
        if (platform::WaitsAbandoned()) {
            g_runError = platform::kErrorOperationAborted;
            g_leftRunning = platform::GetProcessId(process.Get());
            return false;
        }
        platform::ProcessMessages();
    }
    if (result != platform::kWaitObject0 ||
        !platform::GetExitCodeProcess(process.Get(), exitCode)) {
        g_runError = platform::GetLastError();
        return false;
    }
    return true;
}

void ProcessActions(TickBatch& reports) {
    LogDebug("%s", sjis(u8"動作処理開始").c_str());
    std::vector<std::string> names;
    for (const std::unique_ptr<ReportRecord>& report : reports) {
        const WatchEntry& watch = *report->Watch;
        LogDebug(sjis(u8"監視イベント番号: %d(動作登録件数: %d)").c_str(),
                 static_cast<int>(watch.EventNum), static_cast<int>(watch.ToDoList.size()));
        std::string result;
        int number = 0;
        for (const ActionEntry& action : watch.ToDoList) {
            ++number;
            const int kind = action.Kind;
            std::string group;
            switch (kind) {
                case kActionAttachFiles:
                    group = Head(number, kind, action.Param);
                    AttachFiles(action.Param, *report, group, names);
                    break;
                case kActionRunProgram:
                case kActionRunProgramAndWait:
                    group = Head(number, kind, action.Param);
                    RunProgramAction(kind, action.Param, group);
                    break;
                case kActionStartService:
                case kActionStopService:
                case kActionPauseService:
                case kActionContinueService: {
                    // The service is handled first; its head follows.
                    const bool ok = ServiceAction(kind, action.Param);
                    group = Head(number, kind, action.Param);
                    if (ok && kind == kActionStopService && ServiceStopWasKill()) {
                        group += sjis(
                            u8"　停止要求に応答しなかったため、サービスのプロセスを強制終了しました。\r\n");
                    } else if (ok) {
                        group += sjis(u8"　正常\r\n");
                    } else {
                        group += ErrorHead() + ServiceErrorText() + "\r\n";
                    }
                    break;
                }
                default: break;
            }
            result += group;
        }
        if (!result.empty()) report->ReportText += sjis(u8"\r\n\r\n動作確認：") + result;
    }
    LogDebug("%s", sjis(u8"動作処理終了").c_str());
}

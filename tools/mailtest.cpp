// Sends one mail with the settings of an ETC.DAT, composed as a report mail is, through the
// built-in client or the mail library, and prints the log lines the program would write.

#include <cstdio>
#include <string>
#include <vector>

#include "config/settings.h"
#include "core/program_log.h"
#include "notify/mail_report.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "tools/tool_support.h"

namespace {

constexpr char kTool[] = "mailtest";
constexpr char kUsage[] =
    "mailtest [--folder DIR] --to ADDR [--to ADDR]... [--subject TEXT] [--body-file FILE] "
    "[--attach FILE]... [--client | --library] [--debug]";

class PrintedLog : public LogSink {
public:
    void AddLogLine(int level, const platform::SystemTime&, const std::string& text) override {
        std::printf("%s %s\n", platform::SjisToUtf8(LevelName(level)).c_str(),
                    platform::SjisToUtf8(text).c_str());
        if (level == kLogSuccess) ++sent;
        if (level == kLogError || level == kLogWarning) ++failed;
    }
    int sent = 0;
    int failed = 0;
};

bool ValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = c < 0x80         ? 1
                              : (c >> 5) == 6  ? 2
                              : (c >> 4) == 14 ? 3
                              : (c >> 3) == 30 ? 4
                                               : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    AnswerHelp(
        argc, argv,
        "Sends one mail with the settings of the ETC.DAT of a folder, composed as a report mail is, and prints the program log lines.",
        u8"フォルダの ETC.DAT の設定で、レポートメールと同じ形のメールを 1 通送り、プログラムのログの行を表示します。",
        kUsage);
    std::string folder, subject = "mailtest", bodyFile;
    std::vector<std::string> to, attachments;
    bool client = false, library = false, debug = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--folder") {
            folder = OptionValue(argc, argv, i, kTool, kUsage);
        } else if (arg == "--to") {
            to.push_back(platform::NativeToPath(OptionValue(argc, argv, i, kTool, kUsage)));
        } else if (arg == "--subject") {
            subject = OptionValue(argc, argv, i, kTool, kUsage);
        } else if (arg == "--body-file") {
            bodyFile = OptionValue(argc, argv, i, kTool, kUsage);
        } else if (arg == "--attach") {
            attachments.push_back(
                platform::NativeToPath(OptionValue(argc, argv, i, kTool, kUsage)));
        } else if (arg == "--client") {
            client = true;
        } else if (arg == "--library") {
            library = true;
        } else if (arg == "--debug") {
            debug = true;
        } else {
            UsageError(kTool, "unknown argument " + arg, kUsage);
        }
    }
    if (to.empty()) UsageError(kTool, "give at least one --to", kUsage);
    if (client && library) UsageError(kTool, "give --client or --library, not both", kUsage);

    // The library beside this tool, as the program finds it beside itself.
    MailLibrary mail;
    if (!client && !mail.Load() && library) {
        FailWithLastError(
            kTool, "cannot load BSMTP.DLL (" + platform::SharedObjectName("BSMTP.DLL") + ")");
    }
    if (!folder.empty()) platform::SetExecutableDirectory(platform::NativeToPath(folder));
    Settings settings;
    LoadSettings(settings);

    ReportRecord report;
    WatchEntry watch;
    watch.MailSubject = ValidUtf8(subject) ? platform::Utf8ToSjis(subject) : subject;
    report.Watch = &watch;
    report.Recipients = to;
    report.Event.TimeGenerated = platform::GetLocalTime();
    report.AttachFiles = attachments;
    report.ReportText = sjis(u8"Quorvikからのメール送信テストです。");
    if (!bodyFile.empty()) {
        if (!platform::ReadWholeFile(platform::NativeToPath(bodyFile), report.ReportText)) {
            FailWithLastError(kTool, "cannot read " + bodyFile);
        }
        if (ValidUtf8(report.ReportText))
            report.ReportText = platform::Utf8ToSjis(report.ReportText);
    }

    // Lines to the terminal only: the program's own log files are none of this tool's business.
    Settings quiet = settings;
    quiet.Enable = false;
    PrintedLog sink;
    ProgramLog log(quiet, &sink);
    log.SetDebugMode(debug);
    SetProgramLog(&log);
    ReportMailer mailer(settings);
    if (!client && mail.send) mailer.UseLibrary(mail.send);
    TickBatch batch;
    batch.push_back(std::make_unique<ReportRecord>(std::move(report)));
    mailer.DeliverMail(batch);
    SetProgramLog(nullptr);
    return sink.sent > 0 && sink.failed == 0 ? 0 : 1;
}

// Shows one window of the program with sample data until it is closed, for screenshots:
// dialog_gallery
// settings|extension|addresses|address|watches|watch[:tab]|action[:kind]|dryrun[:rule]|question|
// error|version[:user].
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include <QTabWidget>
#include "actions/actions.h"
#include "config/lists.h"
#include "config/settings.h"
#include "core/dry_run.h"
#include "eventlog/catalog.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry_files.h"
#include "ui/app_setup.h"
#include "ui/dry_run_window.h"
#include "ui/edit_mail_dialog.h"
#include "ui/edit_todo_dialog.h"
#include "ui/edit_watch_dialog.h"
#include "ui/extension_dialog.h"
#include "ui/qt_shell.h"
#include "ui/setup_etc_dialog.h"
#include "ui/setup_mail_dialog.h"
#include "ui/setup_watch_dialog.h"
#include "ui/version_box.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    PrepareApplication(app);
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: dialog_gallery settings|addresses|address|watches|watch[:tab]|"
                     "action[:kind]|dryrun[:rule]|question|error|version[:user]\n");
        return 2;
    }
    // Nothing of the sample goes beside the build: the settings stay in a folder of their own.
    char folder[] = "/tmp/quorvik-gallery-XXXXXX";
    if (!mkdtemp(folder)) return 1;
    platform::SetExecutableDirectory(folder);
    const std::string which = argv[1];
    Settings settings;
    settings.Interval = 10;
    settings.SenderName = sjis(u8"監視サーバー");
    settings.MailAddr = "quorvik@example.jp";
    settings.SMTPServer = "mail.example.jp";
    settings.SMTPPort = 587;
    settings.TimeOut = 15;
    settings.AuthType = 2;
    settings.UserID = "quorvik";
    settings.Password = "secret";
    settings.Enable = true;
    settings.Path = "/var/log/quorvik/";
    settings.Alive = 30;
    AddressList list;
    auto add = [&](const char8_t* post, const char8_t* name, const char* mail, const char* pc,
                   const char8_t* contact) {
        list.push_back(std::make_unique<AddressEntry>(
            AddressEntry{sjis(post), sjis(name), mail, pc, sjis(contact)}));
    };
    add(u8"情報システム部", u8"山田 太郎", "yamada@example.jp", "PC-YAMADA", u8"内線 1234");
    add(u8"運用課", u8"鈴木 花子", "suzuki@example.jp", "", u8"090-1234-5678");
    add(u8"サーバー室", u8"監視端末", "", "MONITOR01", u8"");
    WatchList watches;
    auto watch = [&](int number, const char8_t* subject, const char* log, const char8_t* source,
                     std::int16_t type, std::int32_t id) {
        auto w = std::make_unique<WatchEntry>();
        w->EventNum = number;
        w->MailSubject = sjis(subject);
        w->LogName = log;
        w->SourceName = sjis(source);
        w->Type = type;
        w->EventID = id;
        w->Category = AnyValueText();
        w->Condition = sjis(u8"\"ディスク\" AND (空き OR 容量)");
        w->Note = sjis(u8"ディスクの空き容量を確認し、不要なファイルを削除してください。");
        w->ToDoList = {{kActionAttachFiles, MakeAttachParam(3, "C:\\logs\\*.log")},
                       {kActionRunProgramAndWait, "/usr/local/bin/cleanup.sh"},
                       {kActionStopService, sjis(u8"Quorvik サンプル サービス")}};
        w->AddrList = {"yamada@example.jp", "MONITOR01"};
        watches.push_back(std::move(w));
    };
    watch(1, u8"ディスク容量不足", "System", u8"QuorvikSample", 1, 2);
    watch(2, u8"サービス停止", "Application", u8"特定しない", 2, 0);
    watch(3, u8"ログオン失敗", "Security", u8"特定しない", 16, 529);
    const size_t colon = which.find(':');
    const std::string part = colon == std::string::npos ? "" : which.substr(colon + 1);
    const std::string window = which.substr(0, colon);
    platform::SetMachineRoot(std::string(folder) + "/machine/");
    platform::EnsureMachine();
    QDialog* dialog = nullptr;
    if (window == "watches") {
        auto* d = new TfrmSetupWatch;
        d->ShowWatchList(watches, list);
        dialog = d;
    } else if (window == "watch") {
        // The first entry ends its problem with a recovery, the second expects its event
        // nightly; tab 5 is the fifth tab of the second, tab 6 the first's computers.
        watches[0]->Rule.Kind = WatchRule::kRecovery;
        watches[0]->Rule.LogName = "System";
        watches[0]->Rule.SourceName = "QuorvikSample";
        watches[0]->Rule.Type = 4;
        watches[0]->Rule.EventID = 7;
        watches[0]->Rule.Condition = sjis(u8"\"空き容量\" AND 回復");
        watches[0]->Rule.Renotify = 60;
        watches[1]->Rule.Kind = WatchRule::kAbsence;
        watches[1]->Rule.From = 22 * 60;
        watches[1]->Rule.By = 6 * 60;
        watches[1]->Rule.Days = 0x3E;
        watches[0]->Computers = "DC*, FS02";
        const int tab = part.empty() ? 0 : std::stoi(part);
        auto* d = new TfrmEditWatch;
        d->ShowAddresses(list);
        d->ShowEntry(watches, watches[tab == 5 ? 1 : 0].get());
        auto* tabs = d->findChild<QTabWidget*>("pgcWatch");
        QTimer::singleShot(100, d,
                           [tabs, tab] { tabs->setCurrentIndex(tab == 6 ? 5 : std::min(tab, 4)); });
        dialog = d;
    } else if (window == "action") {
        auto* d = new TfrmEditToDo;
        const int kind = part.empty() ? 0 : std::stoi(part);
        const ActionEntry action{static_cast<std::int8_t>(kind),
                                 kind == 0   ? MakeAttachParam(3, "C:\\logs\\*.log")
                                 : kind <= 2 ? std::string("/usr/local/bin/cleanup.sh")
                                             : sjis(u8"Quorvik サンプル サービス")};
        d->ShowAction(&action);
        dialog = d;
    } else if (which == "settings") {
        auto* d = new TfrmSetupEtc;
        d->ShowSettings(settings, nullptr);
        dialog = d;
    } else if (which == "extension") {
        auto* d = new TfrmExtension;
        ExtensionSettings extension;
        extension.Resume = extension.Flood = extension.Syslog = true;
        d->ShowExtension(extension);
        dialog = d;
    } else if (window == "dryrun") {
        // A few records of a source that renders its first string, some of which the first
        // entry matches.
        platform::AppendMachineRegistry(
            platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\System\\Disk") +
            platform::RegExpandStringLine("EventMessageFile",
                                          std::string(platform::kEventCreateMessageFile)));
        watches[0]->SourceName = "Disk";
        const char8_t* texts[] = {u8"ディスク D: の空き容量が 512 MB を下回りました。",
                                  u8"ディスク D: の空き容量が回復しました。",
                                  u8"ディスク E: の空き容量が 128 MB を下回りました。",
                                  u8"ディスク D: の空き容量が 64 MB を下回りました。"};
        for (int i = 0; i < 4; ++i) {
            platform::EventToWrite e;
            e.type = i == 1 ? platform::kEventInformation : platform::kEventError;
            e.eventId = i == 1 ? 7 : 2;
            e.strings = {sjis(texts[i])};
            platform::ReportEvent("Disk", e);
        }
        // ":rule": the recovery shows as the event that ends the problem.
        if (part == "rule") {
            watches[0]->Rule.Kind = WatchRule::kRecovery;
            watches[0]->Rule.LogName = "System";
            watches[0]->Rule.SourceName = "Disk";
            watches[0]->Rule.EventID = 7;
        }
        auto* d = new TfrmDryRun;
        d->ShowResult(DryRunEntry(*watches[0]), 1000);
        dialog = d;
    } else if (which == "addresses") {
        auto* d = new TfrmSetupMail;
        d->ShowAddressList(list);
        dialog = d;
    } else if (which == "address") {
        auto* d = new TfrmEditMail;
        d->ShowAddress(list[0].get());
        dialog = d;
    } else if (which == "question") {
        // A question as the list dialogs ask it, its buttons in the user's language.
        auto* box = new QMessageBox(
            QMessageBox::Question, QString::fromUtf8(u8"削除の確認"),
            QString::fromUtf8(u8"選択されている監視イベントを削除してもよろしいですか？"),
            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        dialog = box;
    } else if (which == "error") {
        // A check's box as the program shows it: a short text under a caption it must not cut.
        QtShell shell;
        shell.MessageBox(sjis(u8"カッコのつじつまが合っていません。"), sjis(u8"条件式エラー"),
                         platform::kMbOk, platform::kMbIconExclamation);
        platform::SetExecutableDirectory("");
        return std::system((std::string("rm -rf '") + folder + "'").c_str()) == 0 ? 0 : 1;
    } else if (window == "version") {
        QApplication::setApplicationVersion(QStringLiteral("1.0.0"));
        // ":user" shows it as an installed program, its folders in the gallery's own.
        platform::ProgramFolders folders{true, folder + std::string("/"), ""};
        if (part == "user") {
            setenv("XDG_CONFIG_HOME", (std::string(folder) + "/config").c_str(), 1);
            setenv("XDG_DATA_HOME", (std::string(folder) + "/data").c_str(), 1);
            folders = platform::FoldersBeside(folder + std::string("/"));
        }
        auto* version = new TfrmVersion(nullptr, folders);
        // What the sources took in, as a busy day leaves it.
        if (part == "user") {
            version->ShowSources(
                sjis(u8"Syslog: 受信100592件、記録100592件、破棄99409件、"
                     u8"記録できず0件、チェック待ち35回\r\n"
                     u8"ジャーナル: 受信200000件、記録200000件、破棄0件、"
                     u8"記録できず0件\r\n"));
        }
        dialog = version;
    } else {
        std::fprintf(stderr, "unknown window %s\n", which.c_str());
        return 2;
    }
    dialog->show();
    QObject::connect(dialog, &QDialog::finished, &app, &QApplication::quit);
    const int result = app.exec();
    delete dialog;
    platform::SetExecutableDirectory("");
    std::string cleanup = std::string("rm -rf '") + folder + "'";
    return std::system(cleanup.c_str()) == 0 ? result : 1;
}

// Shows one window of the program with sample data until it is closed, for screenshots:
// dialog_gallery settings|addresses|address.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "config/lists.h"
#include "config/settings.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "ui/edit_mail_dialog.h"
#include "ui/setup_etc_dialog.h"
#include "ui/setup_mail_dialog.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: dialog_gallery settings|addresses|address\n");
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
    QDialog* dialog = nullptr;
    if (which == "settings") {
        auto* d = new TfrmSetupEtc;
        d->ShowSettings(settings, nullptr);
        dialog = d;
    } else if (which == "addresses") {
        auto* d = new TfrmSetupMail;
        d->ShowAddressList(list);
        dialog = d;
    } else if (which == "address") {
        auto* d = new TfrmEditMail;
        d->ShowAddress(list[0].get());
        dialog = d;
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

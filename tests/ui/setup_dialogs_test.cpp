// The settings dialog and the address list dialogs, driven offscreen with scripted boxes.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <deque>
#include <functional>

#include "config/lists.h"
#include "config/settings.h"
#include "core/address_handlers.h"
#include "platform/codepage.h"
#include "platform/pump.h"
#include "support/mail_server.h"
#include "support/scripted_shell.h"
#include "support/smtp_server.h"
#include "support/test_app.h"
#include "support/test_folder.h"
#include "ui/edit_mail_dialog.h"
#include "ui/qt_shell.h"
#include "ui/setup_etc_dialog.h"
#include "ui/setup_mail_dialog.h"

using platform::SjisToUtf8;

namespace {

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

template <typename T>
T* Find(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

QString Q(const char8_t* text) { return QString::fromUtf8(reinterpret_cast<const char*>(text)); }

// The message boxes shown, as "caption|text" in UTF-8.
std::vector<std::string> Shown(const ScriptedShell& shell) {
    std::vector<std::string> out;
    for (const auto& b : shell.Boxes()) out.push_back(SjisToUtf8(b.caption + "|" + b.text));
    return out;
}

Settings FullSettings() {
    Settings s;
    s.Interval = 5;
    s.SenderName = sjis(u8"監視");
    s.MailAddr = "quorvik@example.jp";
    s.SMTPServer = "127.0.0.1";
    s.SMTPPort = 25;
    s.TimeOut = 15;
    s.Path = "/var/log/quorvik/";
    s.Alive = 7;
    return s;
}

// The settings dialog, shown (not modal) so that a test can press its buttons.
class SetupEtcTest : public ::testing::Test {
protected:
    SetupEtcTest() {
        dialog.ShowSettings(FullSettings(), nullptr);
        dialog.show();
    }
    QLineEdit* Edit(const char* name) { return Find<QLineEdit>(&dialog, name); }
    void Press(const char* name) { Find<QPushButton>(&dialog, name)->click(); }
    // Typed key by key where QTest has keys for the text; Japanese goes in as the input method
    // would put it.
    void Type(const char* name, const char8_t* text) {
        Edit(name)->clear();
        const QString q = Q(text);
        bool ascii = true;
        for (QChar c : q) ascii = ascii && c.unicode() < 0x80;
        if (ascii) {
            QTest::keyClicks(Edit(name), q);
        } else {
            Edit(name)->insert(q);
        }
    }

    QApplication& app = TestApp();  // before any widget
    TestFolder folder;
    ScriptedShell shell;
    TfrmSetupEtc dialog;
};

// The same, with a real mail server.
class SetupEtcPeer : public SetupEtcTest {};

}  // namespace

TEST(SettingsChecks, InTheOrderOfTheForm) {
    SettingsFields f = FieldsOf(FullSettings());
    EXPECT_FALSE(CheckInterval(f));
    f.interval = "00";
    EXPECT_EQ(SjisToUtf8(CheckInterval(f)->message),
              "監視間隔が範囲外です。\r\n\r\n設定できる範囲は、1～99です。");
    f.interval = "";
    EXPECT_EQ(CheckInterval(f)->field, SettingsField::Interval);

    f = FieldsOf(FullSettings());
    EXPECT_TRUE(SmtpComplete(f));
    f.port = "65536";
    EXPECT_FALSE(SmtpComplete(f));
    EXPECT_EQ(CheckSmtp(f)->field, SettingsField::PortNum);
    f.port = "25";
    f.timeOut = "";  // not part of completeness, but of the send test's check
    EXPECT_TRUE(SmtpComplete(f));
    EXPECT_EQ(CheckSmtp(f)->field, SettingsField::TimeOut);
    f.authType = 2;
    EXPECT_FALSE(SmtpComplete(f));
    f.timeOut = "5";
    EXPECT_EQ(CheckSmtp(f)->field, SettingsField::UserID);
    f.userId = "u";
    EXPECT_EQ(SjisToUtf8(CheckSmtp(f)->message), "パスワードが入力されていません。");
    f.senderName.clear();
    f.server.clear();
    EXPECT_EQ(CheckSmtp(f)->field, SettingsField::Name);

    f.logEnabled = true;
    f.path = "/tmp/logs";
    EXPECT_FALSE(CheckLogFolder(f));
    EXPECT_EQ(f.path, "/tmp/logs/");
    f.aliveDays = "";
    EXPECT_EQ(CheckLogFolder(f)->field, SettingsField::AliveDays);
    f.logEnabled = false;
    EXPECT_FALSE(CheckLogFolder(f));  // days not examined with logging off

    // Numbers compare as numbers, texts exactly.
    SettingsFields a = FieldsOf(FullSettings()), b = a;
    b.interval = "05";
    EXPECT_FALSE(SettingsChanged(a, b));
    b.server = "127.0.0.1 ";
    EXPECT_TRUE(SettingsChanged(a, b));
    EXPECT_EQ(SettingsOf(FieldsOf(FullSettings())), FullSettings());
}

TEST_F(SetupEtcTest, OkOnlyWithAChangeAndEveryCheckKeepsTheDialogOpen) {
    Press("btnOk");
    EXPECT_EQ(dialog.result(), QDialog::Rejected);  // nothing changed
    EXPECT_FALSE(dialog.isVisible());

    dialog.ShowSettings(FullSettings(), nullptr);
    dialog.show();
    Type("edtInterval", u8"00");
    shell.Answer(platform::kIdOk);
    Press("btnOk");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(Shown(shell).back(),
              "項目チェック|監視間隔が範囲外です。\r\n\r\n設定できる範囲は、1～99です。");
    EXPECT_EQ(shell.Boxes().back().icon, platform::kMbIconExclamation);
    EXPECT_EQ(dialog.focusWidget(), Edit("edtInterval"));

    // Incomplete SMTP data: a question; No goes back to the sender name.
    Type("edtInterval", u8"10");
    Edit("edtName")->clear();
    Edit("edtHostName")->setText(QStringLiteral("  "));
    shell.Answer(platform::kIdNo);
    Press("btnOk");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(shell.Boxes().back().buttons, platform::kMbYesNo);
    EXPECT_EQ(dialog.focusWidget(), Edit("edtName"));
    EXPECT_EQ(Edit("edtHostName")->text(), QString());  // trimmed in place

    // Yes goes on to the log folder, which gets its separator; empty days stop it.
    Find<QCheckBox>(&dialog, "cbxOutputLogFile")->setChecked(true);
    Type("edtPathName", u8" /srv/ログ ");
    Edit("edtAliveDays")->clear();
    shell.Answer(platform::kIdYes);
    shell.Answer(platform::kIdOk);
    Press("btnOk");
    EXPECT_EQ(Shown(shell).back(), "項目チェック|Quorvikログの自動削除が入力されていません。");
    EXPECT_EQ(Edit("edtPathName")->text(), Q(u8"/srv/ログ/"));
    EXPECT_EQ(dialog.focusWidget(), Edit("edtAliveDays"));
    Type("edtAliveDays", u8"0");
    shell.Answer(platform::kIdYes);
    Press("btnOk");
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    Settings read;
    dialog.ReadSettings(read);
    EXPECT_EQ(read.Interval, 10);
    EXPECT_TRUE(read.Enable);
    EXPECT_EQ(SjisToUtf8(read.Path), "/srv/ログ/");
    EXPECT_EQ(read.Alive, 0);
    EXPECT_EQ(read.SenderName, "");
}

TEST_F(SetupEtcTest, NumericEditsTakeDigitsOnlyTypedOrPasted) {
    QLineEdit* port = Edit("edtPortNum");
    port->clear();
    QTest::keyClicks(port, QStringLiteral("8a 0-8"));
    EXPECT_EQ(port->text(), QStringLiteral("808"));
    QApplication::clipboard()->setText(QStringLiteral("1x"));
    QTest::keySequence(port, QKeySequence::Paste);
    EXPECT_EQ(port->text(), QStringLiteral("808"));
    QApplication::clipboard()->setText(QStringLiteral("0"));
    QTest::keySequence(port, QKeySequence::Paste);
    EXPECT_EQ(port->text(), QStringLiteral("8080"));
    QTest::keyClicks(port, QStringLiteral("12"));  // five digits at most
    EXPECT_EQ(port->text(), QStringLiteral("80801"));
    port->selectAll();
    port->insert(QStringLiteral("x9"));  // what a context-menu paste does
    EXPECT_EQ(port->text(), QStringLiteral("80801"));
}

TEST_F(SetupEtcTest, EnablingFollowsTheMethodAndTheLogSwitch) {
    auto* auth = Find<QComboBox>(&dialog, "cboAuthType");
    EXPECT_EQ(auth->count(), 4);
    EXPECT_FALSE(Edit("edtUserID")->isEnabled());
    auth->setCurrentIndex(3);
    EXPECT_TRUE(Edit("edtPassword")->isEnabled());
    EXPECT_EQ(Edit("edtPassword")->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(Edit("edtPathName")->isEnabled());
    Find<QCheckBox>(&dialog, "cbxOutputLogFile")->setChecked(true);
    EXPECT_TRUE(Find<QPushButton>(&dialog, "btnBrowse")->isEnabled());

    // The browser starts at the folder without its separator and gives one back with it.
    shell.inputs.push_back("/srv/logs");
    Press("btnBrowse");
    EXPECT_EQ(SjisToUtf8(shell.asked.back()),
              "Quorvikログの出力先フォルダを選択してください||/var/log/quorvik");
    EXPECT_EQ(Edit("edtPathName")->text(), QStringLiteral("/srv/logs/"));
    Press("btnBrowse");  // cancelled: nothing changes
    EXPECT_EQ(Edit("edtPathName")->text(), QStringLiteral("/srv/logs/"));

    dialog.LockEntry();
    EXPECT_FALSE(Find<QPushButton>(&dialog, "btnOk")->isEnabled());
    dialog.UnlockEntry();
    EXPECT_TRUE(Find<QPushButton>(&dialog, "btnOk")->isEnabled());
}

TEST_F(SetupEtcTest, ATestThatRunsKeepsTheDialogAndCanBeStopped) {
    // A server that never greets, with a minute allowed: the test runs until stopped.
    ScriptedSmtpServer server("<silent>", {});
    Type("edtPortNum", u8"");
    QTest::keyClicks(Edit("edtPortNum"), QString::number(server.Port()));
    Type("edtTimeOut", u8"60");
    platform::SetMessagePump([] { QCoreApplication::processEvents(); });
    std::vector<std::string> whileRunning;
    QTimer::singleShot(100, &dialog, [&] {
        auto* test = Find<QPushButton>(&dialog, "btnTest");
        whileRunning.push_back(Find<QPushButton>(&dialog, "btnOk")->isEnabled() ? "ok on"
                                                                                : "ok off");
        whileRunning.push_back(test->text().toStdString());
        dialog.reject();  // Esc or the close box: the dialog stays, the test stops
        whileRunning.push_back(dialog.isVisible() ? "visible" : "closed");
    });
    shell.Answer(platform::kIdOk);
    shell.Answer(platform::kIdOk);
    Press("btnTest");
    platform::SetMessagePump(nullptr);
    EXPECT_EQ(whileRunning, (std::vector<std::string>{"ok off", "中止(&S)", "visible"}));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(Find<QPushButton>(&dialog, "btnTest")->text(), Q(u8"送信テスト(&T)"));
    EXPECT_TRUE(Find<QPushButton>(&dialog, "btnCancel")->isEnabled());
}

TEST_F(SetupEtcPeer, ConnectionAndSendTests) {
    MailServer server(folder.File("mail/"));
    ASSERT_TRUE(server.Started());
    Type("edtPortNum", u8"");
    QTest::keyClicks(Edit("edtPortNum"), QString::number(server.Port()));
    // Without the library: a connection test, told first.
    shell.Answer(platform::kIdOk);
    shell.Answer(platform::kIdOk);
    Press("btnTest");
    ASSERT_EQ(Shown(shell).size(), 2u);
    EXPECT_EQ(Shown(shell)[0],
              "接続テスト|BSMTP.DLLが見つからないため、メール送信時の認証は利用できません。\r\n"
              "SMTPサーバーへの接続テストのみを行います。");
    EXPECT_EQ(Shown(shell)[1], "接続テスト|SMTPサーバーの接続テストは正常に終了しました。");
    EXPECT_TRUE(Find<QPushButton>(&dialog, "btnTest")->isEnabled());

    Type("edtPortNum", u8"1");  // nobody listens there
    shell.Answer(platform::kIdOk);
    shell.Answer(platform::kIdOk);
    Press("btnTest");
    EXPECT_EQ(
        Shown(shell).back(),
        "接続テスト|SMTPサーバーに接続できませんでした。\r\n以下のエラーが発生しました。\r\n\r\n"
        "Connection Failed");

    // With the library: a real test mail to the address asked for.
    void* library = dlopen(QUORVIK_BSMTP_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr);
    Settings settings = FullSettings();
    settings.SMTPPort = server.Port();
    dialog.ShowSettings(settings, reinterpret_cast<BSendMailFunction>(dlsym(library, "BSendMail")));
    shell.inputs = {"", "<ops@example.jp>"};  // an empty answer is asked again
    shell.Answer(platform::kIdOk);
    Press("btnTest");
    EXPECT_EQ(SjisToUtf8(shell.asked.back()), "送信テスト|テストメール送信先のメールアドレス|");
    EXPECT_EQ(Shown(shell).back(),
              "送信テスト|メールの送信テストは正常に終了しました。\r\nテストメール送信先のメール"
              "アドレスでメールを受信して、内容を確認してください。");
    const std::string mail = server.WaitForMail(1);
    ASSERT_FALSE(mail.empty());
    EXPECT_NE(server.Decode(mail).find("subject " + HexOf(Utf8(u8"Quorvik メール送信テスト"))),
              std::string::npos);
    EXPECT_EQ(ReadFileBytes(folder.File("mail/mail1.rcpt")), "ops@example.jp");
}

namespace {

// Runs the given steps on the address editor each time it opens.
class EditorScript : public QObject {
public:
    explicit EditorScript(TfrmEditMail& editor) : m_editor(editor) {
        editor.installEventFilter(this);
    }
    std::deque<std::function<void(TfrmEditMail&)>> steps;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            QTimer::singleShot(0, this, [this] {
                if (steps.empty()) {
                    ADD_FAILURE() << "the editor opened unexpectedly";
                    m_editor.reject();
                    return;
                }
                auto step = steps.front();
                steps.pop_front();
                step(m_editor);
            });
        }
        return false;
    }

private:
    TfrmEditMail& m_editor;
};

// Fills the editor and presses its entry button.
std::function<void(TfrmEditMail&)> Enter(const char8_t* mail, const char8_t* computer,
                                         const char8_t* name = u8"") {
    return [=](TfrmEditMail& editor) {
        Find<QLineEdit>(&editor, "edtMailAddr")->setText(Q(mail));
        Find<QLineEdit>(&editor, "edtUserName")->setText(Q(computer));
        Find<QLineEdit>(&editor, "edtName")->setText(Q(name));
        Find<QPushButton>(&editor, "btnEntry")->click();
    };
}

std::function<void(TfrmEditMail&)> Cancel() {
    return [](TfrmEditMail& editor) { Find<QPushButton>(&editor, "btnCancel")->click(); };
}

std::vector<std::string> Rows(TfrmSetupMail& dialog) {
    auto* tree = Find<QTreeWidget>(&dialog, "lvwAddrList");
    std::vector<std::string> rows;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        rows.push_back(tree->topLevelItem(i)->text(0).toStdString() + "/" +
                       tree->topLevelItem(i)->text(1).toStdString());
    }
    return rows;
}

}  // namespace

TEST(AddressChecks, WhatAnEntryMayHold) {
    auto check = [](const char* mail, const char* computer) {
        AddressEntry e;
        e.MailAddr = mail;
        e.UserName = computer;
        const auto problem = CheckAddressInput(e);
        return problem ? SjisToUtf8(problem->message) : std::string("ok");
    };
    EXPECT_EQ(check("", ""), "メールアドレス、ユーザー名がどちらも入力されていません。");
    EXPECT_EQ(check("", "PC01"), "ok");
    EXPECT_EQ(check("a@b", ""), "ok");
    EXPECT_EQ(check("@", ""), "メールアドレスが正しくありません。");
    EXPECT_EQ(check("ab@", ""), "メールアドレスが正しくありません。");
    EXPECT_EQ(check("a@b@", ""), "ok");
    EXPECT_EQ(check("@abc", ""), "ok");
    EXPECT_EQ(check("nomark", ""), "メールアドレスが正しくありません。");
    EXPECT_EQ(check("", "pc@x"), "ユーザー名が正しくありません。");
    EXPECT_EQ(check("", platform::Utf8ToSjis("日本機").c_str()), "ok");  // 8B 40

    AddressList list;
    list.push_back(std::make_unique<AddressEntry>(AddressEntry{"", "", "Ops@Example.jp", "", ""}));
    list.push_back(std::make_unique<AddressEntry>(AddressEntry{"", "", "", "PC01", ""}));
    AddressEntry e;
    e.MailAddr = "ops@example.JP";
    EXPECT_EQ(FindAddressDuplicate(list, e, nullptr), AddressDuplicate::MailAddr);
    EXPECT_EQ(FindAddressDuplicate(list, e, list[0].get()), AddressDuplicate::None);
    e.MailAddr.clear();  // empty values are never taken
    EXPECT_EQ(FindAddressDuplicate(list, e, nullptr), AddressDuplicate::None);
    e.UserName = "pc01";
    EXPECT_EQ(FindAddressDuplicate(list, e, nullptr), AddressDuplicate::UserName);
}

TEST(SetupMailDialog, ATextCodePage932CannotHoldIsNamedNotSavedAsQuestionMarks) {
    TestApp();
    ScriptedShell shell;
    TfrmEditMail editor;
    editor.ShowAddress(nullptr);
    editor.show();
    Find<QLineEdit>(&editor, "edtMailAddr")->setText(QStringLiteral("yoshino@example.jp"));
    Find<QLineEdit>(&editor, "edtName")->setText(QString::fromUtf8(u8"𠮷野"));
    shell.Answer(platform::kIdOk);
    Find<QPushButton>(&editor, "btnEntry")->click();
    ASSERT_EQ(Shown(shell).size(), 1u);
    EXPECT_EQ(Shown(shell).back(),
              "項目チェック|氏名に、シフトJISで表せない文字が入力されています。");
    EXPECT_EQ(editor.focusWidget(), Find<QLineEdit>(&editor, "edtName"));
    EXPECT_NE(editor.result(), QDialog::Accepted);
}

TEST(SetupMailDialog, NewChangeDeleteWithDuplicatesAndTheWatchList) {
    TestApp();
    TestFolder folder;
    ScriptedShell shell;
    AddressList list;
    list.push_back(std::make_unique<AddressEntry>(AddressEntry{"", "", "zed@example.jp", "", ""}));
    list.push_back(std::make_unique<AddressEntry>(AddressEntry{"", "", "", "PC09", ""}));
    WatchList watches;
    auto watch = std::make_unique<WatchEntry>();
    watch->EventNum = 1;
    watch->AddrList = {"zed@example.jp", "PC09"};
    watches.push_back(std::move(watch));

    TfrmSetupMail dialog;
    EditorScript editor(dialog.Editor());
    std::vector<std::string> calls;
    dialog.OnAddressDeleted = [&](const AddressEntry& e) {
        calls.push_back("deleted " + e.MailAddr + e.UserName);
        OnAddressDeleted(watches, e);
    };
    dialog.OnAddressChanged = [&](const AddressEntry& now, const AddressEntry& old) {
        calls.push_back("changed " + old.MailAddr + " -> " + now.MailAddr);
        OnAddressChanged(watches, now, old);
    };
    dialog.ShowAddressList(list);
    dialog.show();
    EXPECT_EQ(Rows(dialog), (std::vector<std::string>{"/PC09", "zed@example.jp/"}));

    // A duplicate (in another letter case) asks to enter again; the second try is taken.
    editor.steps = {Enter(u8"ZED@example.jp", u8""), Enter(u8"amy@example.jp", u8"PC02", u8"アミ")};
    shell.Answer(platform::kIdYes);
    Find<QPushButton>(&dialog, "btnNew")->click();
    EXPECT_EQ(Shown(shell).back(),
              "メールアドレスの重複|入力されたメールアドレスは、すでに登録されています。\r\n\r\n"
              "再入力しますか？");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(SjisToUtf8(list[2]->Name), "アミ");
    EXPECT_EQ(Rows(dialog),
              (std::vector<std::string>{"/PC09", "amy@example.jp/PC02", "zed@example.jp/"}));
    EXPECT_TRUE(dialog.Changed());

    // A computer name taken, and No: nothing is added.
    editor.steps = {Enter(u8"", u8"pc09")};
    shell.Answer(platform::kIdNo);
    Find<QPushButton>(&dialog, "btnNew")->click();
    EXPECT_EQ(list.size(), 3u);
    editor.steps = {Cancel()};
    Find<QPushButton>(&dialog, "btnNew")->click();
    EXPECT_EQ(list.size(), 3u);

    // Change: the handler sees the old values first; the watch entry follows.
    auto* tree = Find<QTreeWidget>(&dialog, "lvwAddrList");
    tree->setCurrentItem(tree->topLevelItem(2));
    editor.steps = {Enter(u8"zoe@example.jp", u8"")};
    Find<QPushButton>(&dialog, "btnUpdate")->click();
    EXPECT_EQ(calls.back(), "changed zed@example.jp -> zoe@example.jp");
    EXPECT_EQ(watches[0]->AddrList, (std::vector<std::string>{"zoe@example.jp", "PC09"}));
    // Opened and confirmed without an edit: nothing happens.
    editor.steps = {[](TfrmEditMail& e) { Find<QPushButton>(&e, "btnEntry")->click(); }};
    Find<QPushButton>(&dialog, "btnUpdate")->click();
    EXPECT_EQ(calls.size(), 1u);

    // Delete the two addresses of the watch entry: it goes too.
    for (int row : {2, 0}) {
        tree->setCurrentItem(tree->topLevelItem(row));
        shell.Answer(platform::kIdYes);
        Find<QPushButton>(&dialog, "btnDelete")->click();
    }
    EXPECT_EQ(SjisToUtf8(shell.Boxes().back().caption), "削除の確認");
    EXPECT_EQ(calls.back(), "deleted PC09");
    EXPECT_TRUE(watches.empty());
    EXPECT_EQ(Rows(dialog), std::vector<std::string>{"amy@example.jp/PC02"});
    ASSERT_EQ(list.size(), 1u);

    tree->clearSelection();
    shell.Answer(platform::kIdOk);
    Find<QPushButton>(&dialog, "btnUpdate")->click();
    EXPECT_EQ(Shown(shell).back(), "メールアドレスの修正|メールアドレスを選択してください。");

    dialog.LockAddressList();
    EXPECT_FALSE(Find<QPushButton>(&dialog, "btnNew")->isEnabled());
    EXPECT_FALSE(Find<QPushButton>(&dialog.Editor(), "btnEntry")->isEnabled());
    dialog.UnlockAddressList();

    // Closed with changes: OK, and the column widths are kept in ETC.DAT.
    tree->setColumnWidth(2, 123);
    dialog.close();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(ReadIntSetting("MailList", "COL02", 0), 123);
    dialog.ShowAddressList(list);
    dialog.show();
    Find<QPushButton>(&dialog, "btnClose")->click();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);  // nothing accepted this time
}

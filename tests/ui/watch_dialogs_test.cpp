// The watch list dialog, the watch entry editor and the action editor, driven offscreen on an
// emulated machine whose sources come from its default message files and the eventcreate tool.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <deque>
#include <functional>

#include "actions/actions.h"
#include "config/lists.h"
#include "config/settings.h"
#include "eventlog/catalog.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/services.h"
#include "support/machine_folder.h"
#include "support/scripted_shell.h"
#include "support/test_app.h"
#include "ui/dry_run_window.h"
#include "ui/edit_todo_dialog.h"
#include "ui/edit_watch_dialog.h"
#include "ui/qt_shell.h"
#include "ui/setup_watch_dialog.h"

using platform::SjisToUtf8;

namespace {

QString Q(const char8_t* text) { return QString::fromUtf8(reinterpret_cast<const char*>(text)); }

template <typename T>
T* Find(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

std::vector<std::string> Items(QComboBox* box) {
    std::vector<std::string> items;
    for (int i = 0; i < box->count(); ++i) items.push_back(box->itemText(i).toStdString());
    return items;
}

std::vector<std::string> Rows(QTreeWidget* tree, int column = 0) {
    std::vector<std::string> rows;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        rows.push_back(tree->topLevelItem(i)->text(column).toStdString());
    }
    return rows;
}

// Runs the given steps on a modal dialog each time it opens.
class ModalScript : public QObject {
public:
    explicit ModalScript(QDialog& dialog) : m_dialog(dialog) { dialog.installEventFilter(this); }
    std::deque<std::function<void(QDialog&)>> steps;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            QTimer::singleShot(0, this, [this] {
                if (steps.empty()) {
                    ADD_FAILURE() << "a dialog opened unexpectedly";
                    m_dialog.reject();
                    return;
                }
                auto step = steps.front();
                steps.pop_front();
                step(m_dialog);
            });
        }
        return false;
    }

private:
    QDialog& m_dialog;
};

// A watch entry of the list, as new entries of the tests look.
std::unique_ptr<WatchEntry> Entry(int number) {
    auto e = std::make_unique<WatchEntry>();
    e->EventNum = number;
    e->MailSubject = "subject " + std::to_string(number);
    e->LogName = e->SourceName = e->Category = AnyValueText();
    e->AddrList = {"ops@example.jp"};
    return e;
}

class WatchDialogTest : public ::testing::Test {
protected:
    WatchDialogTest() {
        addresses.push_back(
            std::make_unique<AddressEntry>(AddressEntry{"", "", "ops@example.jp", "", ""}));
        addresses.push_back(std::make_unique<AddressEntry>(AddressEntry{"", "", "", "PC01", ""}));
        editor.ShowAddresses(addresses);
    }
    QWidget* Field(const char* name) { return Find<QWidget>(&editor, name); }
    QComboBox* Box(const char* name) { return Find<QComboBox>(&editor, name); }
    void SetEdit(const char* name, const QString& text) {
        Find<QLineEdit>(&editor, name)->setText(text);
    }
    void Tick(int row, bool on) {
        Find<QTreeWidget>(&editor, "lvwAddrList")
            ->topLevelItem(row)
            ->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
    }
    QWidget* CurrentTab() { return Find<QTabWidget>(&editor, "pgcWatch")->currentWidget(); }
    // Presses 登録 and gives the message shown (UTF-8), empty when none was.
    std::string Register() {
        const size_t before = shell.Boxes().size();
        shell.Answer(platform::kIdOk);
        Find<QPushButton>(&editor, "btnEntry")->click();
        if (shell.Boxes().size() == before) {
            shell.ClearAnswers();  // no box needed it
            return std::string();
        }
        return SjisToUtf8(shell.Boxes().back().caption + "|" + shell.Boxes().back().text);
    }

    QApplication& app = TestApp();
    MachineFolder machine;
    ScriptedShell shell;
    AddressList addresses;
    WatchList watches;
    TfrmEditWatch editor;
};

}  // namespace

TEST(WatchFields, NumbersTypesAndCarets) {
    WatchList list;
    EXPECT_EQ(NextWatchNumber(list), 1);
    for (int n : {1, 2, 4}) list.push_back(Entry(n));
    EXPECT_EQ(NextWatchNumber(list), 3);
    list[2]->EventNum = 3;
    EXPECT_EQ(NextWatchNumber(list), 4);
    {
        // A hand-made file may hold 0, and any order.
        WatchList odd;
        for (int n : {0, 2, 1, 3}) odd.push_back(Entry(n));
        EXPECT_EQ(NextWatchNumber(odd), 4);
        odd[2]->EventNum = 0;
        EXPECT_EQ(NextWatchNumber(odd), 1);
    }
    EXPECT_EQ(TypeIndex(16), 5);
    EXPECT_EQ(TypeIndex(4), 3);
    EXPECT_EQ(TypeIndex(3), 0);  // no such type: shown as any
    EXPECT_EQ(TypeMaskOfIndex(2), 2);
    EXPECT_EQ(TypeMaskOfIndex(4), 7);
    // Bytes to characters: a double-byte character and a CR LF are one each.
    EXPECT_EQ(CaretOfBytePosition(sjis(u8"a\r\n表 b"), 6), 4);
    EXPECT_EQ(CaretOfBytePosition("a)", 2), 2);
    EXPECT_EQ(CaretOfBytePosition("ab", 3), 2);

    WatchFields f;
    f.eventNum = "2";
    f.mailSubject = "s";
    f.logName = f.sourceName = f.category = AnyValueText();
    f.eventId = "65535";
    EXPECT_EQ(CheckWatchFields(f, list, list[1].get()), std::nullopt);  // its own number
    EXPECT_EQ(CheckWatchFields(f, list, nullptr)->field, WatchField::EventNum);
    f.eventNum = "0";  // no range beyond six digits
    EXPECT_EQ(CheckWatchFields(f, list, nullptr), std::nullopt);
    for (const char* id : {"65536", "0", "12a", "-5"}) {
        f.eventId = id;
        EXPECT_EQ(SjisToUtf8(CheckWatchFields(f, list, nullptr)->message),
                  "イベントIDが範囲外です。\r\n\r\n設定できる範囲は、1～65535です。")
            << id;
    }
    f.eventId = "  100";  // a text of the list
    EXPECT_EQ(CheckWatchFields(f, list, nullptr), std::nullopt);
    f.eventId = AnyValueText();
    EXPECT_EQ(CheckWatchFields(f, list, nullptr), std::nullopt);

    EXPECT_EQ(AttachParam("3", "C:\\a"), "    3C:\\a");
    EXPECT_EQ(AttachParam("12345", "x"), "12345x");
    EXPECT_EQ(AttachParam("    3", "x"), "    3x");
}

TEST_F(WatchDialogTest, TheChecksInOrderWithTheirTabsAndTheCaret) {
    watches.push_back(Entry(1));
    editor.ShowEntry(watches, nullptr);
    editor.show();
    EXPECT_EQ(Find<QLineEdit>(&editor, "edtEventNum")->text(), QStringLiteral("2"));
    // On the action tab with a taken number: check 2 brings the event tab forward.
    Find<QTabWidget>(&editor, "pgcWatch")->setCurrentIndex(2);
    SetEdit("edtEventNum", QStringLiteral("1"));
    EXPECT_EQ(Register(), "項目チェック|入力された監視イベント番号は、すでに登録されています。");
    EXPECT_EQ(CurrentTab()->objectName(), QStringLiteral("tshEvent"));
    EXPECT_EQ(editor.focusWidget(), Field("edtEventNum"));

    SetEdit("edtEventNum", QStringLiteral(" 7 "));
    SetEdit("edtMailSubject", QStringLiteral("   "));
    Find<QTabWidget>(&editor, "pgcWatch")->setCurrentIndex(2);
    EXPECT_EQ(Register(), "項目チェック|メールタイトルが入力されていません。");
    EXPECT_EQ(CurrentTab()->objectName(), QStringLiteral("tshEvent"));
    EXPECT_EQ(editor.focusWidget(), Field("edtMailSubject"));
    EXPECT_EQ(Find<QLineEdit>(&editor, "edtEventNum")->text(), QStringLiteral("7"));

    SetEdit("edtMailSubject", Q(u8"ディスク"));
    Box("cbxEventID")->setEditText(QStringLiteral("70000"));
    EXPECT_EQ(Register(),
              "項目チェック|イベントIDが範囲外です。\r\n\r\n設定できる範囲は、1～65535です。");
    EXPECT_EQ(editor.focusWidget(), Box("cbxEventID"));
    Box("cbxEventID")->setEditText(QStringLiteral("100"));
    Box("cbxCategory")->setEditText(QString());
    EXPECT_EQ(Register(), "項目チェック|分類が選択、または入力されていません。");
    Box("cbxCategory")->setEditText(Q(u8"特定しない"));

    // The search expression's own box, then the caret at its position.
    auto* condition = Find<QPlainTextEdit>(&editor, "edtCondition");
    condition->setPlainText(Q(u8"\"ディスク\" AND\n(容量"));
    EXPECT_EQ(Register(), "条件式エラー|カッコのつじつまが合っていません。");
    EXPECT_EQ(editor.focusWidget(), condition);
    EXPECT_EQ(condition->textCursor().position(), condition->toPlainText().size());

    condition->setPlainText(Q(u8"\"ディスク\" AND 容量"));
    EXPECT_EQ(Register(), "項目チェック|メール受信者が1人も選択されていません。");
    EXPECT_EQ(CurrentTab()->objectName(), QStringLiteral("tshAddr"));
    Tick(1, true);
    EXPECT_EQ(Register(), "");
    EXPECT_EQ(editor.result(), QDialog::Accepted);
    EXPECT_TRUE(editor.Modified());
    WatchEntry read;
    editor.ReadEntry(read);
    EXPECT_EQ(read.EventNum, 7);
    EXPECT_EQ(read.EventID, 100);
    EXPECT_EQ(read.Condition, sjis(u8"\"ディスク\" AND 容量"));
    EXPECT_EQ(read.AddrList, std::vector<std::string>{"ops@example.jp"});
}

TEST_F(WatchDialogTest, TheKeyboardAsOnWindows) {
    watches.push_back(Entry(1));
    editor.ShowEntry(watches, nullptr);
    editor.show();
    editor.activateWindow();
    auto* pages = Find<QTabWidget>(&editor, "pgcWatch");
    // Tab from the last control of every page leaves the page for the dialog's buttons.
    const char* last[] = {"btnDryRun", "edtNote", "btnDown", "lvwAddrList", "edtRenotify"};
    for (int page = 0; page < 5; ++page) {
        pages->setCurrentIndex(page);
        QWidget* from = Field(last[page]);
        from->setEnabled(true);
        from->setFocus();
        QTest::keyClick(from, Qt::Key_Tab);
        EXPECT_EQ(editor.focusWidget(), Field("btnEntry")) << last[page];
    }
    // The note takes no TAB from the key, and Alt with a letter nobody owns types nothing.
    pages->setCurrentIndex(1);
    auto* note = Find<QPlainTextEdit>(&editor, "edtNote");
    note->setFocus();
    QTest::keyClicks(note, QStringLiteral("ab"));
    QTest::keyClick(note, Qt::Key_Q, Qt::AltModifier);
    EXPECT_EQ(note->toPlainText(), QStringLiteral("ab"));
    // The event id box takes digits only, typed where the keys arrive.
    pages->setCurrentIndex(0);
    QComboBox* id = Box("cbxEventID");
    id->setFocus();
    id->setEditText(QString());
    QTest::keyClicks(id, QStringLiteral("1x2"));
    EXPECT_EQ(id->currentText(), QStringLiteral("12"));
}

TEST_F(WatchDialogTest, AnUnchangedEntryCancelsAndAnUnknownRecipientCountsAsAChange) {
    auto entry = Entry(4);
    entry->AddrList = {"ops@example.jp", "gone@example.jp"};
    watches.push_back(std::move(entry));
    editor.ShowEntry(watches, watches[0].get());
    editor.show();
    EXPECT_EQ(Register(), "");
    // The text no address entry holds is dropped, which is a change.
    EXPECT_EQ(editor.result(), QDialog::Accepted);
    watches[0]->AddrList = {"ops@example.jp"};
    editor.ShowEntry(watches, watches[0].get());
    editor.show();
    EXPECT_EQ(Register(), "");
    EXPECT_EQ(editor.result(), QDialog::Rejected);
    EXPECT_FALSE(editor.Modified());
}

TEST_F(WatchDialogTest, TheStateTabChecksAndKeepsARule) {
    watches.push_back(Entry(1));
    watches[0]->LogName = "Application";
    editor.ShowEntry(watches, watches[0].get());
    editor.show();
    auto radio = [&](const char* name) { Find<QRadioButton>(&editor, name)->setChecked(true); };
    // A nightly window without a weekday, then with a time that is none.
    radio("rbnAbsence");
    EXPECT_TRUE(Field("grpAbsence")->isEnabled());
    EXPECT_FALSE(Field("grpRecovery")->isEnabled());
    radio("rbnDaily");
    SetEdit("edtFrom", QStringLiteral("22:00"));
    SetEdit("edtBy", QStringLiteral("6:30"));
    for (const char* day : {"chkSun", "chkMon", "chkTue", "chkWed", "chkThu", "chkFri", "chkSat"})
        Find<QCheckBox>(&editor, day)->setChecked(false);
    EXPECT_EQ(Register(), "項目チェック|期限の曜日が1つも選択されていません。");
    EXPECT_EQ(CurrentTab()->objectName(), QStringLiteral("tshState"));
    Find<QCheckBox>(&editor, "chkMon")->setChecked(true);
    SetEdit("edtBy", QStringLiteral("24:00"));
    EXPECT_EQ(Register(), "項目チェック|期限の時刻は、00:00～23:59で入力してください。");
    EXPECT_EQ(editor.focusWidget(), Field("edtBy"));
    SetEdit("edtBy", QStringLiteral("6:30"));
    EXPECT_EQ(Register(), "");
    EXPECT_EQ(editor.result(), QDialog::Accepted);  // the rule alone is a change
    WatchEntry read;
    editor.ReadEntry(read);
    EXPECT_EQ(read.Rule.Kind, WatchRule::kAbsence);
    EXPECT_EQ(read.Rule.Every, 0);
    EXPECT_EQ(read.Rule.From, 22 * 60);
    EXPECT_EQ(read.Rule.By, 6 * 60 + 30);
    EXPECT_EQ(read.Rule.Days, 0x02);
    // Shown again, it is as it was: nothing changed.
    *watches[0] = read;
    editor.ShowEntry(watches, watches[0].get());
    EXPECT_TRUE(Find<QRadioButton>(&editor, "rbnDaily")->isChecked());
    EXPECT_EQ(Register(), "");
    EXPECT_EQ(editor.result(), QDialog::Rejected);

    // Recovery: an event that is the watched one itself would end every problem at once; the
    // condition is checked with its caret.
    radio("rbnRecovery");
    Box("cbxRecoveryLog")->setEditText(QStringLiteral("Application"));
    EXPECT_EQ(Register(), "項目チェック|問題を終わらせるイベントが、監視するイベントと同じです。");
    auto* condition = Find<QPlainTextEdit>(&editor, "edtRecoveryCondition");
    condition->setPlainText(Q(u8"(復旧"));
    EXPECT_EQ(Register(), "条件式エラー|カッコのつじつまが合っていません。");
    EXPECT_EQ(editor.focusWidget(), condition);
    condition->setPlainText(Q(u8"復旧"));
    SetEdit("edtRenotify", QStringLiteral("10081"));
    EXPECT_EQ(Register(),
              "項目チェック|再通知の間隔が範囲外です。\r\n\r\n設定できる範囲は、0～10080分です。");
    SetEdit("edtRenotify", QStringLiteral("30"));
    EXPECT_EQ(Register(), "");
    editor.ReadEntry(read);
    EXPECT_EQ(read.Rule.Kind, WatchRule::kRecovery);
    EXPECT_EQ(read.Rule.LogName, "Application");
    EXPECT_EQ(read.Rule.Condition, sjis(u8"復旧"));
    EXPECT_EQ(read.Rule.Renotify, 30);
    EXPECT_EQ(read.Rule.From, 0);  // what the other kind showed is not kept
}

TEST_F(WatchDialogTest, TheCatalogueBoxesFollowEachOther) {
    // A source the eventcreate tool registers, beside the default machine's sample source.
    ASSERT_EQ(RunCommand(std::string(QUORVIK_TOOLS_DIR) + "/eventcreate --machine " +
                         machine.Root() + " --log System --source Disk --type error --id 7"),
              0);
    platform::Sleep(150);  // another program changed the registry
    editor.ShowEntry(watches, nullptr);
    editor.show();
    EXPECT_EQ(Items(Box("cbxLogName")),
              (std::vector<std::string>{"特定しない", "Application", "Security", "System"}));
    // Any log: every log's sources, each once, sorted.
    const std::vector<std::string> sources = Items(Box("cbxSourceName"));
    EXPECT_EQ(sources.front(), "特定しない");
    EXPECT_NE(std::find(sources.begin(), sources.end(), "Disk"), sources.end());
    EXPECT_NE(std::find(sources.begin(), sources.end(), "QuorvikSample"), sources.end());
    EXPECT_TRUE(std::is_sorted(sources.begin() + 1, sources.end(),
                               [](const std::string& a, const std::string& b) {
                                   return platform::CompareAsciiNoCase(a, b) < 0;
                               }));
    EXPECT_EQ(Items(Box("cbxCategory")), std::vector<std::string>{"特定しない"});
    EXPECT_EQ(Items(Box("cbxEventID")), std::vector<std::string>{"特定しない"});

    Box("cbxLogName")->setEditText(QStringLiteral("Application"));
    EXPECT_EQ(Box("cbxSourceName")->currentText(), Q(u8"特定しない"));  // the typed text stays
    Box("cbxSourceName")->setEditText(QStringLiteral("QuorvikSample"));
    const std::vector<std::string> categories = Items(Box("cbxCategory"));
    EXPECT_EQ(categories.size(), 4u)  // three and the any-value
        << Box("cbxLogName")->currentText().toStdString() << "|"
        << Box("cbxSourceName")->currentText().toStdString();
    const std::vector<std::string> all = Items(Box("cbxEventID"));
    Box("cbxType")->setCurrentIndex(2);  // warnings: fewer identifiers, in numeric order
    const std::vector<std::string> warnings = Items(Box("cbxEventID"));
    EXPECT_LT(warnings.size(), all.size());
    EXPECT_GT(warnings.size(), 1u);
    EXPECT_TRUE(std::is_sorted(warnings.begin() + 1, warnings.end()));
    Box("cbxType")->setCurrentIndex(4);  // audit success: every severity
    EXPECT_EQ(Items(Box("cbxEventID")), all);
}

TEST_F(WatchDialogTest, ActionsAreEditedMovedAndSavedForTheMonitor) {
    TfrmEditToDo& actions = editor.ActionEditor();
    ModalScript script(actions);
    auto entry = Entry(9);
    entry->LogName = "Application";
    entry->SourceName = "App";
    entry->ToDoList = {{kActionRunProgram, "/bin/true"}};
    watches.push_back(std::move(entry));
    editor.ShowEntry(watches, watches[0].get());
    editor.show();
    auto* list = Find<QTreeWidget>(&editor, "lvwToDo");

    // New: opens on attach files with one file; five digits go as they are.
    script.steps.push_back([](QDialog& d) {
        EXPECT_EQ(Find<QListWidget>(&d, "lbxToDo")->currentRow(), 0);
        EXPECT_EQ(Find<QLineEdit>(&d, "edtNumFiles")->text(), QStringLiteral("1"));
        Find<QLineEdit>(&d, "edtNumFiles")->setText(QStringLiteral("12345"));
        Find<QLineEdit>(&d, "edtFile")->setText(QStringLiteral("/var/log/*.log"));
        Find<QPushButton>(&d, "btnEntry")->click();
    });
    Find<QPushButton>(&editor, "btnNew")->click();
    EXPECT_EQ(Rows(list, 1), (std::vector<std::string>{"/bin/true", "/var/log/*.log"}));
    // Change it into a run-and-wait; an empty program is refused first.
    list->setCurrentItem(list->topLevelItem(1));
    script.steps.push_back([this](QDialog& d) {
        Find<QListWidget>(&d, "lbxToDo")->setCurrentRow(kActionRunProgramAndWait);
        shell.Answer(platform::kIdOk);
        Find<QPushButton>(&d, "btnEntry")->click();
        EXPECT_EQ(SjisToUtf8(shell.Boxes().back().text), "プログラムが入力されていません。");
        Find<QLineEdit>(&d, "edtProgram")->setText(QStringLiteral("/usr/bin/logger"));
        Find<QPushButton>(&d, "btnEntry")->click();
    });
    Find<QPushButton>(&editor, "btnUpdate")->click();
    EXPECT_EQ(Rows(list),
              (std::vector<std::string>{"プログラム実行", "プログラム実行(終了を待つ)"}));
    // Up on the second row, then up on the first (nothing), down on the last (nothing).
    Find<QPushButton>(&editor, "btnUp")->click();
    Find<QPushButton>(&editor, "btnUp")->click();
    EXPECT_EQ(Rows(list, 1), (std::vector<std::string>{"/usr/bin/logger", "/bin/true"}));
    list->setCurrentItem(list->topLevelItem(1));
    Find<QPushButton>(&editor, "btnDown")->click();
    EXPECT_EQ(Rows(list, 1), (std::vector<std::string>{"/usr/bin/logger", "/bin/true"}));
    EXPECT_EQ(watches[0]->ToDoList.size(), 1u);  // nothing reaches the entry before reading

    EXPECT_EQ(Register(), "");
    EXPECT_EQ(editor.result(), QDialog::Accepted);
    editor.ReadEntry(*watches[0]);
    EXPECT_EQ(watches[0]->ToDoList,
              (std::vector<ActionEntry>{{kActionRunProgramAndWait, "/usr/bin/logger"},
                                        {kActionRunProgram, "/bin/true"}}));

    // Saved, the monitor's dry run reads the same entry.
    WatchList none;
    LoadWatchList(none);  // makes the file a save needs
    ASSERT_TRUE(SaveWatchList(watches));
    ASSERT_EQ(
        RunCommand(std::string(QUORVIK_TOOLS_DIR) + "/eventcreate --machine " + machine.Root() +
                   " --log Application --source App --type error --id 1" + " --string boom"),
        0);
    std::string out;
    ASSERT_EQ(
        RunCommand(std::string(QUORVIK_TOOLS_DIR) + "/watchtest --machine " + machine.Root() +
                       " --folder " + machine.Root() + "../" + " --log Application --from 1 --json",
                   &out),
        0);
    EXPECT_NE(out.find("\"watch\":9,\"recipients\":[\"ops@example.jp\"]"), std::string::npos)
        << out;
}

TEST_F(WatchDialogTest, ServicesAreOfferedByTheControlsTheyTake) {
    using namespace platform;
    UniqueServiceHandle manager(OpenSCManager());
    auto install = [&](const char* name, DWORD accepted) {
        ServiceConfig c;
        c.serviceName = name;
        c.displayName = std::string(name) + " display";
        c.commandLine = "sleep 60";
        c.acceptedControls = accepted;
        ASSERT_TRUE(CreateService(manager.Get(), c));
    };
    install("Stoppable", kServiceAcceptStop);
    install("Stubborn", 0);
    install("Idle", kServiceAcceptStop | kServiceAcceptPauseContinue);
    for (const char* name : {"Stoppable", "Stubborn"}) {
        UniqueServiceHandle s(OpenService(manager.Get(), name));
        ASSERT_TRUE(StartService(s.Get()));
    }
    for (int i = 0; i < 100 && ServiceNames(1).empty(); ++i) Sleep(20);  // past the start

    EXPECT_EQ(ServiceNames(0).size(), 4u);  // the sample service too
    // Stopped services take no controls; a running one that refuses stop is never offered.
    EXPECT_EQ(ServiceNames(1), std::vector<std::string>{"Stoppable display"});
    EXPECT_TRUE(ServiceNames(2).empty());

    TfrmEditToDo& actions = editor.ActionEditor();
    const ActionEntry stop{kActionStopService, "Stoppable display"};
    actions.ShowAction(&stop);
    auto* services = Find<QListWidget>(&actions, "lbxService");
    EXPECT_EQ(services->currentItem()->text(), QStringLiteral("Stoppable display"));
    Find<QListWidget>(&actions, "lbxToDo")->setCurrentRow(kActionStartService);
    EXPECT_EQ(services->count(), 4);
    EXPECT_EQ(services->currentItem()->text(), QStringLiteral("Stoppable display"));  // kept
    const ActionEntry gone{kActionPauseService, "Idle display"};
    actions.ShowAction(&gone);
    EXPECT_EQ(services->count(), 0);
    shell.Answer(platform::kIdOk);  // an action with no service is refused
    Find<QPushButton>(&actions, "btnEntry")->click();
    EXPECT_EQ(SjisToUtf8(shell.Boxes().back().text), "サービスが選択されていません。");
    const ActionEntry counted{kActionAttachFiles, "    3/var/log/*.log"};
    actions.ShowAction(&counted);
    EXPECT_EQ(Find<QLineEdit>(&actions, "edtNumFiles")->text(), QStringLiteral("    3"));
    ActionEntry back;
    actions.ReadAction(back);
    EXPECT_EQ(back, counted);
}

TEST_F(WatchDialogTest, TheWatchListDialogNumbersSortsAndDeletes) {
    for (int n : {1, 2, 4}) watches.push_back(Entry(n));
    TfrmSetupWatch dialog;
    ModalScript script(dialog.Editor());
    dialog.ShowWatchList(watches, addresses);
    dialog.show();
    auto* list = Find<QTreeWidget>(&dialog, "lvwWatchList");
    EXPECT_EQ(Rows(list, 4), (std::vector<std::string>{"特定しない", "特定しない", "特定しない"}));
    // The row with the focus frame is the one chosen: 修正 opens it.
    EXPECT_EQ(list->selectedItems(), QList<QTreeWidgetItem*>{list->topLevelItem(0)});

    script.steps.push_back([](QDialog& d) {
        EXPECT_EQ(Find<QLineEdit>(&d, "edtEventNum")->text(), QStringLiteral("3"));
        Find<QLineEdit>(&d, "edtMailSubject")->setText(QStringLiteral("third"));
        Find<QTreeWidget>(&d, "lvwAddrList")->topLevelItem(0)->setCheckState(0, Qt::Checked);
        Find<QPushButton>(&d, "btnEntry")->click();
    });
    Find<QPushButton>(&dialog, "btnNew")->click();
    EXPECT_EQ(Rows(list), (std::vector<std::string>{"1", "2", "3", "4"}));
    ASSERT_EQ(watches.size(), 4u);
    EXPECT_EQ(watches[2]->MailSubject, "third");
    EXPECT_EQ(watches[2]->AddrList, std::vector<std::string>{"PC01"});

    list->clearSelection();
    shell.Answer(platform::kIdOk);
    Find<QPushButton>(&dialog, "btnDelete")->click();
    EXPECT_EQ(SjisToUtf8(shell.Boxes().back().caption), "監視イベントの修正");
    list->setCurrentItem(list->topLevelItem(0));
    shell.Answer(platform::kIdYes);
    Find<QPushButton>(&dialog, "btnDelete")->click();
    EXPECT_EQ(Rows(list), (std::vector<std::string>{"2", "3", "4"}));
    EXPECT_EQ(watches.size(), 3u);

    dialog.LockWatchList();
    EXPECT_FALSE(Find<QPushButton>(&dialog, "btnNew")->isEnabled());
    EXPECT_FALSE(Find<QPushButton>(&dialog.Editor(), "btnEntry")->isEnabled());
    dialog.UnlockWatchList();

    // The close box cancels whatever was changed; the close button accepts the changes.
    dialog.close();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    dialog.show();
    Find<QPushButton>(&dialog, "btnClose")->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST_F(WatchDialogTest, ColumnsTakeTheirDesignWidthOrFitTheirRowsNeverAHeaderAlone) {
    TfrmSetupWatch dialog;
    ModalScript script(dialog.Editor());
    auto* list = Find<QTreeWidget>(&dialog, "lvwWatchList");
    dialog.ShowWatchList(watches, addresses);
    dialog.show();
    dialog.close();  // opened and closed empty: no width learnt
    EXPECT_EQ(ReadIntSetting("WatchList", "COL01", -1), -1);

    dialog.ShowWatchList(watches, addresses);
    dialog.show();
    const QString subject = QStringLiteral("a subject that no header is as wide as, by far");
    script.steps.push_back([&](QDialog& d) {
        Find<QLineEdit>(&d, "edtMailSubject")->setText(subject);
        // The recipients' columns have the address list's design widths.
        EXPECT_EQ(Find<QTreeWidget>(&d, "lvwAddrList")->columnWidth(0), 150);
        EXPECT_EQ(Find<QTreeWidget>(&d, "lvwAddrList")->columnWidth(2), 100);
        Find<QTreeWidget>(&d, "lvwAddrList")->topLevelItem(0)->setCheckState(0, Qt::Checked);
        Find<QPushButton>(&d, "btnEntry")->click();
    });
    Find<QPushButton>(&dialog, "btnNew")->click();
    const int fitted = list->columnWidth(1);
    EXPECT_GE(fitted, list->fontMetrics().horizontalAdvance(subject));
    Find<QPushButton>(&dialog, "btnClose")->click();
    EXPECT_EQ(ReadIntSetting("WatchList", "COL01", -1), fitted);
}

TEST_F(WatchDialogTest, TheTestButtonShowsWhatTheEntryAsEditedWouldMatch) {
    for (const char* id : {"7", "8", "7"}) {
        ASSERT_EQ(RunCommand(std::string(QUORVIK_TOOLS_DIR) + "/eventcreate --machine " +
                             machine.Root() + " --log System --source Disk --type error --id " +
                             id + " --string 'disk full " + id + "'"),
                  0);
    }
    editor.ShowEntry(watches, nullptr);
    editor.show();
    // Only what decides a match is checked; the number and the title may wait.
    SetEdit("edtMailSubject", QString());
    Box("cbxLogName")->setEditText(QStringLiteral("System"));
    Box("cbxEventID")->setEditText(QStringLiteral("0"));
    shell.Answer(platform::kIdOk);
    Find<QPushButton>(&editor, "btnDryRun")->click();
    ASSERT_EQ(shell.Boxes().size(), 1u);
    EXPECT_EQ(SjisToUtf8(shell.Boxes()[0].text),
              "イベントIDが範囲外です。\r\n\r\n設定できる範囲は、1～65535です。");

    Box("cbxEventID")->setEditText(QStringLiteral("7"));
    Find<QPlainTextEdit>(&editor, "edtNote")->setPlainText(QStringLiteral("replace it"));
    ModalScript script(editor.DryRunWindow());
    script.steps.push_back([](QDialog& d) {
        auto& window = static_cast<TfrmDryRun&>(d);
        EXPECT_EQ(window.Summary()->text(), Q(u8"3件のレコードのうち2件が一致しました。"));
        ASSERT_EQ(window.Matches()->topLevelItemCount(), 2);
        EXPECT_EQ(window.Matches()->topLevelItem(0)->text(2), QStringLiteral("1"));
        EXPECT_EQ(window.Matches()->topLevelItem(1)->text(8), QStringLiteral("disk full 7"));
        const QString report = window.ReportText()->toPlainText();
        EXPECT_TRUE(report.contains(Q(u8"説明：\ndisk full 7\n"))) << report.toStdString();
        EXPECT_TRUE(report.contains(Q(u8"注記：\nreplace it"))) << report.toStdString();
        d.accept();
    });
    Find<QPushButton>(&editor, "btnDryRun")->click();
    EXPECT_TRUE(script.steps.empty());
    EXPECT_EQ(shell.Boxes().size(), 1u);
    EXPECT_TRUE(editor.isVisible());  // the editor stays open, unchanged
}

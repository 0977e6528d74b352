// The watch entry editor, driven offscreen on an emulated machine whose sources come from its
// default message files and the eventcreate tool.
#include <gtest/gtest.h>

#include "support/watch_dialog_fixture.h"

using platform::SjisToUtf8;

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
    SetEdit("edtGrace", QStringLiteral("3601"));
    EXPECT_EQ(Register(),
              "項目チェック|期限の猶予が範囲外です。\r\n\r\n設定できる範囲は、0～3600秒です。");
    EXPECT_EQ(editor.focusWidget(), Field("edtGrace"));
    SetEdit("edtGrace", QStringLiteral("300"));
    EXPECT_EQ(Register(), "");
    EXPECT_EQ(editor.result(), QDialog::Accepted);  // the rule alone is a change
    WatchEntry read;
    editor.ReadEntry(read);
    EXPECT_EQ(read.Rule.Kind, WatchRule::kAbsence);
    EXPECT_EQ(read.Rule.Every, 0);
    EXPECT_EQ(read.Rule.From, 22 * 60);
    EXPECT_EQ(read.Rule.By, 6 * 60 + 30);
    EXPECT_EQ(read.Rule.Days, 0x02);
    EXPECT_EQ(read.Rule.Grace, 300);
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

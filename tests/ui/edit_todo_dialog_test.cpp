// The action editor, as the watch entry editor opens it, and the services it offers.
#include <gtest/gtest.h>

#include "support/watch_dialog_fixture.h"

using platform::SjisToUtf8;

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

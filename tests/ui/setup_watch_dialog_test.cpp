// The watch list dialog: numbering, sorting, deleting, and its columns.
#include <gtest/gtest.h>

#include "support/watch_dialog_fixture.h"

using platform::SjisToUtf8;

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

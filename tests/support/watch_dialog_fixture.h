#pragma once

// The watch entry editor on the test's own machine, with the helpers its tests and those of the
// watch list dialog and the action editor share: finding controls, reading rows, scripting the
// modal dialogs they open.
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
#include "platform/machine/services.h"
#include "support/machine_folder.h"
#include "support/scripted_shell.h"
#include "support/test_app.h"
#include "ui/dry_run_window.h"
#include "ui/edit_todo_dialog.h"
#include "ui/edit_watch_dialog.h"
#include "ui/qt_shell.h"
#include "ui/setup_watch_dialog.h"

inline QString Q(const char8_t* text) {
    return QString::fromUtf8(reinterpret_cast<const char*>(text));
}

template <typename T>
T* Find(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

inline std::vector<std::string> Items(QComboBox* box) {
    std::vector<std::string> items;
    for (int i = 0; i < box->count(); ++i) items.push_back(box->itemText(i).toStdString());
    return items;
}

inline std::vector<std::string> Rows(QTreeWidget* tree, int column = 0) {
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
inline std::unique_ptr<WatchEntry> Entry(int number) {
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
        return platform::SjisToUtf8(shell.Boxes().back().caption + "|" + shell.Boxes().back().text);
    }

    QApplication& app = TestApp();
    MachineFolder machine;
    ScriptedShell shell;
    AddressList addresses;
    WatchList watches;
    TfrmEditWatch editor;
};

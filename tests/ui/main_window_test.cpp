// The main window's sequences, offscreen: monitoring started by the watch dialog and stopped by
// the address dialog, the settings dialog and the watch timer, the log list and its day change.
#include "ui/main_window.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <deque>
#include <functional>

#include "core/address_handlers.h"
#include "eventlog/catalog.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/machine/eventlog_writer.h"
#include "support/loopback.h"
#include "support/machine_folder.h"
#include "support/scripted_shell.h"
#include "support/smtp_server.h"
#include "support/test_app.h"
#include "ui/edit_watch_dialog.h"
#include "ui/extension_dialog.h"
#include "ui/setup_etc_dialog.h"
#include "ui/setup_mail_dialog.h"
#include "ui/setup_watch_dialog.h"

using platform::SjisToUtf8;

namespace {

template <typename T>
T* Find(QObject* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

// Runs one step on a modal dialog when it opens.
void WhenShown(QDialog& dialog, std::function<void(QDialog&)> step) {
    struct Once : QObject {
        std::function<void(QDialog&)> step;
        QDialog* dialog;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Show && step) {
                auto run = std::move(step);
                step = nullptr;
                QTimer::singleShot(0, this, [this, run] { run(*dialog); });
            }
            return false;
        }
    };
    auto* once = new Once;
    once->step = std::move(step);
    once->dialog = &dialog;
    once->setParent(&dialog);
    dialog.installEventFilter(once);
}

std::vector<std::string> Rows(QTreeWidget* list) {
    std::vector<std::string> rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        rows.push_back(list->topLevelItem(i)->text(0).toStdString() + " " +
                       list->topLevelItem(i)->text(2).toStdString());
    }
    return rows;
}

bool Shown(QTreeWidget* list, const std::string& row) {
    const auto rows = Rows(list);
    return std::find(rows.begin(), rows.end(), row) != rows.end();
}

class MainWindowTest : public ::testing::Test {
protected:
    MainWindowTest() {
        // The program's files exist, as after a first run.
        AddressList addresses;
        WatchList watches;
        LoadAddressList(addresses);
        LoadWatchList(watches);
        auto address = std::make_unique<AddressEntry>();
        address->MailAddr = "ops@example.jp";
        addresses.push_back(std::move(address));
        SaveAddressList(addresses);
    }

    // One entry for any event, mailed to the address.
    static void SaveOneWatch() {
        WatchList watches;
        auto entry = std::make_unique<WatchEntry>();
        entry->EventNum = 1;
        entry->LogName = entry->SourceName = entry->Category = AnyValueText();
        entry->AddrList = {"ops@example.jp"};
        watches.push_back(std::move(entry));
        SaveWatchList(watches);
    }

    QApplication& app = TestApp();
    MachineFolder machine;
    ScriptedShell shell;
};

// The program as app/ makes it: the session loaded from the files, then the window.
struct Program {
    static WatchSession& Loaded(WatchSession& session) {
        session.Load();
        return session;
    }
    Program() : window(Loaded(session)) {}
    // The start timer has fired and its lines reached the window.
    void WaitForStart() {
        QTest::qWait(20);
        Settle();
    }
    // What the session queued for the window has reached it.
    void Settle() {
        session.WaitUntilIdle();
        QCoreApplication::processEvents();
    }

    WatchSession session;
    TfrmMain window;
};

}  // namespace

TEST_F(MainWindowTest, AnEmptyWatchListWaitsForTheWatchDialog) {
    Program program;
    TfrmMain& window = program.window;
    WatchSession& session = program.session;
    auto* log = Find<QTreeWidget>(&window, "lvwEvent");
    program.WaitForStart();
    EXPECT_TRUE(
        Shown(log, "警告 監視イベントが設定されていないので、監視を開始できませんでした。"));
    EXPECT_TRUE(
        Shown(log, "警告 設定 - その他のSMTPが設定されていないので、メールの送信はできません。"));
    EXPECT_FALSE(session.Running());

    // OK in the watch dialog with one entry: saved, and monitoring starts.
    WhenShown(window.SetupWatch(), [](QDialog& d) {
        auto& list = static_cast<TfrmSetupWatch&>(d);
        WhenShown(list.Editor(), [](QDialog& editor) {
            Find<QLineEdit>(&editor, "edtMailSubject")->setText(QStringLiteral("disk"));
            Find<QTreeWidget>(&editor, "lvwAddrList")
                ->topLevelItem(0)
                ->setCheckState(0, Qt::Checked);
            Find<QPushButton>(&editor, "btnEntry")->click();
        });
        Find<QPushButton>(&d, "btnNew")->click();
        Find<QPushButton>(&d, "btnClose")->click();
    });
    Find<QAction>(&window, "mnuSetupEvent")->trigger();
    program.Settle();
    ASSERT_EQ(session.Watches().size(), 1u);
    EXPECT_TRUE(session.Running());
    EXPECT_TRUE(window.WatchTimerObject().isActive());
    EXPECT_EQ(window.WatchTimerObject().interval(), 10 * 60000);
    EXPECT_TRUE(Shown(log, "情報 Applicationイベントログの監視を開始しました。"));
    WatchList saved;
    LoadWatchList(saved);
    EXPECT_EQ(saved.size(), 1u);

    // Deleting the only address deletes the entry and stops monitoring.
    WhenShown(window.SetupMail(), [this](QDialog& d) {
        auto* list = Find<QTreeWidget>(&d, "lvwAddrList");
        list->setCurrentItem(list->topLevelItem(0));
        shell.Answer(platform::kIdYes);
        Find<QPushButton>(&d, "btnDelete")->click();
        Find<QPushButton>(&d, "btnClose")->click();
    });
    Find<QAction>(&window, "mnuSetupMail")->trigger();
    program.Settle();
    EXPECT_TRUE(session.Watches().empty());
    EXPECT_FALSE(session.Running());
    EXPECT_FALSE(window.WatchTimerObject().isActive());
    EXPECT_TRUE(Shown(log, "情報 すべてのイベントログの監視を停止しました。"));
    AddressList addresses;
    LoadAddressList(addresses);
    EXPECT_TRUE(addresses.empty());
}

TEST_F(MainWindowTest, TheSettingsDialogRestartsTheTimerOnlyForANewInterval) {
    SaveOneWatch();
    Program program;
    TfrmMain& window = program.window;
    WatchSession& session = program.session;
    program.WaitForStart();
    ASSERT_TRUE(session.Running());
    auto setInterval = [&](const char* text) {
        WhenShown(window.SetupEtc(), [text](QDialog& d) {
            auto* interval = Find<QLineEdit>(&d, "edtInterval");
            interval->setText(QString::fromLatin1(text));
            // Incomplete SMTP data is accepted after the question.
            Find<QPushButton>(&d, "btnOk")->click();
        });
    };
    shell.Answer(platform::kIdYes);
    setInterval("2");
    Find<QAction>(&window, "mnuSetupEtc")->trigger();
    program.Settle();
    EXPECT_EQ(session.CurrentSettings().Interval, 2);
    EXPECT_EQ(window.WatchTimerObject().interval(), 2 * 60000);
    Settings stored;
    LoadSettings(stored);
    EXPECT_EQ(stored.Interval, 2);

    // A tick disables the commit buttons of the dialogs for its length: here, while it waits on
    // a server that never answers (a second at most).
    ScriptedSmtpServer silent("<silent>", {});
    Settings& live = session.CurrentSettings();
    live.SenderName = "Quorvik";
    live.MailAddr = "quorvik@example.jp";
    live.SMTPServer = "127.0.0.1";
    live.SMTPPort = silent.Port();
    live.TimeOut = 1;
    platform::EventToWrite event;
    event.eventId = 1;
    ASSERT_TRUE(platform::ReportEvent("Quorvik test", event));
    auto* ok = Find<QPushButton>(&window.SetupEtc(), "btnOk");
    auto* entry = Find<QPushButton>(&window.SetupWatch().Editor(), "btnEntry");
    ASSERT_TRUE(session.Tick());
    bool lockedWhileBusy = false;
    while (session.Busy()) {
        session.Dispatch();
        lockedWhileBusy = lockedWhileBusy || (!ok->isEnabled() && !entry->isEnabled());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(lockedWhileBusy);
    program.Settle();
    EXPECT_TRUE(ok->isEnabled());
    EXPECT_TRUE(entry->isEnabled());
}

TEST_F(MainWindowTest, TheListKeepsAThousandRowsAndTheLogFileChangesWithTheDay) {
    platform::SetClock({2026, 12, 7, 23, 59, 58, 0, 1});
    {
        Program program;
        TfrmMain& window = program.window;
        WatchSession& session = program.session;
        auto* log = Find<QTreeWidget>(&window, "lvwEvent");
        session.CurrentSettings().Enable = true;
        session.CurrentSettings().Path = machine.Root();
        session.SettingsAccepted();
        for (int i = 0; i < 1001; ++i) LogMessage(kLogInformation, "line %d", i);
        program.Settle();
        EXPECT_EQ(log->topLevelItemCount(), 1000);
        EXPECT_EQ(log->topLevelItem(999)->text(2), QStringLiteral("line 1000"));
        EXPECT_EQ(log->currentItem(), log->topLevelItem(999));
        // The design widths; a long line widens its column (the list scrolls sideways) and
        // shows whole as a tooltip, but the width kept is the column's own.
        const std::string wide(300, 'w');
        LogMessage(kLogWarning, "%s", wide.c_str());
        program.Settle();
        EXPECT_GT(log->columnWidth(2), log->fontMetrics().horizontalAdvance(QString(300, 'w')));
        EXPECT_EQ(log->topLevelItem(999)->toolTip(2).toStdString(), wide);
        platform::AdvanceClock(3000);
        LogMessage(kLogSuccess, "after midnight");
        EXPECT_NE(ReadFileBytes(machine.Root() + "QV261207.LOG").find("line 1000"),
                  std::string::npos);
        EXPECT_NE(ReadFileBytes(machine.Root() + "QV261208.LOG").find("after midnight"),
                  std::string::npos);
        Find<QAction>(&window, "mnuDebugMode")->setChecked(true);
        window.close();
    }
    platform::ReleaseClock();
    // What the window keeps for the next run.
    EXPECT_EQ(ReadIntSetting("MainMenu", "Debug", 0), 1);
    EXPECT_EQ(ReadIntSetting("MessageLog", "COL02", 0), 500);
    EXPECT_EQ(ReadIntSetting("MainWindow", "Width", 0) > 0, true);
}

TEST(SingleInstance, TheNameIsHeldOnceInAFolderOfTheUsersAlone) {
    // No private runtime folder (/tmp is everyone's): one made 0700 under the home folder, here
    // the test's own, where nobody else can hold the lock or put a link in its place.
    TestFolder home;
    struct Environment {
        std::string home = getenv("HOME") ? getenv("HOME") : "";
        std::string runtime = getenv("XDG_RUNTIME_DIR") ? getenv("XDG_RUNTIME_DIR") : "";
        ~Environment() {
            setenv("HOME", home.c_str(), 1);
            if (runtime.empty()) {
                unsetenv("XDG_RUNTIME_DIR");
            } else {
                setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            }
        }
    } saved;
    setenv("HOME", home.Path().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", "/tmp", 1);
    platform::SingleInstance first, second;
    ASSERT_TRUE(first.Acquire("QuorvikTestInstance"));
    EXPECT_FALSE(second.Acquire("QuorvikTestInstance"));
    first.Release();
    EXPECT_TRUE(second.Acquire("QuorvikTestInstance"));
    second.Release();
    const std::string lock =
        home.Path() + ".cache/quorvik/QuorvikTestInstance-" + std::to_string(getuid()) + ".lock";
    EXPECT_TRUE(platform::FileExists(lock));
    std::remove(lock.c_str());
    ASSERT_EQ(symlink(home.File("elsewhere").c_str(), lock.c_str()), 0);
    EXPECT_FALSE(first.Acquire("QuorvikTestInstance"));
    EXPECT_FALSE(platform::FileExists(home.File("elsewhere")));
}

TEST_F(MainWindowTest, TheExtensionOptionsAreCheckedSavedAndPutInEffect) {
    SaveOneWatch();
    Program program;
    TfrmMain& window = program.window;
    WatchSession& session = program.session;
    program.WaitForStart();
    ASSERT_TRUE(session.Running());
    EXPECT_EQ(session.Extensions(), ExtensionSettings());
    TestFolder journal;

    WhenShown(window.SetupEtc(), [this, &journal](QDialog& etc) {
        auto& dialog = static_cast<TfrmSetupEtc&>(etc);
        WhenShown(dialog.ExtensionDialog(), [this, &journal](QDialog& d) {
            Find<QCheckBox>(&d, "cbxFlood")->setChecked(true);
            auto* limit = Find<QLineEdit>(&d, "edtFloodLimit");
            EXPECT_TRUE(limit->isEnabled());
            EXPECT_FALSE(Find<QLineEdit>(&d, "edtSpoolHours")->isEnabled());
            limit->setText(QStringLiteral("0"));
            shell.Answer(platform::kIdOk);
            Find<QPushButton>(&d, "btnOk")->click();
            ASSERT_EQ(shell.Boxes().size(), 1u);
            EXPECT_EQ(SjisToUtf8(shell.Boxes()[0].caption + "|" + shell.Boxes()[0].text),
                      "項目チェック|1時間あたりの通知数が範囲外です。\r\n\r\n設定できる範囲は、"
                      "1～1000です。");
            EXPECT_EQ(d.focusWidget(), limit);
            EXPECT_TRUE(d.isVisible());
            limit->setText(QStringLiteral("25"));
            Find<QCheckBox>(&d, "cbxResume")->setChecked(true);
            // The syslog receiver on a port of the system's choosing; a sender that is no
            // address is refused first.
            Find<QCheckBox>(&d, "cbxSyslog")->setChecked(true);
            std::uint16_t port = 0;
            close(ListenOnLoopback("127.0.0.1", 0, &port));
            Find<QLineEdit>(&d, "edtSyslogPort")->setText(QString::number(port));
            auto* allow = Find<QLineEdit>(&d, "edtSyslogAllow");
            allow->setText(QStringLiteral("127.0.0.1, 300.1.1.1"));
            shell.Answer(platform::kIdOk);
            Find<QPushButton>(&d, "btnOk")->click();
            EXPECT_EQ(SjisToUtf8(shell.Boxes().back().text),
                      "許可する送信元「300.1.1.1」は、アドレスかネットワーク(10.0.0.0/8 など)で"
                      "はありません。");
            EXPECT_EQ(d.focusWidget(), allow);
            allow->setText(QStringLiteral("127.0.0.1"));
            auto* log = Find<QLineEdit>(&d, "edtSyslogLog");
            const QString name = log->text();
            log->clear();
            shell.Answer(platform::kIdOk);
            Find<QPushButton>(&d, "btnOk")->click();
            EXPECT_EQ(SjisToUtf8(shell.Boxes().back().text),
                      "記録するログの名前が入力されていません。");
            log->setText(name);
            // The journal of a folder, from two days back; the logs' size in range.
            Find<QCheckBox>(&d, "cbxJournal")->setChecked(true);
            Find<QLineEdit>(&d, "edtJournalFolder")
                ->setText(QString::fromStdString(journal.Path()));
            auto* hours = Find<QLineEdit>(&d, "edtJournalHours");
            EXPECT_FALSE(hours->isEnabled());
            Find<QRadioButton>(&d, "rbJournalHours")->setChecked(true);
            EXPECT_TRUE(hours->isEnabled());
            hours->setText(QStringLiteral("0"));
            shell.Answer(platform::kIdOk);
            Find<QPushButton>(&d, "btnOk")->click();
            EXPECT_EQ(SjisToUtf8(shell.Boxes().back().text),
                      "さかのぼる時間が範囲外です。\r\n\r\n設定できる範囲は、1～87600です。");
            EXPECT_EQ(d.focusWidget(), hours);
            hours->setText(QStringLiteral("48"));
            auto* size = Find<QLineEdit>(&d, "edtLogSize");
            size->setText(QStringLiteral("2000"));
            shell.Answer(platform::kIdOk);
            Find<QPushButton>(&d, "btnOk")->click();
            EXPECT_EQ(d.focusWidget(), size);
            size->setText(QStringLiteral("8"));
            EXPECT_EQ(Find<QPushButton>(&d, "btnOk")->text(), QString::fromUtf8(u8"登録(&E)"));
            Find<QPushButton>(&d, "btnOk")->click();
        });
        Find<QPushButton>(&etc, "btnExtension")->click();
        EXPECT_TRUE(dialog.Extension().Flood);
        // Nothing else changed: OK still counts as a change.
        shell.Answer(platform::kIdYes);  // incomplete SMTP data
        Find<QPushButton>(&etc, "btnOk")->click();
    });
    Find<QAction>(&window, "mnuSetupEtc")->trigger();
    program.Settle();
    EXPECT_TRUE(session.Extensions().Flood);
    EXPECT_EQ(session.Extensions().FloodLimit, 25);
    EXPECT_TRUE(session.Extensions().Resume);
    EXPECT_TRUE(session.Syslog().Running());
    EXPECT_EQ(session.Extensions().JournalHistory, 48);
    EXPECT_FALSE(session.Extensions().JournalAll);
    EXPECT_EQ(session.Extensions().IngestLogSize, 8);
    ExtensionSettings stored;
    LoadExtensionSettings(stored);
    EXPECT_EQ(stored, session.Extensions());
    // Resume is in effect at once: the next tick keeps the monitor's position.
    session.Tick();
    program.Settle();
    EXPECT_TRUE(platform::FileExists(ResumeStatePath()));
}

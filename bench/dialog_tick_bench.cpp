// The watch tick's latency, from the timer's firing to the end of its work as the window hears
// of it, over 500 new records with 100 watch entries: with no dialog, and with the watch entry
// editor opened modally just after the tick started and left open for a second. A tick that
// waited for the dialog would take that second; one on its own thread takes what it took alone.
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_machine.h"
#include "config/settings.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/eventlog_writer.h"
#include "session/watch_session.h"
#include "ui/edit_watch_dialog.h"
#include "ui/main_window.h"
#include "ui/setup_watch_dialog.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTicks = 15;
constexpr int kRecordsPerTick = 500;

void WriteRecords() {
    for (int i = 0; i < kRecordsPerTick; ++i) {
        platform::EventToWrite e;
        e.eventId = static_cast<std::uint32_t>(1 + i % 50);
        e.type = 4;
        e.strings = {platform::Utf8ToSjis("ジョブ " + std::to_string(i) + " が完了しました。")};
        platform::ReportEvent("Src" + std::to_string(1 + i % 10), e);
    }
}

void Print(const char* name, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    const double p95 = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
    std::printf("%-28s median %7.1f ms   p95 %7.1f ms   max %7.1f ms\n", name, median, p95,
                ms.back());
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const std::string& folder = PrepareBenchMachine();
    platform::SetExecutableDirectory(folder);
    {
        WatchList watches;
        LoadWatchList(watches);  // makes the file
        watches = MakeBenchWatches();
        SaveWatchList(watches);
        Settings settings;
        settings.Interval = 10;  // no SMTP server: the mail step only says so
        SaveSettings(settings);
    }
    WatchSession session;
    session.Load();
    TfrmMain window(session);
    platform::SetShell(&window.Shell());
    while (!session.Running()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    session.WaitUntilIdle();

    TfrmEditWatch& editor = window.SetupWatch().Editor();
    editor.ShowAddresses(session.Addresses());
    editor.ShowEntry(session.Watches(), nullptr);
    auto tick = [&](bool withDialog) {
        WriteRecords();
        const auto start = Clock::now();
        session.Tick();
        bool open = withDialog;
        if (withDialog) {
            QTimer::singleShot(0, &editor, [&] {
                QTimer::singleShot(1000, &editor, &QDialog::reject);
                editor.exec();
                open = false;
            });
        }
        // Timers fire in the dialog's own loop too: the end is seen while the dialog is open.
        double ms = -1;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (ms < 0 && !session.Busy()) {
                ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            }
        });
        watch.start(1);
        while (ms < 0 || open) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return ms;
    };
    std::vector<double> alone, withDialog;
    for (int i = 0; i < kTicks; ++i) {
        alone.push_back(tick(false));
        withDialog.push_back(tick(true));
    }
    Print("tick, no dialog", alone);
    Print("tick, editor open for 1 s", withDialog);
    platform::SetShell(nullptr);
    return 0;
}

// Opening the watch entry editor on the default machine with 200 more registered sources (each
// with a message file of 1000 messages and the sample's categories): the catalogue look-ups the
// dialog makes when it opens, for a new entry (every log's sources merged) and for an entry of
// one source (its categories and 1000 event identifiers), and a change of the type box.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QComboBox>

#include "bench/bench_machine.h"
#include "eventlog/catalog.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry_files.h"
#include "ui/edit_watch_dialog.h"

namespace {

constexpr int kSources = 200;

void Prepare() {
    static const bool done = [] {
        PrepareBenchMachine();
        const char* logs[] = {"Application", "System", "Security"};
        std::string lines;
        for (int i = 0; i < kSources; ++i) {
            lines += platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\" + logs[i % 3] +
                                          "\\Many" + std::to_string(i));
            lines += platform::RegExpandStringLine("EventMessageFile",
                                                   std::string(platform::kEventCreateMessageFile));
            lines += platform::RegExpandStringLine("CategoryMessageFile",
                                                   "%SystemRoot%\\system32\\quorviksample.dll");
            lines += platform::RegDwordLine("CategoryCount", 3);
        }
        platform::AppendMachineRegistry(lines);
        return true;
    }();
    (void)done;
}

QApplication& App() {
    static int argc = 1;
    static char name[] = "editor_bench";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

void Open(benchmark::State& state, bool oneSource) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    App();
    Prepare();
    AddressList addresses;
    WatchList watches;
    auto entry = std::make_unique<WatchEntry>();
    entry->EventNum = 1;
    entry->LogName = "System";
    entry->SourceName = "Many100";
    entry->Category = AnyValueText();
    watches.push_back(std::move(entry));
    TfrmEditWatch editor;
    editor.ShowAddresses(addresses);
    for (auto _ : state) {
        editor.ShowEntry(watches, oneSource ? watches[0].get() : nullptr);
        editor.show();  // fills the logs and runs the change chain
        QApplication::processEvents();
        editor.hide();
    }
    auto* ids = editor.findChild<QComboBox*>("cbxEventID");
    auto* sources = editor.findChild<QComboBox*>("cbxSourceName");
    state.counters["sources_listed"] = sources->count();
    state.counters["event_ids_listed"] = ids->count();
}

void BM_OpenForANewEntry(benchmark::State& state) { Open(state, false); }
BENCHMARK(BM_OpenForANewEntry)->Unit(benchmark::kMillisecond);

void BM_OpenForAnEntryOfOneSource(benchmark::State& state) { Open(state, true); }
BENCHMARK(BM_OpenForAnEntryOfOneSource)->Unit(benchmark::kMillisecond);

void BM_ChangeTheType(benchmark::State& state) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    App();
    Prepare();
    AddressList addresses;
    WatchList watches;
    TfrmEditWatch editor;
    editor.ShowAddresses(addresses);
    editor.ShowEntry(watches, nullptr);
    editor.show();
    editor.findChild<QComboBox*>("cbxLogName")->setEditText(QStringLiteral("System"));
    editor.findChild<QComboBox*>("cbxSourceName")->setEditText(QStringLiteral("Many100"));
    auto* type = editor.findChild<QComboBox*>("cbxType");
    int index = 0;
    for (auto _ : state) type->setCurrentIndex(++index % 6);
}
BENCHMARK(BM_ChangeTheType)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

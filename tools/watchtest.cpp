// Dry run of a watch list: reads a log's records as the watch cycle does and prints the report
// records the program would make for them.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "config/lists.h"
#include "core/dry_run.h"
#include "core/matching.h"
#include "eventlog/catalog.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "tools/tool_support.h"

namespace {

constexpr char kTool[] = "watchtest";
constexpr char kUsage[] =
    "watchtest [--machine DIR] [--folder DIR] --log LOG [--from N] [--json] [--explain]";

std::string U8(const std::string& sjisText) { return platform::SjisToUtf8(sjisText); }

}  // namespace

int main(int argc, char** argv) {
    AnswerHelp(
        argc, argv,
        "Dry run of a watch list: the report records the program would make for the records of a log.",
        u8"監視リストのドライランです。ログのレコードからプログラムが作るレポートを表示します。",
        kUsage);
    using namespace platform;
    std::string machine, folder, log, fromText;
    bool json = false, explain = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) { out = OptionValue(argc, argv, i, kTool, kUsage); };
        if (arg == "--machine")
            value(machine);
        else if (arg == "--folder")
            value(folder);
        else if (arg == "--log")
            value(log);
        else if (arg == "--from")
            value(fromText);
        else if (arg == "--json")
            json = true;
        else if (arg == "--explain")
            explain = true;
        else
            UsageError(kTool, "unknown argument " + arg, kUsage);
    }
    if (log.empty()) UsageError(kTool, "--log is required", kUsage);
    unsigned long long from = 1;
    if (!fromText.empty() && !ParseNumber(fromText, 0xFFFFFFFF, from)) {
        UsageError(kTool, "--from needs a record number", kUsage);
    }
    if (!folder.empty()) SetExecutableDirectory(NativeToPath(folder));
    // A dry run changes nothing: a missing watch list is an error, not a new empty file.
    if (!FileExists(WatchListPath())) Fail(kTool, U8(WatchListPath()), kErrorFileNotFound);
    WatchList watches;
    if (!LoadWatchList(watches)) {
        std::fprintf(stderr, "%s: %s was not read whole; using the %zu entries before the damage\n",
                     kTool, U8(WatchListPath()).c_str(), watches.size());
    }
    UseMachine(kTool, machine);
    const std::string logName = RequireLog(kTool, log);
    RecordRange range;
    range.from = static_cast<std::uint32_t>(from);
    // With rules, they are played as the session plays them: the rules of the entries that watch
    // this log (or any log), over this log's records and those of the other logs their events
    // and recoveries can come from, in the order a check takes them. An entry of another log
    // would only ever miss its event here.
    WatchList played, plain;
    std::vector<std::string> all;
    ListLogs(all);
    std::vector<std::string> others;  // the other logs the played rules read
    auto alsoRead = [&](const std::string& name) {
        for (const std::string& l : all) {
            if ((name == AnyValueText() || EqualsNoCase(l, name)) && !EqualsNoCase(l, logName) &&
                std::find(others.begin(), others.end(), l) == others.end()) {
                others.push_back(l);
            }
        }
    };
    for (const auto& entry : watches) {
        const bool ours = entry->LogName == AnyValueText() || EqualsNoCase(entry->LogName, logName);
        if (entry->Rule.Kind == WatchRule::kNone || !ours) {
            plain.push_back(std::make_unique<WatchEntry>(*entry));
            continue;
        }
        played.push_back(std::make_unique<WatchEntry>(*entry));
        alsoRead(entry->LogName);
        if (entry->Rule.Kind == WatchRule::kRecovery) {
            alsoRead(entry->Rule.LogName.empty() ? AnyValueText() : entry->Rule.LogName);
        }
    }
    auto print = [&](const ReportRecord& report) {
        const char* kind = ReportKindName(report.Kind);
        if (json) {
            std::string line = "{\"log\":" + JsonString(U8(report.LogName)) +
                               ",\"record\":" + std::to_string(report.Event.RecordNumber) +
                               ",\"watch\":" + std::to_string(report.Watch->EventNum) +
                               ",\"recipients\":[";
            for (size_t i = 0; i < report.Recipients.size(); ++i) {
                if (i > 0) line += ',';
                line += JsonString(U8(report.Recipients[i]));
            }
            line += "],\"reportText\":" + JsonString(U8(report.ReportText)) + ",\"kind\":\"" +
                    kind + "\"}";
            line += '\n';
            std::fwrite(line.data(), 1, line.size(), stdout);
            return;
        }
        if (report.Kind == ReportKind::Absence) {
            std::printf("== watch %d: its event did not come (recipients:", report.Watch->EventNum);
        } else {
            std::printf("== record %u: %s of watch %d (recipients:", report.Event.RecordNumber,
                        kind, report.Watch->EventNum);
        }
        for (const std::string& r : report.Recipients) std::printf(" %s", U8(r).c_str());
        std::printf(")\n%s\n", U8(report.ReportText).c_str());
    };
    auto explainRecord = [&](const EventRecord& record) {
        if (!explain) return;
        for (const auto& entry : watches) {
            MatchTest failed;
            if (EntryMatches(*entry, logName, record, &failed)) continue;
            if (json) {
                std::printf("{\"log\":%s,\"record\":%u,\"watch\":%d,\"failed\":\"%s\"}\n",
                            JsonString(log).c_str(), record.RecordNumber, entry->EventNum,
                            MatchTestName(failed));
            } else {
                std::printf("-- record %u, watch %d: %s does not match\n", record.RecordNumber,
                            entry->EventNum, MatchTestName(failed));
            }
        }
    };
    auto fail = [&](const DryRunFailure& failure) {
        if (failure.record == 0) Fail(kTool, "log " + log, failure.error);
        Fail(kTool, "record " + std::to_string(failure.record), failure.error);
    };
    DryRunFailure failure;
    if (played.empty()) {
        // No rule: each record as it is read.
        if (!DryRunLog(
                plain, logName, range,
                [&](const EventRecord& record, std::int64_t, TickBatch& batch) {
                    for (const auto& report : batch) print(*report);
                    explainRecord(record);
                    return true;
                },
                failure)) {
            fail(failure);
        }
        return 0;
    }
    std::vector<WatchEntry> endings;  // the recovery conditions, as entries
    for (const auto& entry : played) {
        if (entry->Rule.Kind == WatchRule::kRecovery) endings.push_back(RecoveryTest(entry->Rule));
    }
    // A record that only ends problems comes after the others of its second.
    auto onlyEnds = [&](const std::string& name, const EventRecord& record) {
        TickBatch own;
        MatchRecord(played, name, record, own);
        return own.empty() && std::any_of(endings.begin(), endings.end(), [&](const auto& e) {
                   return EntryMatches(e, name, record);
               });
    };
    // The log's records, and those of the other logs from the first one's arrival on that the
    // played rules can use.
    std::vector<PlayedRecord> records;
    const size_t place = LogPlace(logName);
    if (!DryRunLog(
            plain, logName, range,
            [&](const EventRecord& record, std::int64_t arrival, TickBatch&) {
                records.push_back({arrival, onlyEnds(logName, record), place, logName, record});
                return true;
            },
            failure)) {
        fail(failure);
    }
    const std::int64_t since =
        records.empty() ? NowUnixMilliseconds() / 1000 : records.front().arrival;
    // Grouped by log in the monitor's order, each in its own.
    std::vector<PlayedRecord> grouped;
    std::sort(others.begin(), others.end(),
              [](const std::string& a, const std::string& b) { return LogPlace(a) < LogPlace(b); });
    bool placed = false;
    auto takeOurs = [&] {
        if (placed) return;
        placed = true;
        for (PlayedRecord& r : records) grouped.push_back(std::move(r));
    };
    for (const std::string& other : others) {
        const size_t otherPlace = LogPlace(other);
        if (otherPlace > place) takeOurs();
        RecordRange every;
        DryRunLog(
            played, other, every,
            [&](const EventRecord& record, std::int64_t arrival, TickBatch& batch) {
                const bool ends = onlyEnds(other, record);
                if (arrival >= since && (!batch.empty() || ends))
                    grouped.push_back({arrival, ends, otherPlace, other, record});
                return true;
            },
            failure);
    }
    takeOurs();
    RulePlay play(played, since);
    for (const size_t i : ArrivalOrder(grouped)) {
        const PlayedRecord& r = grouped[i];
        TickBatch batch;
        const bool ours = r.log == place;
        if (ours) MatchRecord(plain, logName, r.record, batch);
        play.Record(r.logName, r.record, r.arrival, batch);
        for (const auto& report : batch) print(*report);
        if (ours) explainRecord(r.record);
    }
    TickBatch last;
    play.Finish(last);
    for (const auto& report : last) print(*report);
    return 0;
}

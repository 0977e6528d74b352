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
    // With rules, they are played over the log's records as the ticks would have met them: the
    // rules of the entries whose events can come from this log. An entry of another log would
    // only ever miss its event here.
    WatchList played;
    std::vector<const WatchEntry*> ruled;  // the entries of the list whose rules are played
    for (const auto& entry : watches) {
        if (entry->Rule.Kind == WatchRule::kNone) continue;
        if (entry->LogName == AnyValueText() || EqualsNoCase(entry->LogName, logName)) {
            played.push_back(std::make_unique<WatchEntry>(*entry));
            ruled.push_back(entry.get());
        }
    }
    const bool anyRule = !played.empty();
    std::unique_ptr<RulePlay> play;
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
    DryRunFailure failure;
    const bool read = DryRunLog(
        watches, logName, range,
        [&](const EventRecord& record, TickBatch& batch) {
            if (anyRule) {
                if (!play) {
                    play = std::make_unique<RulePlay>(played,
                                                      UnixSecondsOfLocal(record.TimeGenerated));
                }
                // Reports of the entries without a played rule stay as matching made them.
                TickBatch plain;
                for (auto& report : batch) {
                    if (std::find(ruled.begin(), ruled.end(), report->Watch) == ruled.end()) {
                        plain.push_back(std::move(report));
                    }
                }
                batch = std::move(plain);
                play->Record(logName, record, batch);
            }
            for (const auto& report : batch) print(*report);
            if (!explain) return true;
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
            return true;
        },
        failure);
    if (!read) {
        if (failure.record == 0) Fail(kTool, "log " + log, failure.error);
        Fail(kTool, "record " + std::to_string(failure.record), failure.error);
    }
    if (play) {
        TickBatch last;
        play->Finish(last);
        for (const auto& report : last) print(*report);
    }
    return 0;
}

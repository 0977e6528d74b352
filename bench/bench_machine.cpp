#include "bench/bench_machine.h"

#include <memory>

#include "bench/log_file.h"
#include "eventlog/catalog.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry.h"
#include "platform/machine/registry_files.h"

namespace {

constexpr int kSources = 10;

}  // namespace

const std::string& PrepareBenchMachine() {
    static const std::string folder = [] {
        const std::string f = BenchFolder("machine");
        platform::SetMachineRoot(f + "machine");
        platform::EnsureMachine();
        std::string lines;
        for (int i = 1; i <= kSources; ++i) {
            lines += platform::RegKeyLine(std::string(platform::kEventLogKey) +
                                          "\\Application\\Src" + std::to_string(i));
            lines += platform::RegExpandStringLine("EventMessageFile",
                                                   std::string(platform::kEventCreateMessageFile));
        }
        platform::AppendMachineRegistry(lines);
        return f;
    }();
    return folder;
}

void FillBenchLog(int count) {
    WriteLogFile(platform::SjisToUtf8(platform::EventLogFilePath("Application")), count,
                 [](int i, platform::evt::Record& r) {
                     r.data.clear();
                     if (i % 4 == 0) {
                         r.source = u"QuorvikSample";
                         r.type = (i % 8 == 0) ? 1 : 2;
                         r.eventId = (i % 8 == 0) ? 0xC000012C : 0x800000C8;
                         r.category = 1;
                         r.strings = {u"D:", platform::Utf8ToUtf16(std::to_string(i % 900)), u"17"};
                     } else {
                         r.source = platform::Utf8ToUtf16("Src" + std::to_string(1 + i % kSources));
                         r.type = 4;
                         r.eventId = static_cast<std::uint32_t>(1 + i % 50);
                         r.category = 0;
                         r.strings = {platform::Utf8ToUtf16("ジョブ " + std::to_string(i) +
                                                            " が完了しました。処理件数 " +
                                                            std::to_string(i % 1000) + " 件")};
                     }
                     // Binary data as services log it: the file ends up near 16 MB.
                     r.data.assign(96, static_cast<char>(i & 0x7F));
                 });
}

void EmptyBenchLog() {
    platform::UniqueEventLog log(platform::OpenEventLog("", "Application"));
    platform::ClearEventLog(log.Get());
}

WatchList MakeBenchWatches() {
    WatchList list;
    const std::string& any = AnyValueText();
    for (int i = 1; i <= 100; ++i) {
        auto e = std::make_unique<WatchEntry>();
        e->EventNum = i;
        e->Category = any;
        e->AddrList = {"ops@example.jp"};
        if (i <= 80) {
            e->LogName = (i % 3 == 0) ? "System" : "Application";
            e->SourceName = "Src" + std::to_string(1 + i % 40);  // only 1..10 exist
            e->Type = (i % 2) ? 4 : 0;
            e->EventID = (i % 5 == 0) ? 0 : 1 + (i * 7) % 50;
        } else {
            e->LogName = "Application";
            e->SourceName = (i % 2) ? "QuorvikSample" : any;
            e->Condition = (i % 4 == 0) ? sjis(u8"ディスク AND (エラー OR 容量) NOT \"残り 0 MB\"")
                                        : platform::Utf8ToSjis("(完了 OR 開始) AND \"処理件数 " +
                                                               std::to_string(100 + i) + " 件\"");
        }
        list.push_back(std::move(e));
    }
    return list;
}

// The sources beside the machine's logs under faults, measured:
// - the journal's place while a log cannot be written (it must not pass the entry that waits),
//   and after the log can be written again;
// - the journal import killed at random moments (SIGKILL, 60 times), each time started again:
//   the logs left without their end and mended, and at the end every entry once;
// - an .evtx copy of a log refreshed in place at half a megabyte a second while the watch ticks,
//   then an older copy put back: the reports, against the events that were new.
// Usage: source_faults_bench [import FOLDER]  (the second form is the killed importer)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_machine.h"
#include "bench/evtx_file.h"
#include "bench/run_command.h"
#include "bench/watch_pass.h"
#include "config/settings.h"
#include "core/program_log.h"
#include "ingest/journal_importer.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/evtx_format.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry.h"
#include "platform/machine/registry_files.h"
#include "tests/support/log_records.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kEntries = 100000;

// A journal file of count entries "entry <i>" of service app<i % 20>.
std::string MakeJournal(const std::string& folder, int count) {
    RunTimed("rm -rf '" + folder + "' && mkdir -p '" + folder + "'");
    {
        std::ofstream out(folder + "/in.export");
        for (int i = 0; i < count; ++i) {
            out << "__REALTIME_TIMESTAMP=" << 1796601903000000ll + i * 1000ll
                << "\n__MONOTONIC_TIMESTAMP=" << 1000 + i
                << "\n_BOOT_ID=0123456789abcdef0123456789abcdef\nMESSAGE=entry " << i
                << "\nPRIORITY=6\nSYSLOG_IDENTIFIER=app" << i % 20 << "\n_SYSTEMD_UNIT=app"
                << i % 20 << ".service\n_HOSTNAME=web01\n\n";
        }
    }
    RunTimed("/lib/systemd/systemd-journal-remote -o '" + folder + "/bench.journal' - < '" +
             folder + "/in.export'");
    platform::DeleteFile(folder + "/in.export");
    return folder;
}

std::string Taken() {
    std::string state;
    platform::ReadWholeFile(JournalImporter::StatePath(), state);
    const size_t at = state.find("Taken=");
    return at == std::string::npos ? "(none)" : state.substr(at, state.find('\r', at) - at);
}

// Prints the program log's lines that contain part, once each.
class Lines : public LogSink {
public:
    void AddLogLine(int, const platform::SystemTime&, const std::string& text) override {
        const std::string line = platform::SjisToUtf8(text);
        std::lock_guard lock(mutex);
        lines.push_back(line);
        if (echo) std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    int Count(const std::string& part) {
        std::lock_guard lock(mutex);
        int n = 0;
        for (const std::string& l : lines) n += l.find(part) != std::string::npos;
        return n;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
    bool echo = false;
};

void BlockedLog(const std::string& root) {
    const std::string folder = MakeJournal(root + "journal-blocked", 10000);
    // Entries of app7 go to a log that cannot be written: a folder stands where its file goes.
    platform::AppendMachineRegistry(platform::RegKeyLine("SOFTWARE\\Quorvik\\Journal\\Log") +
                                    platform::RegStringLine("app7", "Blocked"));
    const std::string blocked = platform::MachineRoot() + "Windows/system32/config/Blocked.evt";
    platform::ForceDirectories(blocked);
    platform::DeleteFile(JournalImporter::StatePath());
    JournalImporter importer;
    JournalOptions options;
    options.folder = folder;
    options.all = true;
    options.logBytes = 64u << 20;
    importer.Start(options);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::printf(
        "journal, a log that cannot be written (app7's, entry 8 the first): %llu entries "
        "written in 3 s, kept as %s\n",
        static_cast<unsigned long long>(importer.GetCounts().written), Taken().c_str());
    platform::RemoveDirectory(blocked);
    importer.WaitForWritten(10000, 60000);
    importer.Stop();
    std::printf(
        "  the log written again: %llu entries written, kept as %s; in the logs: System "
        "%zu, Blocked %zu\n",
        static_cast<unsigned long long>(importer.GetCounts().written), Taken().c_str(),
        ReadLogRecords("System").size(), ReadLogRecords("Blocked").size());
    platform::AppendMachineRegistry(platform::RegDeleteKeyLine("SOFTWARE\\Quorvik\\Journal"));
}

int ImportChild(const std::string& root) {
    platform::SetExecutableDirectory(root);
    platform::SetMachineRoot(root + "machine");
    Settings settings;
    settings.Enable = false;
    Lines lines;
    ProgramLog log(settings, &lines);
    SetProgramLog(&log);
    JournalImporter importer;
    JournalOptions options;
    options.folder = root + "journal-kill";
    options.all = true;
    options.logBytes = 64u << 20;
    if (!importer.Start(options)) return 1;
    for (;;) {
        const IngestCounts c = importer.GetCounts();
        if (c.written + c.skipped >= kEntries) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    importer.Stop();
    return 0;
}

void KilledImports(const std::string& root) {
    MakeJournal(root + "journal-kill", kEntries);
    platform::DeleteFile(JournalImporter::StatePath());
    {
        platform::UniqueEventLog log(platform::OpenEventLog("", "System"));
        platform::ClearEventLog(log.Get());
    }
    const std::string output = root + "import.out";
    std::mt19937 random(12345);
    auto run = [&](int killAfterMs) {
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            freopen(output.c_str(), "a", stdout);
            execl("/proc/self/exe", "source_faults_bench", "import", root.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        if (killAfterMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
            kill(pid, SIGKILL);
        }
        int status = 0;
        waitpid(pid, &status, 0);
    };
    constexpr int kKills = 60;
    for (int i = 0; i < kKills; ++i) run(std::uniform_int_distribution<int>(50, 600)(random));
    run(0);
    std::string out;
    platform::ReadWholeFile(output, out);
    int mended = 0;
    for (size_t at = 0; (at = out.find("修復しました", at)) != std::string::npos; ++at) ++mended;
    std::multiset<std::string> texts;
    for (const EventRecord& r : ReadLogRecords("System")) texts.insert(r.Description);
    const std::set<std::string> distinct(texts.begin(), texts.end());
    std::printf(
        "journal import killed %d times, then run to its end: logs mended %d times; "
        "records %zu, distinct entries %zu of %d, twice %zu\n",
        kKills, mended, texts.size(), distinct.size(), kEntries, texts.size() - distinct.size());
}

void EvtxCopies(const std::string& root, const Settings& settings) {
    const std::string path = root + "Forwarded.evtx";
    platform::AppendMachineRegistry(
        platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\Forwarded") +
        platform::RegStringLine("File", path));
    // The log's copy on its way, 2 MB; an older copy of it, half as long.
    size_t events = 0, olderEvents = 0;
    const std::string whole = MakeEvtxFile(32, &events);
    const std::string older = MakeEvtxFile(16, &olderEvents);
    std::ofstream(path, std::ios::binary) << older;
    WatchList every;
    every.push_back(EveryEventOf(101, "Forwarded", 0));
    WatchPass pass(settings, std::move(every));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // Copied over in place, half a megabyte a second.
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        for (size_t at = 0; at < whole.size(); at += 50 * 1024) {
            out.write(whole.data() + at,
                      static_cast<std::streamsize>(std::min<size_t>(50 * 1024, whole.size() - at)));
            out.flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const int afterCopy = pass.Mailed();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << older;
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    std::ofstream(path, std::ios::binary | std::ios::trunc) << whole;
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    pass.Stop();
    std::printf(
        ".evtx copy of %zu KB refreshed in place at 500 KB a second: %zu events, %zu of "
        "them newer than the older copy's; reports %d; after the older copy was put back "
        "and the newer again: %d more\n",
        whole.size() >> 10, events, events - olderEvents, afterCopy, pass.Mailed() - afterCopy);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "import") return ImportChild(argv[2]);
    const std::string& root = PrepareBenchMachine();
    platform::SetExecutableDirectory(root);
    Settings settings;
    settings.Enable = false;
    Lines lines;
    ProgramLog log(settings, &lines);
    SetProgramLog(&log);
    BlockedLog(root);
    KilledImports(root);
    EvtxCopies(root, settings);
    SetProgramLog(nullptr);
    return 0;
}

// Writes the configuration bench/idle.sh runs the program with: one watch entry for every event
// of every log, so that all logs are watched, and a one-minute interval.
#include <cstdio>

#include "config/lists.h"
#include "config/settings.h"
#include "eventlog/catalog.h"
#include "platform/codepage.h"
#include "platform/files.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: idle_setup FOLDER\n");
        return 2;
    }
    platform::SetExecutableDirectory(platform::NativeToPath(argv[1]));
    Settings settings;
    settings.Interval = 1;
    WatchList watches;
    LoadWatchList(watches);  // makes the file
    auto entry = std::make_unique<WatchEntry>();
    entry->EventNum = 1;
    entry->MailSubject = "idle";
    entry->LogName = entry->SourceName = entry->Category = AnyValueText();
    entry->AddrList = {"IDLEPC"};
    watches.push_back(std::move(entry));
    return SaveSettings(settings) && SaveWatchList(watches) ? 0 : 1;
}

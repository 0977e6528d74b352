// Until the main window is built, the program loads its configuration from its folder, opens
// its program log as at start-up, and prints what it loaded.

#include <cstdio>
#include <string>

#include "config/lists.h"
#include "config/settings.h"
#include "core/program_log.h"
#include "platform/codepage.h"

namespace {

std::string U8(const std::string& sjisText) { return platform::SjisToUtf8(sjisText); }

class ConsoleSink : public LogSink {
public:
    void AddLogLine(int level, const platform::SystemTime& time, const std::string& text) override {
        std::printf("%s  %s  %s\n", U8(LevelName(level)).c_str(), FormatLogTime(time).c_str(),
                    U8(text).c_str());
    }
};

void PrintConfiguration(const Settings& settings, const AddressList& addresses,
                        const WatchList& watches) {
    std::printf("Configuration folder: %s\n", U8(ProgramDirectory()).c_str());
    std::printf("  watch interval: %u min\n", settings.Interval);
    std::printf("  SMTP: server \"%s\" port %u, time-out %u s, authentication %u\n",
                U8(settings.SMTPServer).c_str(), settings.SMTPPort, settings.TimeOut,
                settings.AuthType);
    std::printf("  program log: %s, folder \"%s\", kept %d days\n", settings.Enable ? "on" : "off",
                U8(settings.Path).c_str(), settings.Alive);
    std::printf("Address list: %zu entries\n", addresses.size());
    for (const auto& a : addresses) {
        std::printf("  %s <%s> computer \"%s\"\n", U8(a->Name).c_str(), U8(a->MailAddr).c_str(),
                    U8(a->UserName).c_str());
    }
    std::printf("Watch list: %zu entries\n", watches.size());
    for (const auto& w : watches) {
        std::printf("  %d: log \"%s\", source \"%s\", type %d, event %d, category \"%s\"",
                    w->EventNum, U8(w->LogName).c_str(), U8(w->SourceName).c_str(), w->Type,
                    w->EventID, U8(w->Category).c_str());
        if (!w->Condition.empty()) std::printf(", condition %s", U8(w->Condition).c_str());
        std::printf(", %zu actions, %zu recipients\n", w->ToDoList.size(), w->AddrList.size());
    }
}

}  // namespace

int main() {
    Settings settings;
    AddressList addresses;
    WatchList watches;
    LoadSettings(settings);
    LoadAddressList(addresses);
    LoadWatchList(watches);

    ConsoleSink sink;
    ProgramLog log(settings, &sink);
    SetProgramLog(&log);
    log.SetDebugMode(ReadIntSetting("MainMenu", "Debug", 0) == 1);
    log.StartLogFile();

    PrintConfiguration(settings, addresses, watches);
    log.CloseLogFile();
    SetProgramLog(nullptr);
    return 0;
}

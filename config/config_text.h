#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/lists.h"
#include "config/settings.h"
#include "platform/json.h"

// The settings, both lists and the entries' rules as one JSON text, for version control and for
// the tools that roll a configuration out; and back, through the checks the dialogs make. The
// SMTP password is never part of the text.

struct Configuration {
    Settings settings;
    ExtensionSettings extension;
    AddressList addresses;
    WatchList watches;
};

// What a text set: the sections it held replace those of the configuration it was read into.
struct ConfigSections {
    bool settings = false, extension = false, addresses = false, watches = false;
};

// A fault or a warning, at the line of the text it concerns (0: the text as a whole). Messages
// are CP932, the dialogs' own where a dialog makes the check.
struct ConfigNote {
    int line = 0;
    std::string message;
};

// Reads the configuration from the files in the configuration folder.
void LoadConfiguration(Configuration& config);

// The configuration as JSON text (UTF-8). Texts that UTF-8 cannot carry back to the same bytes
// are written as {"cp932": "<hex>"}.
std::string ExportConfiguration(const Configuration& config);

// Reads the sections a text holds into config (which holds the configuration as it is) and makes
// the dialogs' checks on what it read: true when nothing failed. Warnings are what a dialog would
// ask about, or what works but no dialog could have made.
bool ImportConfiguration(std::string_view json, Configuration& config, ConfigSections& read,
                         std::vector<ConfigNote>& faults, std::vector<ConfigNote>& warnings);

// One address or one watch entry given as its JSON object, added to the configuration with the
// checks of its dialog; a watch entry without "number" takes the next free one.
bool AddAddress(std::string_view json, Configuration& config, std::vector<ConfigNote>& faults);
bool AddWatch(std::string_view json, Configuration& config, std::vector<ConfigNote>& faults,
              std::vector<ConfigNote>& warnings);

// Removes the address whose mail address or computer name is the text (letters without case),
// and the text from the recipients of every watch entry, as the address dialog does. False when
// none has it.
bool RemoveAddress(const std::string& mailOrComputer, Configuration& config);
bool RemoveWatch(std::int32_t number, Configuration& config);

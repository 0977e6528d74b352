#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/machine/registry.h"
#include "platform/machine/services.h"

// The machine's table of services: their definitions under the Services key of its registry,
// and where each one's run is recorded. Shared by the service control calls.
namespace platform::services {

constexpr std::string_view kServicesKey = "SYSTEM\\CurrentControlSet\\Services";
constexpr DWORD kStartDisabled = 4;

struct Definition {
    std::string name;
    std::string displayName;
    std::string imagePath;
    std::vector<std::string> dependencies;
    DWORD acceptedControls = kServiceAcceptStop;
    DWORD startType = 3;
    DWORD type = kServiceWin32OwnProcess;
};

// Every service of the machine, in key order.
bool AllDefinitions(std::vector<Definition>& out);
// One service by key name, letter case ignored; 1060 when there is none.
bool FindDefinition(std::string_view name, Definition& def);
// Of the kinds the SCM lists: own-process and shared-process services.
bool IsWin32Service(const Definition& def);
// Adds a service to the registry, or takes it away (its run's files with it).
bool AddDefinition(const ServiceConfig& config, const std::string& displayName);
bool RemoveDefinition(const std::string& name);

// How long a stop may take before the kill: the machine's WaitToKillServiceTimeout (a text of
// milliseconds), 20 s by default.
std::int64_t StopTimeoutMs();

// Where a service's run is recorded, and where its output goes.
std::string StatePath(const std::string& name);
std::string LogPath(const std::string& name);

// The words of an ImagePath: a Windows command line when it names a Windows path, else a Linux
// one (quotes, escapes and variables as a shell reads them, but no commands run).
bool CommandWords(const std::string& imagePath, std::vector<std::string>& words);

}  // namespace platform::services

#pragma once

#include <string>

class MachineFolder;

// Compiles message texts with our compiler into the machine's system32 folder; returns the
// file's Windows path ("%SystemRoot%\system32\<name>").
std::string InstallMessageFile(const MachineFolder& machine, const std::string& name,
                               const std::string& source);

// Registers a source of a log with .reg value lines (UTF-8, version 5 syntax).
void RegisterSource(const MachineFolder& machine, const std::string& log, const std::string& source,
                    const std::string& valueLines);

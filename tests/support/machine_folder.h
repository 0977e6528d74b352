#pragma once

#include <string>

#include "support/test_folder.h"

// A fresh emulated machine in a temporary folder, used by the platform while it lives; the
// services it started are killed at its end.
class MachineFolder {
public:
    MachineFolder();
    ~MachineFolder();

    // With its trailing separator.
    const std::string& Root() const { return m_root; }
    // Adds a .reg file (UTF-8 text, header included) to the machine's registry.
    void AddRegFile(const std::string& name, const std::string& bytes) const;
    // Kills every service process the machine started (done at the end anyway).
    void StopServices() const;

private:
    TestFolder m_folder;
    std::string m_root;
};

// Runs a command line with /bin/sh; returns its exit code and what it printed on stdout.
int RunCommand(const std::string& command, std::string* output = nullptr);

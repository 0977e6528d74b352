#include "support/machine_folder.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "platform/machine.h"
#include "platform/registry_files.h"

MachineFolder::MachineFolder() {
    m_root = m_folder.File("machine/");
    platform::SetMachineRoot(m_root);
    if (!platform::EnsureMachine()) ADD_FAILURE() << "cannot create the machine in " << m_root;
}

MachineFolder::~MachineFolder() { platform::SetMachineRoot(""); }

void MachineFolder::AddRegFile(const std::string& name, const std::string& bytes) const {
    if (!platform::WriteRegistryFile(name, bytes)) ADD_FAILURE() << "cannot write " << name;
}

int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#include "support/machine_folder.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "platform/machine/machine.h"
#include "platform/machine/registry_files.h"

namespace {

// True while the process exists and has not ended (a zombie has).
bool Running(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return false;
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

}  // namespace

MachineFolder::MachineFolder() {
    m_root = m_folder.File("machine/");
    platform::SetMachineRoot(m_root);
    if (!platform::EnsureMachine()) ADD_FAILURE() << "cannot create the machine in " << m_root;
}

MachineFolder::~MachineFolder() {
    StopServices();
    platform::SetMachineRoot("");
}

void MachineFolder::StopServices() const {
    // The machine's services run as process groups of their own; their state files name them.
    std::vector<long> monitors;
    if (DIR* dir = opendir((m_root + "services").c_str())) {
        while (struct dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() < 6 || name.substr(name.size() - 6) != ".state") continue;
            std::ifstream in(m_root + "services/" + name);
            std::string line;
            while (std::getline(in, line)) {
                if (line.rfind("pid=", 0) == 0) {
                    const long pid = std::atol(line.c_str() + 4);
                    if (pid > 0 && kill(static_cast<pid_t>(-pid), SIGKILL) != 0) {
                        kill(static_cast<pid_t>(pid), SIGKILL);
                    }
                }
                if (line.rfind("monitor=", 0) == 0) monitors.push_back(std::atol(line.c_str() + 8));
            }
        }
        closedir(dir);
    }
    // The monitors end with their services; wait so that none writes into a removed folder.
    for (long monitor : monitors) {
        for (int i = 0; i < 200 && monitor > 0 && Running(monitor); ++i) usleep(10000);
    }
}

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

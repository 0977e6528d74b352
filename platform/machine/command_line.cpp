#include "platform/machine/command_line.h"

#include <string>
#include <vector>

#include "platform/machine/machine.h"

namespace platform {

namespace {

// The path of a program word: machine paths map into the machine folder, a bare name is left
// for the PATH search.
std::string ProgramPath(const std::string& word) {
    const bool bare = word.find('\\') == std::string::npos && word.find('/') == std::string::npos &&
                      !(word.size() >= 2 && word[1] == ':');
    return bare ? word : MapMachinePath(word);
}

}  // namespace

bool CreateProcess(std::string_view commandLine, HPROCESS* process) {
    std::vector<std::string> words = SplitCommandLine(commandLine);
    if (words.empty() || words[0].empty()) {
        SetLastError(kErrorFileNotFound);
        return false;
    }
    words[0] = ProgramPath(words[0]);
    return CreateProcessArgv(words, process);
}

}  // namespace platform

#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/errors.h"

// Starting programs without a shell: what processes and services share.
namespace platform {

// A program ready to run: everything the child needs is made before the fork, so the child
// only calls what is safe between fork and exec.
class PreparedProgram {
public:
    // argv[0] is a path, or a bare name looked up in PATH.
    explicit PreparedProgram(std::vector<std::string> argv);
    PreparedProgram(const PreparedProgram&) = delete;
    PreparedProgram& operator=(const PreparedProgram&) = delete;

    // How the child is set up before the exec.
    struct Setup {
        int inFd = -1;   // becomes stdin when not -1
        int outFd = -1;  // becomes stdout and stderr when not -1
        bool newGroup = false;
        const char* workFolder = nullptr;
    };

    // In a child just forked: signals back to their defaults and unblocked, every inherited
    // file but 0-2 closed at the exec, the setup applied, then the exec. On failure the errno
    // value goes to errorPipe and the child ends with 127.
    [[noreturn]] void ExecInChild(int errorPipe, const Setup& setup) const;

private:
    std::vector<std::string> m_argv;
    std::vector<char*> m_pointers;
    std::string m_path;  // the file to run; empty when a bare name was found nowhere
};

// Forks a child that runs the program. The exec's failure is reported here, as the Windows
// code for it; -1 then.
pid_t SpawnProgram(const PreparedProgram& program, const PreparedProgram::Setup& setup,
                   DWORD& error);

// Reads the errno value an exec reported through the pipe (its write end already closed here);
// 0 when the exec succeeded.
int ReadExecError(int readFd);

// The errno value of a failed exec as the Windows code CreateProcess would set.
DWORD ExecErrorCode(int err);

}  // namespace platform

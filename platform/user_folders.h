#pragma once

#include <string>

// Where the program keeps the files it writes. A portable copy keeps them beside the executable,
// as the Windows program did; an installed one, whose folder belongs to the system, keeps them in
// the user's XDG folders.
namespace platform {

struct ProgramFolders {
    bool portable = true;
    std::string config;  // the settings and the lists, with a trailing separator
    std::string data;    // logs, resume state, the outbox and the machine, likewise
};

// The program's folders: those beside the folder set with SetExecutableDirectory, else
// FoldersBeside the executable. Decided once for each executable folder and environment, so a
// file appearing later does not move the running program.
ProgramFolders UserFolders();

// Portable when the folder holds ETC.DAT and may be written; else $XDG_CONFIG_HOME/quorvik/ and
// $XDG_DATA_HOME/quorvik/ (by default ~/.config and ~/.local/share), made private when missing.
// Portable too when no home folder can be found.
ProgramFolders FoldersBeside(const std::string& executableFolder);

// A file installed with the program (the help): beside the executable, else in the
// installation's shared data folder.
std::string ShippedFile(const std::string& name);

// One line for the log and the version box: which kind, and where.
std::string DescribeProgramFolders(const ProgramFolders& folders);

}  // namespace platform

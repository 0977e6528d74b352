#pragma once

#include <string>

// The shell services the program shows to its user: message boxes, the input box, the folder
// browser, the file-open dialog and the help viewer. Texts are CP932. The application installs
// the windowed implementation; tests install a scripted one.
namespace platform {

// Button sets and icons, with the values of the Windows flags they stand for.
enum MessageBoxButtons : unsigned {
    kMbOk = 0x0,
    kMbOkCancel = 0x1,
    kMbAbortRetryIgnore = 0x2,
    kMbYesNoCancel = 0x3,
    kMbYesNo = 0x4,
    kMbRetryCancel = 0x5,
};

enum MessageBoxIcon : unsigned {
    kMbIconNone = 0x00,
    kMbIconError = 0x10,
    kMbIconQuestion = 0x20,
    kMbIconExclamation = 0x30,
    kMbIconInformation = 0x40,
};

// The button chosen.
enum MessageBoxResult : int {
    kIdOk = 1,
    kIdCancel = 2,
    kIdAbort = 3,
    kIdRetry = 4,
    kIdIgnore = 5,
    kIdYes = 6,
    kIdNo = 7,
};

class Shell {
public:
    virtual ~Shell() = default;

    // Shows a modal message box; returns the button chosen.
    virtual MessageBoxResult MessageBox(const std::string& text, const std::string& caption,
                                        MessageBoxButtons buttons, MessageBoxIcon icon) = 0;

    // Asks for one line of text; false when the user cancels. value holds the default on entry.
    virtual bool InputBox(const std::string& caption, const std::string& prompt,
                          std::string& value) = 0;

    // Lets the user choose a folder; false when cancelled. folder holds the start on entry.
    virtual bool BrowseForFolder(const std::string& title, std::string& folder) = 0;

    // Lets the user choose a file (one that exists, or any name when mustExist is false),
    // starting where path is, its file selected; false when cancelled. filter is
    // "name|pattern|...".
    virtual bool OpenFileDialog(const std::string& title, const std::string& filter,
                                std::string& path, bool mustExist) = 0;

    // Shows the help file, at a topic when topic is not 0.
    virtual void ShowHelp(const std::string& helpFile, unsigned topic) = 0;
};

// The shell in use; without one installed, every question is answered as if cancelled.
Shell& CurrentShell();

// Installs a shell (not owned); nullptr restores the silent one.
void SetShell(Shell* shell);

}  // namespace platform

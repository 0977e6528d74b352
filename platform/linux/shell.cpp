#include "platform/shell.h"

namespace platform {
namespace {

// Answers without showing anything: the safe default of each box, so a program with no
// window never waits for a person who is not there.
class SilentShell : public Shell {
public:
    MessageBoxResult MessageBox(const std::string&, const std::string&, MessageBoxButtons buttons,
                                MessageBoxIcon) override {
        switch (buttons) {
            case kMbOk: return kIdOk;
            case kMbYesNo: return kIdNo;
            case kMbAbortRetryIgnore: return kIdAbort;
            default: return kIdCancel;
        }
    }
    bool InputBox(const std::string&, const std::string&, std::string&) override { return false; }
    bool BrowseForFolder(const std::string&, std::string&) override { return false; }
    bool OpenFileDialog(const std::string&, const std::string&, std::string&, bool) override {
        return false;
    }
    void ShowHelp(const std::string&, unsigned) override {}
};

SilentShell g_silent;
Shell* g_shell = nullptr;

}  // namespace

Shell& CurrentShell() { return g_shell ? *g_shell : g_silent; }

void SetShell(Shell* shell) { g_shell = shell; }

}  // namespace platform

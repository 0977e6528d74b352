#include "support/scripted_shell.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"

ScriptedShell::ScriptedShell() { platform::SetShell(this); }

ScriptedShell::~ScriptedShell() { platform::SetShell(nullptr); }

platform::MessageBoxResult ScriptedShell::MessageBox(const std::string& text,
                                                     const std::string& caption,
                                                     platform::MessageBoxButtons buttons,
                                                     platform::MessageBoxIcon icon) {
    m_boxes.push_back({text, caption, buttons, icon});
    if (m_answers.empty()) {
        ADD_FAILURE() << "unexpected message box: " << platform::SjisToUtf8(text);
        return platform::kIdCancel;
    }
    platform::MessageBoxResult result = m_answers.front();
    m_answers.pop_front();
    return result;
}

namespace {

bool TakeInput(std::deque<std::string>& inputs, std::string& value) {
    if (inputs.empty()) return false;
    value = inputs.front();
    inputs.pop_front();
    return true;
}

}  // namespace

bool ScriptedShell::InputBox(const std::string& caption, const std::string& prompt,
                             std::string& value) {
    asked.push_back(caption + "|" + prompt + "|" + value);
    return TakeInput(inputs, value);
}

bool ScriptedShell::BrowseForFolder(const std::string& title, std::string& folder) {
    asked.push_back(title + "||" + folder);
    return TakeInput(inputs, folder);
}

bool ScriptedShell::OpenFileDialog(const std::string& title, const std::string&, std::string& path,
                                   bool) {
    asked.push_back(title + "||" + path);
    return TakeInput(inputs, path);
}

void ScriptedShell::ShowHelp(const std::string& helpFile, unsigned) {
    helpShown.push_back(helpFile);
}

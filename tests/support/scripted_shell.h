#pragma once

#include <deque>
#include <string>
#include <vector>

#include "platform/shell.h"

// A shell for tests: records every box it is asked to show and answers from a script.
// Installs itself while it lives.
class ScriptedShell : public platform::Shell {
public:
    struct Shown {
        std::string text;
        std::string caption;
        platform::MessageBoxButtons buttons;
        platform::MessageBoxIcon icon;
    };

    ScriptedShell();
    ~ScriptedShell() override;

    // The answers of the next message boxes, in order. A box with no answer left fails the test.
    void Answer(platform::MessageBoxResult result) { m_answers.push_back(result); }
    // Drops the answers no box took.
    void ClearAnswers() { m_answers.clear(); }
    const std::vector<Shown>& Boxes() const { return m_boxes; }

    platform::MessageBoxResult MessageBox(const std::string& text, const std::string& caption,
                                          platform::MessageBoxButtons buttons,
                                          platform::MessageBoxIcon icon) override;
    bool InputBox(const std::string& caption, const std::string& prompt,
                  std::string& value) override;
    bool BrowseForFolder(const std::string& title, std::string& folder) override;
    bool OpenFileDialog(const std::string& title, const std::string& filter, std::string& path,
                        bool mustExist) override;
    void ShowHelp(const std::string& helpFile, unsigned topic) override;

    // Texts for the next input box, folder browser or file dialog; none left means cancel.
    std::deque<std::string> inputs;
    // What each of them was asked with: "title|prompt|value at the start" (no prompt for the
    // folder browser and the file dialog).
    std::vector<std::string> asked;
    std::vector<std::string> helpShown;

private:
    std::deque<platform::MessageBoxResult> m_answers;
    std::vector<Shown> m_boxes;
};

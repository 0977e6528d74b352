#pragma once

#include "platform/shell.h"

#include <QStringList>

class QString;
class QWidget;

// CP932 <-> QString at the widget edge.
QString ToQString(const std::string& sjisText);
std::string FromQString(const QString& text);

// A Windows filter ("name|pattern|name|pattern") as the Qt file dialog's name filters, with the
// patterns that mean the same here: "すべてのファイル (*.*)|*.*" is "すべてのファイル (*)".
QStringList NameFilters(const std::string& filter);

// The shell services with Qt dialogs, owned by the main window.
class QtShell : public platform::Shell {
public:
    explicit QtShell(QWidget* parent = nullptr) : m_parent(parent) {}

    platform::MessageBoxResult MessageBox(const std::string& text, const std::string& caption,
                                          platform::MessageBoxButtons buttons,
                                          platform::MessageBoxIcon icon) override;
    bool InputBox(const std::string& caption, const std::string& prompt,
                  std::string& value) override;
    bool BrowseForFolder(const std::string& title, std::string& folder) override;
    bool OpenFileDialog(const std::string& title, const std::string& filter, std::string& path,
                        bool mustExist) override;
    void ShowHelp(const std::string& helpFile, unsigned topic) override;

private:
    // The window a box belongs over: the dialog the user works in, else the main window.
    QWidget* Owner() const;

    QWidget* m_parent;
};

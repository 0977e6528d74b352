#pragma once

#include <QDialog>

#include "platform/user_folders.h"

// The version box: the program's name and version, and where its files are.
class TfrmVersion : public QDialog {
    Q_OBJECT

public:
    explicit TfrmVersion(QWidget* parent = nullptr,
                         const platform::ProgramFolders& folders = platform::UserFolders());
    // What the sources beside the machine's logs took in (CP932 lines; empty: none runs).
    void ShowSources(const std::string& status);

private:
    class QLabel* m_sources;
};

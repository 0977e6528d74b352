#pragma once

#include <QDialog>

// The version box: the program's name and version.
class TfrmVersion : public QDialog {
    Q_OBJECT

public:
    explicit TfrmVersion(QWidget* parent = nullptr);
};

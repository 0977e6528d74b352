#pragma once

#include <QApplication>

#include "ui/app_setup.h"

// The one application object of a test program that shows widgets (offscreen in CMake). It is
// never destroyed: at exit, Qt's own globals may already be gone.
inline QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "quorvik_ui_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        auto* made = new QApplication(argc, argv);
        PrepareApplication(*made);
        return made;
    }();
    return *app;
}

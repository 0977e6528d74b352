#pragma once

class QApplication;

// What every window of the program relies on, set once for the application: Qt's own texts
// (message box buttons, pickers, edit menus) in the user's language, and Alt with a letter that
// no control owns typing nothing, as on Windows.
void PrepareApplication(QApplication& app);

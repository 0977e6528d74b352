#pragma once

#include "core/program_log.h"

class QTreeWidget;

// The main window's list of log lines: newest at the bottom, at most 1000 rows, the level's icon
// and name, the time and the text. A line longer than its column widens the column, so the list
// scrolls sideways to it, and shows whole as the row's tooltip.
class LogListView : public LogSink {
public:
    static constexpr int kMaxRows = 1000;
    static constexpr int kTextColumn = 2;

    explicit LogListView(QTreeWidget* list);
    void AddLogLine(int level, const platform::SystemTime& time, const std::string& text) override;
    // The text column back to its width as loaded or as the user set it, without the widening
    // for long lines: what the settings keep.
    void RestoreTextColumnWidth();

private:
    QTreeWidget* m_list;
    int m_textWidth = 0;
    bool m_widening = false;
};

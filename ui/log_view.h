#pragma once

#include "core/program_log.h"

class QTreeWidget;

// The main window's list of log lines: newest at the bottom, at most 1000 rows, the level's icon
// and name, the time and the text.
class LogListView : public LogSink {
public:
    static constexpr int kMaxRows = 1000;

    explicit LogListView(QTreeWidget* list) : m_list(list) {}
    void AddLogLine(int level, const platform::SystemTime& time, const std::string& text) override;

private:
    QTreeWidget* m_list;
};

#include "ui/log_view.h"

#include <QIcon>
#include <QTreeWidget>

#include "ui/qt_shell.h"

namespace {

const QIcon& LevelIcon(int level) {
    static const QIcon icons[] = {
        QIcon(QStringLiteral(":/icons/level0.svg")), QIcon(QStringLiteral(":/icons/level1.svg")),
        QIcon(QStringLiteral(":/icons/level2.svg")), QIcon(QStringLiteral(":/icons/level3.svg")),
        QIcon(QStringLiteral(":/icons/level4.svg"))};
    static const QIcon none;
    return level >= 0 && level <= 4 ? icons[level] : none;
}

}  // namespace

void LogListView::AddLogLine(int level, const platform::SystemTime& time, const std::string& text) {
    auto* item = new QTreeWidgetItem(m_list);
    while (m_list->topLevelItemCount() > kMaxRows) delete m_list->takeTopLevelItem(0);
    item->setIcon(0, LevelIcon(level));
    item->setText(0, ToQString(LevelName(level)));
    item->setText(1, QString::fromStdString(FormatLogTime(time)));
    item->setText(2, ToQString(text));
    m_list->setCurrentItem(item);
    m_list->scrollToItem(item);
}

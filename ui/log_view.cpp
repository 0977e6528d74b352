#include "ui/log_view.h"

#include <QFontMetrics>
#include <QHeaderView>
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

LogListView::LogListView(QTreeWidget* list) : m_list(list) {
    // The text column keeps the width it is given; long lines widen it and the list scrolls.
    m_list->header()->setStretchLastSection(false);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_textWidth = m_list->columnWidth(kTextColumn);
    QObject::connect(m_list->header(), &QHeaderView::sectionResized, m_list,
                     [this](int column, int, int size) {
                         if (column == kTextColumn && !m_widening) m_textWidth = size;
                     });
}

void LogListView::RestoreTextColumnWidth() {
    m_widening = true;
    m_list->setColumnWidth(kTextColumn, m_textWidth);
    m_widening = false;
}

void LogListView::AddLogLine(int level, const platform::SystemTime& time, const std::string& text) {
    auto* item = new QTreeWidgetItem(m_list);
    while (m_list->topLevelItemCount() > kMaxRows) delete m_list->takeTopLevelItem(0);
    const QString line = ToQString(text);
    item->setIcon(0, LevelIcon(level));
    item->setText(0, ToQString(LevelName(level)));
    item->setText(1, QString::fromStdString(FormatLogTime(time)));
    item->setText(kTextColumn, line);
    item->setToolTip(kTextColumn, line);
    // Room for the text and the cell's margins.
    const int needed = m_list->fontMetrics().horizontalAdvance(line) + 16;
    if (needed > m_list->columnWidth(kTextColumn)) {
        m_widening = true;
        m_list->setColumnWidth(kTextColumn, needed);
        m_widening = false;
    }
    m_list->setCurrentItem(item);
    m_list->scrollToItem(item);
}

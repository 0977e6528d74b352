#include "ui/qt_shell.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFontMetrics>
#include <QMessageBox>
#include <QTimer>

#include "platform/codepage.h"
#include "support/test_app.h"

namespace {

QApplication& App() { return TestApp(); }

// Presses a button of the message box that is about to open.
void PressSoon(QMessageBox::StandardButton button, QString* seenText = nullptr,
               int* width = nullptr) {
    QTimer::singleShot(0, [button, seenText, width] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        if (seenText) *seenText = box->windowTitle() + "|" + box->text();
        if (width) *width = box->width();
        box->button(button)->click();
    });
}

}  // namespace

TEST(QtShell, MessageBoxShowsJapaneseAndReturnsTheButton) {
    App();
    QtShell shell;
    QString seen;
    PressSoon(QMessageBox::Retry, &seen);
    EXPECT_EQ(shell.MessageBox(sjis(u8"書き込みに失敗しました。"), sjis(u8"書き込みエラー"),
                               platform::kMbRetryCancel, platform::kMbIconExclamation),
              platform::kIdRetry);
    EXPECT_EQ(seen, QString::fromUtf8(u8"書き込みエラー|書き込みに失敗しました。"));

    PressSoon(QMessageBox::No);
    EXPECT_EQ(shell.MessageBox("q", "c", platform::kMbYesNo, platform::kMbIconQuestion),
              platform::kIdNo);

    // A short text still leaves the caption room to show whole.
    int width = 0;
    PressSoon(QMessageBox::Ok, nullptr, &width);
    shell.MessageBox("x", sjis(u8"条件式エラーの長い見出しです"), platform::kMbOk,
                     platform::kMbIconExclamation);
    EXPECT_GT(width,
              QFontMetrics(QApplication::font())
                      .horizontalAdvance(QString::fromUtf8(u8"条件式エラーの長い見出しです")) +
                  100);
}

TEST(QtShell, WindowsFiltersBecomeTheNameFiltersOfHere) {
    EXPECT_EQ(NameFilters(sjis(u8"すべてのファイル (*.*)|*.*")),
              QStringList{QString::fromUtf8(u8"すべてのファイル (*)")});
    EXPECT_EQ(NameFilters(sjis(u8"アプリケーション (*.exe)|*.exe|ログ|*.log;*.txt")),
              (QStringList{QString::fromUtf8(u8"アプリケーション (*.exe)"),
                           QString::fromUtf8(u8"ログ (*.log *.txt)")}));
}

TEST(QtShell, TextsConvertAtTheEdge) {
    EXPECT_EQ(ToQString(sjis(u8"監視")), QString::fromUtf8(u8"監視"));
    EXPECT_EQ(FromQString(QString::fromUtf8(u8"ｶﾅ")), sjis(u8"ｶﾅ"));
}

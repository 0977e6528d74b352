#include "ui/app_setup.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace {

// Alt with a printable key reaches a text field only when no menu, button or label took it as
// its access key: Windows types nothing then, and neither do we.
class AltKeyGuard : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            const Qt::KeyboardModifiers mods = key->modifiers();
            if ((mods & Qt::AltModifier) && !(mods & Qt::ControlModifier) &&
                !key->text().isEmpty() && key->text()[0].isPrint()) {
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

void PrepareApplication(QApplication& app) {
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto* qtTexts = new QTranslator(&app);
    if (qtTexts->load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"), folder)) {
        QApplication::installTranslator(qtTexts);
    } else {
        delete qtTexts;
    }
    app.installEventFilter(new AltKeyGuard(&app));
}

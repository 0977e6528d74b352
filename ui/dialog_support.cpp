#include "ui/dialog_support.h"

#include <algorithm>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QObject>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTreeWidget>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "ui/qt_shell.h"

namespace {

bool AllDigits(const QString& text) {
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    }
    return true;
}

// Watches a numeric edit's keys, pastes and drops.
class NumericFilter : public QObject {
public:
    explicit NumericFilter(QObject* parent) : QObject(parent) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->matches(QKeySequence::Paste)) {
                if (!AllDigits(QApplication::clipboard()->text())) return Refuse();
                return false;
            }
            const QString text = key->text();
            // Control keys (backspace, arrows, shortcuts) pass; a printable non-digit does not.
            if (!text.isEmpty() && text[0].isPrint() && !AllDigits(text)) return Refuse();
        } else if (event->type() == QEvent::Drop) {
            auto* drop = static_cast<QDropEvent*>(event);
            if (!AllDigits(drop->mimeData()->text())) return Refuse();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    static bool Refuse() {
        QApplication::beep();
        return true;
    }
};

}  // namespace

void MakeDigitKeyFilter(QWidget* field) { field->installEventFilter(new NumericFilter(field)); }

void MakeNumericEdit(QLineEdit* edit, int maxLength) {
    edit->setMaxLength(maxLength);
    // As wide as its digits and a little room, whatever the font.
    const QFontMetrics metrics(edit->font());
    edit->setFixedWidth(metrics.horizontalAdvance(QString(maxLength + 2, QLatin1Char('0'))) + 16);
    MakeDigitKeyFilter(edit);
    // A paste from the context menu bypasses the keys: the validator refuses it as a whole.
    auto* validator =
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit);
    edit->setValidator(validator);
    QObject::connect(edit, &QLineEdit::inputRejected, edit, [] { QApplication::beep(); });
}

std::string EditText(const QLineEdit* edit) { return FromQString(edit->text()); }

void SetEditText(QLineEdit* edit, const std::string& sjisText) {
    edit->setText(ToQString(sjisText));
}

std::string TrimEdit(QLineEdit* edit) {
    const std::string text(platform::TrimControls(EditText(edit)));
    SetEditText(edit, text);
    return text;
}

namespace {

// Whether a text survives code page 932: what it lacks comes out as '?'.
bool FitsCodePage(const QString& text) {
    const std::string sjis = FromQString(text);
    return std::count(sjis.begin(), sjis.end(), '?') == text.count(QLatin1Char('?'));
}

// A field's name as its label shows it, without the access key and colon.
QString FieldName(QWidget* form, QWidget* field) {
    for (QLabel* label : form->findChildren<QLabel*>()) {
        if (label->buddy() != field) continue;
        QString name = label->text();
        name.remove(QRegularExpression(QStringLiteral("\\(&.\\)")));
        name.remove(QLatin1Char('&'));
        name.remove(QRegularExpression(QStringLiteral("[:：]$")));
        return name.trimmed();
    }
    return QString();
}

}  // namespace

bool CheckCodePage(QWidget* form) {
    for (QWidget* field : form->findChildren<QWidget*>()) {
        if (!field->isEnabled()) continue;
        QString text;
        if (auto* edit = qobject_cast<QLineEdit*>(field)) {
            // A combo box's own line edit is named by the combo box's label.
            text = edit->text();
            if (auto* box = qobject_cast<QComboBox*>(field->parentWidget())) field = box;
        } else if (auto* memo = qobject_cast<QPlainTextEdit*>(field)) {
            text = memo->toPlainText();
        } else {
            continue;
        }
        if (FitsCodePage(text)) continue;
        // A field on a page of tabs not in front: its page comes forward first.
        for (QWidget* page = field; page; page = page->parentWidget()) {
            auto* stack = qobject_cast<QStackedWidget*>(page->parentWidget());
            auto* tabs = stack ? qobject_cast<QTabWidget*>(stack->parentWidget()) : nullptr;
            if (tabs) tabs->setCurrentWidget(page);
        }
        const QString name = FieldName(form, field);
        FieldCheckFailed(
            FromQString(
                name.isEmpty()
                    ? QString::fromUtf8(u8"シフトJISで表せない文字が入力されています。")
                    : QString::fromUtf8(u8"%1に、シフトJISで表せない文字が入力されています。")
                          .arg(name)),
            field);
        return false;
    }
    return true;
}

void FieldCheckFailed(const std::string& message, QWidget* field) {
    platform::CurrentShell().MessageBox(message, sjis(u8"項目チェック"), platform::kMbOk,
                                        platform::kMbIconExclamation);
    if (!field) return;
    field->setFocus();
    if (auto* edit = qobject_cast<QLineEdit*>(field)) edit->selectAll();
}

bool AskYesNo(const std::string& text, const std::string& caption) {
    return platform::CurrentShell().MessageBox(text, caption, platform::kMbYesNo,
                                               platform::kMbIconQuestion) == platform::kIdYes;
}

namespace {

bool AskRetry(const char8_t* message) {
    return platform::CurrentShell().MessageBox(sjis(message), sjis(u8"書き込みエラー"),
                                               platform::kMbRetryCancel,
                                               platform::kMbIconError) == platform::kIdRetry;
}

}  // namespace

bool AskRetryWatchList() {
    return AskRetry(
        u8"監視イベント設定ファイルの書き込みに失敗しました。\r\n\r\n"
        u8"ディスクの空き容量などを確認してください。\r\n"
        u8"キャンセルした場合、編集した内容は保存されません。");
}

bool AskRetryAddressList() {
    return AskRetry(
        u8"メールアドレス設定ファイルの書き込みに失敗しました。\r\n\r\n"
        u8"ディスクの空き容量などを確認してください。\r\n"
        u8"キャンセルした場合、編集した内容は保存されません。");
}

void Tell(const std::string& text, const std::string& caption, platform::MessageBoxIcon icon) {
    platform::CurrentShell().MessageBox(text, caption, platform::kMbOk, icon);
}

int TreeColumnWidths::ColumnCount() const { return m_tree->columnCount(); }

int TreeColumnWidths::ColumnWidth(int column) const { return m_tree->columnWidth(column); }

void TreeColumnWidths::SetColumnWidth(int column, int width) {
    m_tree->setColumnWidth(column, width);
}

namespace {

// The columns fitted to their header alone, with the width they got: a tree property, since
// the widths are loaded and saved by short-lived views of the tree.
constexpr char kPendingColumns[] = "quorvikPendingColumns";

QVariantMap PendingColumns(const QTreeWidget* tree) {
    return tree->property(kPendingColumns).toMap();
}

}  // namespace

int TreeColumnWidths::SampleWidth(int column) const {
    if (column >= m_samples.size() || m_samples[column].isEmpty()) return 0;
    const int icon = column == 0 ? m_tree->iconSize().width() + 8 : 0;
    return m_tree->fontMetrics().horizontalAdvance(m_samples[column]) + icon + 16;
}

void TreeColumnWidths::DefaultColumn(int column) {
    QVariantMap pending = PendingColumns(m_tree);
    pending.remove(QString::number(column));
    const int design =
        column < static_cast<int>(m_designWidths.size()) ? m_designWidths[column] : 0;
    const int sample = SampleWidth(column);
    if (design > 0) {
        m_tree->setColumnWidth(column, std::max(design, sample));
    } else {
        // The header and every row as they are, check boxes and icons included.
        m_tree->resizeColumnToContents(column);
        m_tree->setColumnWidth(column, std::max(m_tree->columnWidth(column), sample));
        if (sample == 0 && m_tree->topLevelItemCount() == 0) {
            pending.insert(QString::number(column), m_tree->columnWidth(column));
        }
    }
    m_tree->setProperty(kPendingColumns, pending);
}

bool TreeColumnWidths::WidthKnown(int column) const {
    const QVariantMap pending = PendingColumns(m_tree);
    const auto it = pending.constFind(QString::number(column));
    // A width the user gave it by hand counts.
    return it == pending.constEnd() || it->toInt() != m_tree->columnWidth(column);
}

void FitPendingColumns(QTreeWidget* tree) {
    QVariantMap pending = PendingColumns(tree);
    if (pending.isEmpty() || tree->topLevelItemCount() == 0) return;
    for (auto it = pending.constBegin(); it != pending.constEnd(); ++it) {
        const int column = it.key().toInt();
        if (tree->columnWidth(column) == it->toInt()) tree->resizeColumnToContents(column);
    }
    tree->setProperty(kPendingColumns, QVariantMap());
}

std::vector<int> AddressColumnWidths() { return {150, 150, 100, 100, 150}; }

void SelectFirstRow(QTreeWidget* tree) {
    tree->clearSelection();
    if (tree->topLevelItemCount() == 0) return;
    tree->setCurrentItem(tree->topLevelItem(0));
    tree->topLevelItem(0)->setSelected(true);
}

#include "ui/watch_boxes.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <algorithm>

#include "config/list_checks.h"
#include "eventlog/catalog.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "ui/qt_shell.h"

// Letters without regard to case; the second byte of a double-byte character is never a letter.
bool LessNoCase(const std::string& a, const std::string& b) {
    return platform::FoldCase(a) < platform::FoldCase(b);
}

// Replaces a combo box's list, "特定しない" on top, and keeps the text typed in it.
void FillCombo(QComboBox* box, const std::vector<std::string>& items) {
    const QSignalBlocker block(box);
    const QString text = box->currentText();
    box->clear();
    box->addItem(ToQString(AnyValueText()));
    for (const std::string& item : items) box->addItem(ToQString(item));
    box->setEditText(text);
}

// The sources of the log in the log box; of every log of its list for "特定しない".
void FillSourcesOf(QComboBox* logBox, QComboBox* sourceBox) {
    const std::string log = FromQString(logBox->currentText());
    std::vector<std::string> sources;
    if (log == AnyValueText()) {
        // Every log of the list, each source once.
        for (int i = 1; i < logBox->count(); ++i) {
            std::vector<std::string> more;
            ListSources(FromQString(logBox->itemText(i)), more);
            sources.insert(sources.end(), more.begin(), more.end());
        }
    } else {
        ListSources(log, sources);
    }
    std::sort(sources.begin(), sources.end(), LessNoCase);
    sources.erase(std::unique(sources.begin(), sources.end(),
                              [](const std::string& a, const std::string& b) {
                                  return platform::EqualsNoCase(a, b);
                              }),
                  sources.end());
    FillCombo(sourceBox, sources);
}

void FillEventIDsOf(QComboBox* logBox, QComboBox* sourceBox, QComboBox* typeBox, QComboBox* idBox) {
    std::vector<std::string> ids;
    const std::string log = FromQString(logBox->currentText());
    const std::string source = FromQString(sourceBox->currentText());
    if (log != AnyValueText() && source != AnyValueText()) {
        ListEventIDs(log, source, TypeMaskOfIndex(typeBox->currentIndex()), ids);
    }
    // As texts: their leading blanks make this the numeric order.
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    FillCombo(idBox, ids);
}

// The text of a multi-line box as the program keeps it: CP932 with CR LF line breaks.
std::string MemoText(const QPlainTextEdit* edit) {
    std::string text = FromQString(edit->toPlainText());
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

void SetMemoText(QPlainTextEdit* edit, const std::string& sjisText) {
    std::string text;
    for (size_t i = 0; i < sjisText.size(); ++i) {
        if (sjisText[i] == '\r' && i + 1 < sjisText.size() && sjisText[i + 1] == '\n') continue;
        text += sjisText[i];
    }
    edit->setPlainText(ToQString(text));
}

std::string TrimMemo(QPlainTextEdit* edit) {
    const std::string text(platform::TrimControls(MemoText(edit)));
    SetMemoText(edit, text);
    return text;
}

std::string TrimCombo(QComboBox* box) {
    const std::string text(platform::TrimControls(FromQString(box->currentText())));
    box->setEditText(ToQString(text));
    return text;
}

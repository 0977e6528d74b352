#pragma once

#include <string>
#include <vector>

class QComboBox;
class QPlainTextEdit;

// The boxes of the watch entry editor as the program reads and fills them: CP932 texts, CR LF
// line breaks, catalogue lists with "特定しない" on top.

// Letters without regard to case; the second byte of a double-byte character is never a letter.
bool LessNoCase(const std::string& a, const std::string& b);
// Replaces a combo box's list, "特定しない" on top, and keeps the text typed in it.
void FillCombo(QComboBox* box, const std::vector<std::string>& items);
// The sources of the log in the log box; of every log of its list for "特定しない".
void FillSourcesOf(QComboBox* logBox, QComboBox* sourceBox);
// The event identifiers of the named log and source, with the type box's mask.
void FillEventIDsOf(QComboBox* logBox, QComboBox* sourceBox, QComboBox* typeBox, QComboBox* idBox);
// The text of a multi-line box as the program keeps it: CP932 with CR LF line breaks; and back.
std::string MemoText(const QPlainTextEdit* edit);
void SetMemoText(QPlainTextEdit* edit, const std::string& sjisText);
// The box's text without blanks and control characters at its ends, put back into the box.
std::string TrimMemo(QPlainTextEdit* edit);
std::string TrimCombo(QComboBox* box);

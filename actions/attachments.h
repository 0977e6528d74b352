#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/errors.h"

// The attach-files action: the newest files that match a pattern, copied into a new private
// temporary folder and, when the archiver library is there, moved into one LZH archive in it.
// Paths are the machine's ("C:\\...") or Linux paths; folders end with their separator.

// Finds the files, copies the newest max(count, 1) into a new temporary folder and compresses
// them. On success folder is that folder (empty when no file qualified), archive the archive's
// path or empty, names the copied files' names, newest first: each as its copy is named, with
// characters code page 932 cannot carry as '_' and a name that another differs from only in
// case made distinct (" (2)"), so the archive holds every one. On failure nothing is left on
// disk and AttachmentErrorText tells why.
bool CollectAttachments(int count, const std::string& pattern, std::string& folder,
                        std::string& archive, std::vector<std::string>& names);

// Deletes the folder's files and subfolders, then the folder. A read-only file stops it.
bool RemoveTempFolder(const std::string& folder);

// Makes a new, empty folder "QVK<12 random hexadecimal digits>.tmp" that only this user may
// enter, in TEMP/ of the program's data folder: a name nobody can guess, in a folder nobody else
// may write to.
bool MakeTempFolder(std::string& folder);

// Moves the folder's files into "<folder name>.LZH" inside it through the archiver library:
// 0 compressed, 1 not compressed (no library), -1 the library failed.
int CompressFolder(const std::string& folder, std::string& archive);

// The files of the last collection left out because the archive format cannot hold them
// (4 GiB or more); they are never copied.
const std::vector<std::string>& AttachmentsTooLarge();

// The symbolic links of the last collection left out because they name a file outside the
// folder the pattern names, or that were a link (or no plain file) when the copy opened them.
const std::vector<std::string>& AttachmentLinksOutside();

// For tests: called once the files were chosen and checked, before the first is opened.
void SetBeforeAttachmentCopy(std::function<void()> hook);

// The system error code of the last failure of the calls above, 0 for none.
platform::DWORD AttachmentErrorCode();

// The text that explains the last failure: the code's system text, or the compression's own
// message when the library failed.
std::string AttachmentErrorText();

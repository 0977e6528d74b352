#include "actions/attachments.h"

#include <algorithm>

#include "actions/unlha_abi.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/libraries.h"
#include "platform/machine/machine.h"
#include "platform/pump.h"
#include "platform/user_folders.h"

using platform::DWORD;

namespace {

// Per thread: the watch tick and the dialogs may both call in.
thread_local DWORD g_errorCode = 0;
thread_local bool g_compressionFailed = false;
thread_local std::vector<std::string> g_leftOut;
thread_local std::vector<std::string> g_linksOutside;
std::function<void()> g_beforeCopy;

// The archive format counts a file's size in 32 bits.
constexpr std::uint64_t kArchiveSizeLimit = 0xFFFFFFFFull;

// Attributes that make a search result a file to attach.
constexpr DWORD kFileAttributes = platform::kAttributeReadOnly | platform::kAttributeHidden |
                                  0x04 /* system */ | platform::kAttributeArchive |
                                  platform::kAttributeNormal;

void Reset() {
    g_errorCode = 0;
    g_compressionFailed = false;
}

// The name a copy travels under: one name in one folder whatever it meets (PortableFileName:
// a character code page 932 cannot carry would reach the report and the archive as nothing, or
// as an invisible code), and a name that differs from one already taken only in case, as the
// archive and Windows would take it for the same, gets " (2)", " (3)", ... before its extension.
std::string CarriedName(const std::string& name, const std::vector<std::string>& taken) {
    const std::string visible = platform::PortableFileName(name);
    auto used = [&](const std::string& candidate) {
        return std::any_of(taken.begin(), taken.end(), [&](const std::string& t) {
            return platform::EqualsNoCase(t, candidate);
        });
    };
    if (!used(visible)) return visible;
    const size_t dot = visible.rfind('.');
    const bool extension = dot != std::string::npos && dot != 0;
    const std::string stem = extension ? visible.substr(0, dot) : visible;
    const std::string tail = extension ? visible.substr(dot) : std::string();
    for (int n = 2;; ++n) {
        const std::string candidate = stem + " (" + std::to_string(n) + ")" + tail;
        if (!used(candidate)) return candidate;
    }
}

bool Fail() {
    g_errorCode = platform::GetLastError();
    return false;
}

// A pattern of the machine ("C:\\logs\\*.log") as a path of this system.
std::string LocalPattern(const std::string& pattern) {
    const bool windows =
        pattern.find('\\') != std::string::npos || (pattern.size() >= 2 && pattern[1] == ':');
    return windows ? platform::MapMachinePath(pattern) : pattern;
}

}  // namespace

DWORD AttachmentErrorCode() { return g_errorCode; }

const std::vector<std::string>& AttachmentsTooLarge() { return g_leftOut; }

const std::vector<std::string>& AttachmentLinksOutside() { return g_linksOutside; }

std::string AttachmentErrorText() {
    if (!g_compressionFailed) return platform::SystemErrorTextOrCode(g_errorCode);
    std::string text = sjis(u8"添付ファイルの圧縮中にエラーが発生しました。");
    // The removal that followed may have failed too.
    if (g_errorCode != 0) text += "\r\n" + platform::SystemErrorTextOrCode(g_errorCode);
    return text;
}

void SetBeforeAttachmentCopy(std::function<void()> hook) { g_beforeCopy = std::move(hook); }

bool MakeTempFolder(std::string& folder) {
    Reset();
    const std::string parent = platform::UserFolders().data + "TEMP/";
    if (!platform::DirectoryExists(parent) && !platform::CreatePrivateDirectory(parent) &&
        platform::GetLastError() != platform::kErrorAlreadyExists) {
        return Fail();
    }
    std::string name;
    if (!platform::CreateUniqueFolder(parent, "QVK", ".tmp", name)) return Fail();
    folder = name + "/";
    return true;
}

bool RemoveTempFolder(const std::string& folder) {
    Reset();
    std::vector<platform::FindData> entries;
    if (!platform::FindFiles(folder + "*", entries)) {
        // An empty folder has nothing to list; any other failure stops here.
        if (platform::GetLastError() != platform::kErrorFileNotFound) return Fail();
        entries.clear();
    }
    for (const platform::FindData& entry : entries) {
        // A link is removed itself, never followed into what it points to.
        const bool folderEntry = (entry.attributes & platform::kAttributeDirectory) &&
                                 !(entry.attributes & platform::kAttributeReparsePoint);
        if (folderEntry) {
            if (!RemoveTempFolder(folder + entry.name + "/")) return false;
        } else if (!platform::DeleteFile(folder + entry.name)) {
            return Fail();
        }
    }
    std::string path = folder;
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    if (!platform::RemoveDirectory(path)) return Fail();
    return true;
}

int CompressFolder(const std::string& folder, std::string& archive) {
    Reset();
    archive.clear();
    platform::UniqueLibrary library(platform::LoadLibrary("UNLHA32.DLL"));
    if (!library) {
        g_errorCode = platform::GetLastError();
        return 1;
    }
    auto getRunning = reinterpret_cast<UnlhaGetRunningFunction>(
        platform::GetProcAddress(library.Get(), "UnlhaGetRunning"));
    auto setCursorMode = reinterpret_cast<UnlhaSetCursorModeFunction>(
        platform::GetProcAddress(library.Get(), "UnlhaSetCursorMode"));
    auto unlha = reinterpret_cast<UnlhaFunction>(platform::GetProcAddress(library.Get(), "Unlha"));
    if (!getRunning || !setCursorMode || !unlha) return 1;

    std::string path = folder;
    if (!path.empty() && path.back() == '/') path.pop_back();
    std::string name = path.substr(path.rfind('/') + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.resize(dot);
    const std::string target = folder + name + ".LZH";
    const std::string command = "m -jf0 -n1 -gm1 \"" + target + "\" \"" + folder + "*\"";

    while (getRunning() != 0) {
        platform::ProcessMessages();
        platform::Sleep(100);
    }
    setCursorMode(0);
    std::string output(1024, '\0');
    if (unlha(nullptr, command.c_str(), output.data(), static_cast<std::uint32_t>(output.size())) !=
        0) {
        return -1;
    }
    archive = target;
    return 0;
}

bool CollectAttachments(int count, const std::string& pattern, std::string& folder,
                        std::string& archive, std::vector<std::string>& names) {
    Reset();
    g_leftOut.clear();
    g_linksOutside.clear();
    const std::string local = LocalPattern(pattern);
    std::vector<platform::FindData> found;
    if (!platform::FindFiles(local, found)) return Fail();
    folder.clear();
    archive.clear();
    names.clear();
    // A folder is never a file to attach, whatever else its attributes say.
    std::erase_if(found, [](const platform::FindData& entry) {
        return !(entry.attributes & kFileAttributes) ||
               (entry.attributes & platform::kAttributeDirectory);
    });
    // A link is attached only when it names a file of the folder itself: anyone who may write
    // to the folder could otherwise have any file this user can read mailed out.
    const std::string sourceFolder = platform::ExtractFilePath(local);
    const std::string realFolder = platform::RealPath(sourceFolder.empty() ? "." : sourceFolder);
    // What each entry is opened as: itself, or for a link the file of the folder it names.
    std::vector<std::pair<std::string, std::string>> opened;  // entry name, name opened
    std::erase_if(found, [&](const platform::FindData& entry) {
        if (!(entry.attributes & platform::kAttributeReparsePoint)) return false;
        const std::string target = platform::RealPath(sourceFolder + entry.name);
        if (!realFolder.empty() && platform::ExtractFilePath(target) == realFolder + "/") {
            opened.emplace_back(entry.name, target.substr(target.rfind('/') + 1));
            return false;
        }
        g_linksOutside.push_back(entry.name);
        return true;
    });
    if (found.empty()) return true;
    std::stable_sort(found.begin(), found.end(),
                     [](const platform::FindData& a, const platform::FindData& b) {
                         return a.writeTime > b.writeTime;
                     });
    found.resize(std::min(found.size(), static_cast<size_t>(std::max(count, 1))));
    // A file the archive cannot hold is named in the report, not copied for nothing.
    std::erase_if(found, [](const platform::FindData& entry) {
        if (entry.size < kArchiveSizeLimit) return false;
        g_leftOut.push_back(entry.name);
        return true;
    });
    if (found.empty()) return true;
    if (!MakeTempFolder(folder)) return false;
    if (g_beforeCopy) g_beforeCopy();
    for (const platform::FindData& entry : found) {
        const std::string name = CarriedName(entry.name, names);
        std::string source = entry.name;
        for (const auto& [link, file] : opened) {
            if (link == entry.name) source = file;
        }
        // Opened once from the folder the check resolved, never through a link: one swapped in
        // since the check (to a file only this user may read) is left out, not mailed.
        bool notPlain = false;
        if (!platform::CopyFileNoFollow(realFolder.empty() ? sourceFolder : realFolder + "/",
                                        source, folder + name, notPlain)) {
            if (notPlain) {
                g_linksOutside.push_back(entry.name);
                continue;
            }
            // Nothing half-made stays behind; the copy's error is the one to tell.
            const DWORD error = platform::GetLastError();
            RemoveTempFolder(folder);
            g_errorCode = error;
            g_compressionFailed = false;
            return false;
        }
        names.push_back(name);
    }
    if (names.empty()) {  // every one was swapped for a link
        RemoveTempFolder(folder);
        folder.clear();
        return true;
    }
    if (CompressFolder(folder, archive) == -1) {
        RemoveTempFolder(folder);
        g_compressionFailed = true;
        return false;
    }
    return true;
}

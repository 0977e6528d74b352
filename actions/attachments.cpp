#include "actions/attachments.h"

#include <algorithm>

#include "libs/unlha32/unlha32.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/library.h"
#include "platform/machine.h"
#include "platform/pump.h"

using platform::DWORD;

namespace {

// Per thread: the watch tick and the dialogs may both call in.
thread_local DWORD g_errorCode = 0;
thread_local bool g_compressionFailed = false;

// Attributes that make a search result a file to attach.
constexpr DWORD kFileAttributes = platform::kAttributeReadOnly | platform::kAttributeHidden |
                                  0x04 /* system */ | platform::kAttributeArchive |
                                  platform::kAttributeNormal;

void Reset() {
    g_errorCode = 0;
    g_compressionFailed = false;
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

std::string AttachmentErrorText() {
    if (!g_compressionFailed) return platform::SystemErrorTextOrCode(g_errorCode);
    std::string text = sjis(u8"添付ファイルの圧縮中にエラーが発生しました。");
    // The removal that followed may have failed too.
    if (g_errorCode != 0) text += "\r\n" + platform::SystemErrorTextOrCode(g_errorCode);
    return text;
}

bool MakeTempFolder(std::string& folder) {
    Reset();
    std::string name;
    if (!platform::GetTempFileName(platform::GetTempPath(), "QVK", 0, name)) return Fail();
    if (!platform::DeleteFile(name) || !platform::CreatePrivateDirectory(name)) return Fail();
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
    if (found.empty()) return true;
    std::stable_sort(found.begin(), found.end(),
                     [](const platform::FindData& a, const platform::FindData& b) {
                         return a.writeTime > b.writeTime;
                     });
    if (!MakeTempFolder(folder)) return false;
    const std::string sourceFolder = platform::ExtractFilePath(local);
    const size_t take = std::min(found.size(), static_cast<size_t>(std::max(count, 1)));
    for (size_t i = 0; i < take; ++i) {
        const std::string& name = found[i].name;
        if (!platform::CopyFile(sourceFolder + name, folder + name, true)) {
            // Nothing half-made stays behind; the copy's error is the one to tell.
            const DWORD error = platform::GetLastError();
            RemoveTempFolder(folder);
            g_errorCode = error;
            g_compressionFailed = false;
            return false;
        }
        names.push_back(name);
    }
    if (CompressFolder(folder, archive) == -1) {
        RemoveTempFolder(folder);
        g_compressionFailed = true;
        return false;
    }
    return true;
}

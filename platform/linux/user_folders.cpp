#include "platform/user_folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/codepage.h"
#include "platform/files.h"

namespace platform {
namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string HomeFolder() {
    // XDG: a relative HOME or base folder is to be ignored.
    std::string home = Environment("HOME");
    if (!home.empty() && home[0] == '/') return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    return "";
}

// A native base folder for one XDG variable, empty when none can be found.
std::string BaseFolder(const char* variable, const char* underHome) {
    std::string base = Environment(variable);
    if (base.empty() || base[0] != '/') {
        const std::string home = HomeFolder();
        if (home.empty()) return "";
        base = home + underHome;
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/quorvik/";
}

}  // namespace

ProgramFolders FoldersBeside(const std::string& beside) {
    ProgramFolders folders{true, beside, beside};
    if (FileExists(beside + "ETC.DAT") && access(PathToNative(beside).c_str(), W_OK) == 0) {
        return folders;
    }
    const std::string config = BaseFolder("XDG_CONFIG_HOME", "/.config");
    const std::string data = BaseFolder("XDG_DATA_HOME", "/.local/share");
    if (config.empty() || data.empty()) return folders;
    folders.portable = false;
    folders.config = NativeToPath(config);
    folders.data = NativeToPath(data);
    // A folder that cannot be made shows up as a failed save later, with its path.
    ForceDirectories(folders.config);
    ForceDirectories(folders.data);
    return folders;
}

ProgramFolders UserFolders() {
    static std::mutex mutex;
    static std::string decidedFor;
    static ProgramFolders decided;
    std::string key = ExecutableDirectory();
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "HOME"}) {
        key += '\n';
        key += Environment(name);
    }
    std::lock_guard lock(mutex);
    if (key != decidedFor || decided.config.empty()) {
        decided = ExecutableDirectorySet()
                      ? ProgramFolders{true, ExecutableDirectory(), ExecutableDirectory()}
                      : FoldersBeside(ExecutableDirectory());
        decidedFor = std::move(key);
    }
    return decided;
}

std::string ShippedFile(const std::string& name) {
    const std::string beside = ExecutableDirectory() + name;
    if (FileExists(beside)) return beside;
    // Named without the "../.." that leads there from the program's folder.
    const std::string shared = RealPath(ExecutableDirectory() + QUORVIK_SHARE_FROM_EXE + name);
    return !shared.empty() && FileExists(shared) ? shared : beside;
}

std::string DescribeProgramFolders(const ProgramFolders& folders) {
    if (folders.portable) {
        return sjis(u8"ファイルの場所: プログラムのフォルダ (ポータブル) ") + folders.config;
    }
    return sjis(u8"ファイルの場所: ユーザーのフォルダ (設定 ") + folders.config +
           sjis(u8"、データ ") + folders.data + ")";
}

}  // namespace platform

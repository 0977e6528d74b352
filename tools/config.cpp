// The program's settings, lists and rules as one JSON text: exported, imported through the
// dialogs' checks, and single addresses and watch entries added or removed, for a machine without
// a desktop and for configuration kept in version control.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "config/config_text.h"
#include "config/settings.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "tools/tool_support.h"

namespace {

constexpr char kTool[] = "config";
constexpr char kUsage[] =
    "config [--folder DIR | --system] export [FILE] | import FILE|- [--check] "
    "[--password-file FILE | --password-stdin] | add-address --mail ADDR [--computer NAME] "
    "[--name TEXT] [--department TEXT] [--contact TEXT] | remove-address ADDR|NAME | "
    "add-watch FILE|- | remove-watch NUMBER";

std::string ReadInput(const std::string& name) {
    std::string text;
    if (name == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return text;
    }
    if (!platform::ReadWholeFile(platform::NativeToPath(name), text)) {
        FailWithLastError(kTool, "cannot read " + name);
    }
    return text;
}

// "FILE:LINE: message" as compilers print it, so that an editor can go to the line.
void Print(const std::string& source, const std::vector<ConfigNote>& notes, const char* kind) {
    for (const ConfigNote& note : notes) {
        const std::string message = platform::SjisToUtf8(note.message);
        if (source.empty()) {
            std::fprintf(stderr, "%s: %s%s\n", kTool, kind, message.c_str());
        } else {
            std::fprintf(stderr, "%s:%d: %s%s\n", source.c_str(), note.line, kind, message.c_str());
        }
    }
}

// The first line of a password file or of standard input, without its line end.
std::string ReadPassword(const std::string& file) {
    std::string text = ReadInput(file);
    const size_t end = text.find_first_of("\r\n");
    if (end != std::string::npos) text.resize(end);
    const std::string cp932 = platform::Utf8ToSjis(text);
    if (std::count(cp932.begin(), cp932.end(), '?') != std::count(text.begin(), text.end(), '?')) {
        std::fprintf(stderr, "%s: the password has characters Shift-JIS cannot carry\n", kTool);
        std::exit(1);
    }
    return cp932;
}

// Files root wrote into a folder another account owns (the system service's) become that
// account's, so that the service can read them when it reloads.
void KeepFolderOwner(const std::vector<std::string>& paths) {
    if (geteuid() != 0) return;
    struct stat folder;
    if (stat(platform::PathToNative(ConfigDirectory()).c_str(), &folder) != 0 ||
        folder.st_uid == 0) {
        return;
    }
    for (const std::string& path : paths) {
        if (chown(platform::PathToNative(path).c_str(), folder.st_uid, folder.st_gid) != 0) {
            std::fprintf(stderr, "%s: cannot give %s to the folder's owner\n", kTool,
                         platform::PathToNative(path).c_str());
        }
    }
}

// Writes the parts that changed; every list file is replaced whole, never left half written.
void Save(const Configuration& config, const ConfigSections& parts) {
    std::vector<std::string> written;
    auto fail = [](const std::string& path) {
        FailWithLastError(kTool, "cannot write " + platform::PathToNative(path));
    };
    if (parts.settings && !SaveSettings(config.settings)) fail(SettingsFilePath());
    if (parts.extension && !SaveExtensionSettings(config.extension)) fail(SettingsFilePath());
    if (parts.settings || parts.extension) written.push_back(SettingsFilePath());
    if (parts.addresses) {
        if (!SaveAddressList(config.addresses)) fail(AddressListPath());
        written.push_back(AddressListPath());
    }
    if (parts.watches) {
        if (!SaveWatchList(config.watches)) fail(WatchListPath());
        written.push_back(WatchListPath());
        written.push_back(WatchRulesPath());
    }
    KeepFolderOwner(written);
}

}  // namespace

int main(int argc, char** argv) {
    AnswerHelp(argc, argv,
               "Exports the settings, the address and watch lists and the rules as one JSON text, "
               "imports such a text through the checks of the dialogs, and adds or removes one "
               "address or one watch entry.",
               u8"設定、アドレスリスト、監視リストとルールを 1 つの JSON テキストに書き出し、"
               u8"ダイアログと同じチェックを通して読み込みます。アドレスや監視エントリを 1 つずつ"
               u8"追加、削除することもできます。",
               kUsage);
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--folder") {
            platform::SetExecutableDirectory(
                platform::NativeToPath(OptionValue(argc, argv, i, kTool, kUsage)));
        } else if (arg == "--system") {
            // The system service's folders: /etc/quorvik and /var/lib/quorvik.
            setenv("XDG_CONFIG_HOME", "/etc", 1);
            setenv("XDG_DATA_HOME", "/var/lib", 1);
        } else {
            break;
        }
    }
    if (i >= argc) UsageError(kTool, "give a command", kUsage);
    const std::string command = argv[i++];
    std::vector<std::string> args(argv + i, argv + argc);

    Configuration config;
    LoadConfiguration(config);
    std::vector<ConfigNote> faults, warnings;
    ConfigSections parts;

    if (command == "export") {
        if (args.size() > 1) UsageError(kTool, "export takes at most a file", kUsage);
        const std::string text = ExportConfiguration(config);
        if (args.empty()) {
            std::fwrite(text.data(), 1, text.size(), stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        std::FILE* out = std::fopen(args[0].c_str(), "wb");
        const bool written = out && std::fwrite(text.data(), 1, text.size(), out) == text.size();
        if (!out || std::fclose(out) != 0 || !written) {
            std::fprintf(stderr, "%s: cannot write %s\n", kTool, args[0].c_str());
            return 1;
        }
        return 0;
    }
    if (command == "import") {
        std::string file, passwordFrom;
        bool check = false;
        for (size_t k = 0; k < args.size(); ++k) {
            if (args[k] == "--check") {
                check = true;
            } else if (args[k] == "--password-file" && k + 1 < args.size()) {
                passwordFrom = args[++k];
            } else if (args[k] == "--password-stdin") {
                passwordFrom = "-";
            } else if (file.empty() && (args[k] == "-" || args[k][0] != '-')) {
                file = args[k];
            } else {
                UsageError(kTool, "unknown argument " + args[k], kUsage);
            }
        }
        if (file.empty()) UsageError(kTool, "import needs a file, or - for standard input", kUsage);
        if (file == "-" && passwordFrom == "-") {
            UsageError(kTool, "standard input can carry the text or the password, not both",
                       kUsage);
        }
        const bool havePassword = !passwordFrom.empty();
        if (havePassword) config.settings.Password = ReadPassword(passwordFrom);
        const std::string text = ReadInput(file);
        const bool ok = ImportConfiguration(text, config, parts, faults, warnings);
        const std::string source = file == "-" ? "<stdin>" : file;
        Print(source, warnings, "warning: ");
        Print(source, faults, "");
        if (!ok) {
            std::fprintf(stderr, "%s: nothing was written\n", kTool);
            return 1;
        }
        if (check) return 0;
        parts.settings = parts.settings || havePassword;
        Save(config, parts);
        return 0;
    }
    if (command == "add-address") {
        std::string object = "{";
        for (size_t k = 0; k < args.size(); ++k) {
            const std::string& arg = args[k];
            const char* key = arg == "--mail"         ? "mail"
                              : arg == "--computer"   ? "computer"
                              : arg == "--name"       ? "name"
                              : arg == "--department" ? "department"
                              : arg == "--contact"    ? "contact"
                                                      : nullptr;
            if (!key || k + 1 >= args.size()) UsageError(kTool, "unknown argument " + arg, kUsage);
            if (object.size() > 1) object += ",";
            object += std::string("\"") + key + "\":" + JsonString(args[++k]);
        }
        object += "}";
        if (!AddAddress(object, config, faults)) {
            Print("", faults, "");
            return 1;
        }
        parts.addresses = true;
        Save(config, parts);
        return 0;
    }
    if (command == "remove-address" || command == "remove-watch") {
        if (args.size() != 1) UsageError(kTool, command + " takes one value", kUsage);
        bool removed = false;
        if (command == "remove-address") {
            removed = RemoveAddress(platform::Utf8ToSjis(args[0]), config);
            parts.addresses = parts.watches = removed;
        } else {
            unsigned long long number = 0;
            if (!ParseNumber(args[0], 999999, number)) {
                UsageError(kTool, "a watch number is a whole number", kUsage);
            }
            removed = RemoveWatch(static_cast<std::int32_t>(number), config);
            parts.watches = removed;
        }
        if (!removed) {
            std::fprintf(stderr, "%s: %s: no such entry\n", kTool, args[0].c_str());
            return 1;
        }
        Save(config, parts);
        return 0;
    }
    if (command == "add-watch") {
        if (args.size() != 1)
            UsageError(kTool, "add-watch takes a file, or - for standard input", kUsage);
        const bool ok = AddWatch(ReadInput(args[0]), config, faults, warnings);
        const std::string source = args[0] == "-" ? "<stdin>" : args[0];
        Print(source, warnings, "warning: ");
        Print(source, faults, "");
        if (!ok) return 1;
        std::printf("%d\n", config.watches.back()->EventNum);
        parts.watches = true;
        Save(config, parts);
        return 0;
    }
    UsageError(kTool, "unknown command " + command, kUsage);
}

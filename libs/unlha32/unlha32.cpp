// The archiver library loaded as UNLHA32.DLL: archives a folder's files into one LZH archive.
#include "actions/unlha_abi.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "libs/unlha32/lzh_archive.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/machine.h"
#include "platform/process.h"

#define UNLHA_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

bool g_running = false;
int g_cursorMode = 1;

bool KnownSwitch(std::string_view word) {
    // -jf0 (names without folders), -n/-n1 (no progress display), -gm/-gm1: all of them describe
    // what this library does anyway.
    static const char* const kKnown[] = {"-jf", "-jf0", "-jf1", "-n",   "-n0", "-n1",
                                         "-n2", "-gm",  "-gm0", "-gm1", "-gm2"};
    for (const char* known : kKnown) {
        if (platform::EqualsAsciiNoCase(word, known)) return true;
    }
    return false;
}

// A path of the machine ("C:\\...") or of this system, as the platform's (CP932) path.
std::string LocalPath(const std::string& path) {
    const bool windows =
        path.find('\\') != std::string::npos || (path.size() >= 2 && path[1] == ':');
    return windows ? platform::MapMachinePath(path) : path;
}

void Say(char* output, std::uint32_t size, const std::string& text) {
    if (!output || size == 0) return;
    const size_t n = platform::SjisPrefixLength(text, size - 1);
    std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), output);
    output[n] = '\0';
}

int Refuse(char* output, std::uint32_t size, int code, const std::string& text) {
    Say(output, size, text);
    return code;
}

int Run(const char* commandLine, char* output, std::uint32_t outputSize) {
    if (!commandLine) {
        return Refuse(output, outputSize, kUnlhaBadCommand, sjis(u8"コマンドがありません。"));
    }
    // Backslashes here are the paths' separators, never escapes.
    const std::vector<std::string> words =
        platform::SplitCommandLine(commandLine, platform::Backslashes::Plain);
    if (words.empty()) {
        return Refuse(output, outputSize, kUnlhaBadCommand, sjis(u8"コマンドがありません。"));
    }
    const bool move = platform::EqualsAsciiNoCase(words[0], "m");
    if (!move && !platform::EqualsAsciiNoCase(words[0], "a")) {
        return Refuse(output, outputSize, kUnlhaBadCommand,
                      platform::StringPrintf(sjis(u8"コマンド \"%s\" は使えません。").c_str(),
                                             words[0].c_str()));
    }
    std::string archive;
    std::vector<std::string> specs;
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.size() > 1 && word[0] == '-') {
            if (!KnownSwitch(word)) {
                return Refuse(output, outputSize, kUnlhaBadSwitch,
                              platform::StringPrintf(
                                  sjis(u8"スイッチ \"%s\" は使えません。").c_str(), word.c_str()));
            }
        } else if (archive.empty()) {
            archive = word;
        } else {
            specs.push_back(word);
        }
    }
    if (archive.empty()) {
        return Refuse(output, outputSize, kUnlhaNoArchive,
                      sjis(u8"書庫のファイル名が指定されていません。"));
    }
    if (specs.empty()) {
        return Refuse(output, outputSize, kUnlhaNoFiles,
                      sjis(u8"圧縮するファイルが指定されていません。"));
    }
    const std::string archivePath = LocalPath(archive);
    if (platform::FileExists(archivePath) || platform::DirectoryExists(archivePath)) {
        return Refuse(
            output, outputSize, kUnlhaExists,
            platform::StringPrintf(sjis(u8"書庫 %s は既にあります。").c_str(), archive.c_str()));
    }

    // The files, each once, in name order; folders and the archive itself are left out.
    std::vector<lzh::MemberSource> members;
    std::vector<std::string> sources;
    for (const std::string& spec : specs) {
        std::string pattern = LocalPath(spec);
        if (platform::DirectoryExists(pattern)) {
            if (pattern.back() != '/') pattern += '/';
            pattern += '*';
        }
        std::vector<platform::FindData> found;
        if (!platform::FindFiles(pattern, found)) continue;
        std::sort(found.begin(), found.end(),
                  [](const platform::FindData& a, const platform::FindData& b) {
                      return a.name < b.name;
                  });
        const std::string folder = platform::ExtractFilePath(pattern);
        for (const platform::FindData& entry : found) {
            if (!(entry.attributes & platform::kAttributeArchive)) continue;
            const std::string path = folder + entry.name;
            if (path == archivePath) continue;
            const bool seen =
                std::any_of(members.begin(), members.end(), [&](const lzh::MemberSource& m) {
                    return platform::EqualsNoCase(m.name, platform::PortableFileName(entry.name));
                });
            if (seen) continue;
            // A base name alone: no drive, separator or control character reaches the archive.
            members.push_back(
                {platform::PortableFileName(entry.name), platform::PathToNative(path)});
            sources.push_back(path);
        }
    }
    if (members.empty()) {
        return Refuse(output, outputSize, kUnlhaNoFiles,
                      sjis(u8"圧縮するファイルが見つかりません。"));
    }

    const lzh::ArchiveResult result =
        lzh::WriteArchive(platform::PathToNative(archivePath), members);
    const std::string about = platform::NativeToPath(result.path);
    switch (result.error) {
        case lzh::ArchiveError::None: break;
        case lzh::ArchiveError::CannotRead:
            return Refuse(
                output, outputSize, kUnlhaCannotRead,
                platform::StringPrintf(sjis(u8"%s を読み込めません。").c_str(), about.c_str()));
        case lzh::ArchiveError::TooLarge:
            return Refuse(
                output, outputSize, kUnlhaTooLarge,
                platform::StringPrintf(sjis(u8"%s は 4GB 以上あるため格納できません。").c_str(),
                                       about.c_str()));
        case lzh::ArchiveError::CannotWrite:
            return Refuse(output, outputSize, kUnlhaCannotWrite,
                          platform::StringPrintf(sjis(u8"書庫 %s を書き込めません。").c_str(),
                                                 about.c_str()));
    }
    if (move) {
        for (const std::string& source : sources) {
            if (!platform::DeleteFile(source)) {
                return Refuse(output, outputSize, kUnlhaCannotMove,
                              platform::StringPrintf(sjis(u8"%s を削除できません。").c_str(),
                                                     source.c_str()));
            }
        }
    }
    Say(output, outputSize,
        platform::StringPrintf(sjis(u8"%s 個のファイルを %s に格納しました。").c_str(),
                               std::to_string(members.size()).c_str(), archive.c_str()));
    return kUnlhaOk;
}

}  // namespace

UNLHA_EXPORT int Unlha(void* /*window*/, const char* commandLine, char* output,
                       std::uint32_t outputSize) {
    if (g_running) {
        return Refuse(output, outputSize, kUnlhaBusy, sjis(u8"別の処理を実行中です。"));
    }
    g_running = true;
    int result;
    try {
        result = Run(commandLine, output, outputSize);
    } catch (...) {
        result = Refuse(output, outputSize, kUnlhaCannotWrite, sjis(u8"メモリが足りません。"));
    }
    g_running = false;
    return result;
}

UNLHA_EXPORT int UnlhaGetRunning() { return g_running ? 1 : 0; }

UNLHA_EXPORT int UnlhaSetCursorMode(int mode) {
    g_cursorMode = mode;
    return 1;
}

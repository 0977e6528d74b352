// Compiles message texts into a resource-only message DLL.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/codepage.h"
#include "platform/machine/msgcompiler.h"
#include "tools/tool_support.h"

namespace {

constexpr char kTool[] = "mc";
constexpr char kUsage[] = "mc [--codepage 932] [--pe64] SOURCE.mc OUTPUT.dll";

}  // namespace

int main(int argc, char** argv) {
    AnswerHelp(argc, argv, "Compiles message texts (.mc) into a resource-only message DLL.",
               u8"メッセージテキスト (.mc) を、リソースだけのメッセージ DLL にコンパイルします。",
               kUsage);
    std::string source, output;
    bool pe64 = false, cp932 = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--pe64") {
            pe64 = true;
        } else if (arg == "--codepage") {
            if (i + 1 >= argc || std::string(argv[i + 1]) != "932") {
                UsageError(kTool, "--codepage takes 932 (UTF-8 is the default)", kUsage);
            }
            cp932 = true;
            ++i;
        } else if (!arg.empty() && arg[0] == '-') {
            UsageError(kTool, "unknown argument " + arg, kUsage);
        } else if (source.empty()) {
            source = arg;
        } else if (output.empty()) {
            output = arg;
        } else {
            UsageError(kTool, "too many arguments", kUsage);
        }
    }
    if (output.empty()) UsageError(kTool, "give a source and an output file", kUsage);
    std::ifstream in(source, std::ios::binary);
    if (!in) Fail(kTool, source, 2);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (cp932) text = platform::SjisToUtf8(text);
    platform::MessageCompileResult result;
    if (!platform::CompileMessageText(text, pe64, result)) {
        std::fprintf(stderr, "%s: %s: %s\n", kTool, source.c_str(), result.error.c_str());
        return 1;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(result.dll.data(), static_cast<std::streamsize>(result.dll.size()));
    if (!out) Fail(kTool, output, 5);
    return 0;
}

// Sends a network message as the program does: the machine's "net send".

#include <cstdio>
#include <string>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/machine/netmsg.h"
#include "tools/tool_support.h"

namespace {

constexpr char kTool[] = "netsend";
constexpr char kUsage[] = "netsend [--machine DIR] NAME TEXT...";

}  // namespace

int main(int argc, char** argv) {
    AnswerHelp(
        argc, argv, "Sends a network message to a computer or user, as the program does.",
        u8"プログラムと同じように、コンピューターやユーザーにネットワークメッセージを送ります。",
        kUsage);
    std::string machine;
    int i = 1;
    if (i < argc && std::string(argv[i]) == "--machine")
        machine = OptionValue(argc, argv, i, kTool, kUsage), ++i;
    if (argc - i < 2) UsageError(kTool, "give a name and a text", kUsage);
    UseMachine(kTool, machine);
    const std::string name = platform::Utf8ToSjis(argv[i++]);
    std::string text;
    for (; i < argc; ++i) text += (text.empty() ? "" : " ") + std::string(argv[i]);
    const std::string message = platform::Utf16ToBytes(platform::Utf8ToUtf16(text) + u'\0');
    const platform::DWORD result =
        platform::NetMessageBufferSend(u"", platform::SjisToUtf16(name), u"",
                                       reinterpret_cast<const std::uint8_t*>(message.data()),
                                       static_cast<platform::DWORD>(message.size()));
    std::printf("%u %s\n", static_cast<unsigned>(result),
                platform::SjisToUtf8(platform::SystemErrorTextOrCode(result)).c_str());
    return result == 0 ? 0 : 1;
}

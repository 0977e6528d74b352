// Feeds any bytes to the expression checker and evaluator: the first part of the input is the
// expression, the rest the description.
#include <cstdint>
#include <string>
#include <string_view>

#include "expr/parser.h"
#include "platform/shell.h"

namespace {

// A correct evaluator never reaches its internal-error box; if it does, the fuzzer must hear.
class TrappingShell : public platform::Shell {
public:
    platform::MessageBoxResult MessageBox(const std::string&, const std::string&,
                                          platform::MessageBoxButtons buttons,
                                          platform::MessageBoxIcon icon) override {
        if (icon == platform::kMbIconError) __builtin_trap();
        return buttons == platform::kMbOk ? platform::kIdOk : platform::kIdCancel;
    }
    bool InputBox(const std::string&, const std::string&, std::string&) override { return false; }
    bool BrowseForFolder(const std::string&, std::string&) override { return false; }
    bool OpenFileDialog(const std::string&, const std::string&, std::string&, bool) override {
        return false;
    }
    void ShowHelp(const std::string&, unsigned) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TrappingShell shell;
    platform::SetShell(&shell);
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t split = input.find('\0');
    std::string_view expression = input.substr(0, split);
    std::string_view text = split == std::string_view::npos ? input : input.substr(split + 1);

    int checked = CheckCondition(expression, true);
    if (checked < 0 || static_cast<size_t>(checked) > expression.size() + 1) __builtin_trap();
    bool matched = MatchCondition(expression, text);
    // An expression that does not scan never matches.
    if (checked != 0 && matched) __builtin_trap();
    return 0;
}

// Feeds any bytes to the expression checker and evaluator: the first part of the input is the
// expression, the rest the description.
#include <cstdint>
#include <string>
#include <string_view>

#include "expr/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t split = input.find('\0');
    std::string_view expression = input.substr(0, split);
    std::string_view text = split == std::string_view::npos ? input : input.substr(split + 1);

    std::string message;
    int checked = CheckCondition(expression, &message);
    if (checked < 0 || static_cast<size_t>(checked) > expression.size() + 1) __builtin_trap();
    if ((checked != 0) == message.empty()) __builtin_trap();
    // A correct evaluator never meets a list the scanner should have refused.
    bool internalError = false;
    bool matched = MatchCondition(expression, text, &internalError);
    if (internalError) __builtin_trap();
    // An expression that does not scan never matches.
    if (checked != 0 && matched) __builtin_trap();
    return 0;
}

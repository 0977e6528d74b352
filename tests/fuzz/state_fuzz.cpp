// Feeds any bytes to the readers of RULES.DAT and STATE.DAT; what they read must survive a write
// and a read unchanged.
#include <cstdint>
#include <string>

#include "config/lists.h"
#include "core/state_rules.h"

namespace {

WatchList Entries() {
    WatchList list;
    for (int number = 0; number < 3; ++number) {
        auto e = std::make_unique<WatchEntry>();
        e->EventNum = number;
        list.push_back(std::move(e));
    }
    return list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    StateRules state;
    state.Parse(input);
    const std::string once = state.Format();
    StateRules again;
    again.Parse(once);
    if (again.Format() != once) __builtin_trap();

    WatchList list = Entries();
    ApplyWatchRules(input, list, nullptr);
    const std::string rules = FormatWatchRules(list);
    WatchList reread = Entries();
    ApplyWatchRules(rules, reread, nullptr);
    if (FormatWatchRules(reread) != rules) __builtin_trap();
    return 0;
}

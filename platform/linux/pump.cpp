#include "platform/pump.h"

#include <utility>

namespace platform {
namespace {

std::function<void()> g_pump;

}  // namespace

void ProcessMessages() {
    if (g_pump) g_pump();
}

void SetMessagePump(std::function<void()> pump) { g_pump = std::move(pump); }

}  // namespace platform

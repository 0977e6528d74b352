#pragma once

#include <cstdint>

namespace platform {

// How old what a cache learnt from the machine's files (registry files, message files) may be
// before it looks again: a change made by another process is seen within 100 ms. The clock
// steps by a few milliseconds, hence the margin.
constexpr std::int64_t kRecheckMilliseconds = 90;

// A monotonic clock in milliseconds that costs no system call.
std::int64_t CoarseMilliseconds();

// Counts the changes this process made to files through the platform's calls (files written,
// created, replaced or deleted, the machine's root moved); caches built from files before such
// a change look again at once.
std::uint64_t LocalMachineChanges();
void NoteLocalMachineChange();

}  // namespace platform

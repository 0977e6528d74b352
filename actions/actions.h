#pragma once

#include <string>

#include "config/lists.h"
#include "core/matching.h"
#include "platform/errors.h"

// "ファイル添付", "プログラム実行", ...; empty for a kind outside 0-6.
const std::string& ActionKindName(int kind);

// Carries out the actions of every report record's watch entry, in order, and appends their
// numbered account to the record's report text; attach-files actions fill its attachment lists.
void ProcessActions(TickBatch& reports);

// Starts the program the path names (no arguments, no shell); with wait, waits for its end,
// processing window messages every 100 ms, and gives its exit code.
bool RunProgram(const std::string& path, bool wait, platform::DWORD& exitCode);

// The system error code of the last failed RunProgram.
platform::DWORD RunProgramErrorCode();

#pragma once

#include <string>

#include "config/lists.h"
#include "core/monitor.h"
#include "tests/support/idle_monitor.h"

// The machine the tick and command benchmarks share: the default machine with sources
// Src1..Src10 that render their first string, an Application log of 60,000 records (about
// 16 MB) and 100 typical watch entries.
constexpr int kBenchRecords = 60000;

// Creates the machine in a new folder once and points the platform at it; returns the folder
// (with its trailing separator) that holds the machine ("machine/") and the watch list.
const std::string& PrepareBenchMachine();

// Fills the Application log in place (its readers keep their handle) with that many records.
void FillBenchLog(int count = kBenchRecords);

// Empties the Application log.
void EmptyBenchLog();

// 100 entries: 80 restricted by log, source and mostly event identifier (many for sources or
// logs that do not occur), 20 with search expressions.
WatchList MakeBenchWatches();

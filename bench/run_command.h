#pragma once

#include <string>
#include <vector>

// Commands timed as a user runs them, for the benchmarks that compare us with other programs.

struct CommandTimes {
    double wallMs = 0;
    double cpuMs = 0;  // user and system time of the command and its children
};

// Runs a command line through the shell, its output thrown away; -1 times when it failed.
CommandTimes RunTimed(const std::string& command);

// The middle value (the upper one of an even count); 0 for none.
double Median(std::vector<double> values);

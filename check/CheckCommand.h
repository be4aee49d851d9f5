#pragma once

#include <string>
#include <vector>

// The whole command: reads every list, checks it with the window's engine and rules, writes a result line per
// finished check. Returns the exit status: 0 some proxy works, 1 none does, 2 bad usage or an unreadable list,
// 130 interrupted.
int runCheckCommand(const std::vector<std::string>& args);

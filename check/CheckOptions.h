#pragma once

#include <string>
#include <vector>

#include "cli/RunOptions.h"

// What the command line of kiriha-check asks for.
struct CheckOptions {
    RunOptions run;
    std::vector<std::string> files;  // "-" is standard input; none means standard input
    bool workingOnly = false;        // -w: working proxies only, without prefix
    bool cp932 = false;              // the window's bytes instead of UTF-8
    bool json = false;               // a JSON object per check instead of a line
    bool why = false;                // the reason and the time after each line
    bool quiet = false;              // -q: no progress line and no summary
    bool help = false;
    bool version = false;
};

// The options, or the usage error to report (exit status 2).
struct ParsedArguments {
    CheckOptions options;
    std::string error;  // empty when the arguments are good
};

ParsedArguments parseArguments(const std::vector<std::string>& args);

inline constexpr const char* kProgramName = "kiriha-check";
std::vector<OptionDesc> checkDescs();
std::string helpText();

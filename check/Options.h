#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// What the command line asks for.
struct CheckOptions {
    std::vector<std::string> files;               // "-" is standard input; none means standard input
    bool workingOnly = false;                     // -w: working proxies only, without prefix
    bool cp932 = false;                           // the window's bytes instead of UTF-8
    bool quiet = false;                           // -q: no progress line and no summary
    int rate = 10;                                // new checks per second, 1 to kMaxRate
    std::optional<std::chrono::seconds> timeout;  // lowers the 60 s cap of a check
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
inline constexpr int kMaxRate = 10000;
std::string helpText();
std::string versionText();

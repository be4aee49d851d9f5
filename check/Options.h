#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// What the command line asks for.
struct CheckOptions {
    std::vector<std::string> files;                      // "-" is standard input; none means standard input
    bool workingOnly = false;                            // -w: working proxies only, without prefix
    bool cp932 = false;                                  // the window's bytes instead of UTF-8
    bool json = false;                                   // a JSON object per check instead of a line
    bool why = false;                                    // the reason and the time after each line
    bool quiet = false;                                  // -q: no progress line and no summary
    int rate = 10;                                       // new checks per second, 1 to kMaxRate
    std::optional<std::string> url;                      // the page asked for, instead of the window's
    std::optional<std::string> expect;                   // the text that proves it came, instead of the window's marker
    std::string caFile;                                  // certificates to trust instead of the system's
    bool preflight = true;                               // fetch the page directly first
    bool detect = false;                                 // find the protocol of a proxy text without a scheme
    int retries = 0;                                     // further tries after a passing failure, 0 to kMaxRetries
    std::optional<std::chrono::seconds> timeout;         // lowers the 60 s cap of a check
    std::optional<std::chrono::seconds> connectTimeout;  // lowers the 15 s limit of the connection
    std::optional<std::chrono::seconds> idleTimeout;     // lowers the 30 s limit of a silence
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
inline constexpr int kMaxRetries = 5;
std::string helpText();
std::string versionText();

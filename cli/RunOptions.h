#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "cli/OptionTable.h"
#include "engine/rules/Judge.h"

// What the checks are asked for, in the options both commands take: the page, the text, the judge, the countries,
// the limits and the pace. What each option means, its range and its default are in one table (Options.cpp).
struct RunOptions {
    int rate;                                            // new checks per second
    std::optional<std::string> url;                      // the page asked for, instead of the window's
    std::optional<std::string> expect;                   // the text that proves it came, instead of the window's marker
    std::string caFile;                                  // certificates to trust instead of the system's
    bool preflight = true;                               // fetch the page directly first
    bool detect = false;                                 // find the protocol of a proxy text without a scheme
    int retries = 0;                                     // further tries after a passing failure
    std::optional<std::chrono::seconds> timeout;         // lowers the whole limit of a check
    std::optional<std::chrono::seconds> connectTimeout;  // lowers the limit of the connection
    std::optional<std::chrono::seconds> idleTimeout;     // lowers the limit of a silence
    std::optional<std::string> judge;                    // a judge page to ask, instead of a page and its text
    std::optional<Anonymity> anonymity;                  // with a judge: the least a working proxy must hide
    std::optional<std::string> geoip;                    // a country database instead of the usual places'
    std::vector<std::string> countries;                  // the countries a working proxy must be in
    bool unaltered = false;                              // the page must come byte for byte as fetched directly
    RunOptions();
};
// The rows of those options, in the order --help lists them, and what cannot be asked for together.
const std::vector<OptionRow<RunOptions>>& runRows();
std::string runConflicts(const RunOptions& o);

// What --version says of either command.
std::string versionText(const char* program);

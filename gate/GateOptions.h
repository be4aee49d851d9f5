#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "cli/RunOptions.h"

// What the command line of kiriha-gate asks for: the checks' options, which it shares with kiriha-check, and its own.
struct GateOptions {
    enum class Rotation { Each, Random, Fastest };
    RunOptions run;
    std::vector<std::string> files;   // the lists, read again when they change
    std::vector<std::string> listen;  // HOST:PORT; none means the default
    Rotation rotation = Rotation::Each;
    std::chrono::milliseconds sticky{0};  // 0: no stickiness
    int tries = 3;                        // proxies tried for one client connection
    int maxErrors = 3;                    // failures in a row that take a proxy out until a re-check passes
    std::chrono::milliseconds recheck{std::chrono::minutes(10)};
    std::optional<std::string> auth;      // USER:PASSWORD
    std::optional<std::string> authFile;  // lines of USER:PASSWORD
    std::optional<std::string> log;       // the connection log, instead of standard error
    std::optional<std::string> status;    // HOST:PORT of the status page
    std::chrono::milliseconds drain{std::chrono::seconds(10)};
    std::chrono::milliseconds idle{std::chrono::minutes(5)};
    std::chrono::milliseconds sessionIdle{std::chrono::seconds(60)};
    int maxSessions = 100000;
    bool disclose = false;
    bool help = false;
    bool version = false;
};

inline constexpr const char* kGateName = "kiriha-gate";
inline constexpr const char* kDefaultListen = "127.0.0.1:8080";

struct ParsedGateArguments {
    GateOptions options;
    std::string error;  // the usage error, empty when the arguments are good
};
ParsedGateArguments parseGateArguments(const std::vector<std::string>& args);

std::vector<OptionDesc> gateDescs();
std::string gateHelpText();

// True when HOST:PORT names this machine's loopback only (127.0.0.0/8, ::1, localhost).
bool isLoopbackListen(const std::string& address);

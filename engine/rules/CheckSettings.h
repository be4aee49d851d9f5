#pragma once

#include <chrono>
#include <string>

// The limits of every check, whichever driver runs it.
struct CheckLimits {
    std::chrono::milliseconds connect{15000};
    std::chrono::milliseconds idle{30000};   // no byte for this long fails the transfer
    std::chrono::milliseconds total{60000};  // no check lives longer
};

struct CheckSettings {
    CheckLimits limits{};
    std::string caFile;  // certificates to trust instead of the system store (tests); empty: the system store
};

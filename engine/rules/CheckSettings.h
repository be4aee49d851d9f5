#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "engine/rules/Verdict.h"

// The limits of every check, whichever driver runs it.
struct CheckLimits {
    std::chrono::milliseconds connect{15000};
    std::chrono::milliseconds idle{30000};   // no byte for this long fails the transfer
    std::chrono::milliseconds total{60000};  // no check lives longer
    // No limit beyond the whole one: a connect or idle limit above it could never be reached.
    CheckLimits& keepWithinTotal() {
        connect = std::min(connect, total);
        idle = std::min(idle, total);
        return *this;
    }
};

struct CheckSettings {
    CheckLimits limits{};
    std::string caFile;  // certificates to trust instead of the system store (tests); empty: the system store
};

// The clocks of one check: when it began, and when a byte of the proxy's answer last came.
struct CheckClock {
    using Clock = std::chrono::steady_clock;
    explicit CheckClock(Clock::time_point start = Clock::now()) : started(start), lastByte(start) {}
    void received(Clock::time_point now) {
        lastByte = now;
        any = true;
    }
    Clock::time_point started;
    Clock::time_point lastByte;
    bool any = false;  // some byte has come
};

// The limit a check has passed at `now`, if any. A check that received nothing when its whole time ran out is
// idle, a passing failure, whichever limit came first; only one that was receiving is over its time.
std::optional<Reason> limitPassed(const CheckClock& clock, const CheckLimits& limits,
                                  CheckClock::Clock::time_point now);

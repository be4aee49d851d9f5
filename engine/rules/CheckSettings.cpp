#include "engine/rules/CheckSettings.h"

std::optional<Reason> limitPassed(const CheckClock& c, const CheckLimits& limits, CheckClock::Clock::time_point now) {
    if (now - c.lastByte >= limits.idle) return Reason::IdleTimeout;
    if (now - c.started >= limits.total) return c.any ? Reason::TimeLimit : Reason::IdleTimeout;
    return std::nullopt;
}

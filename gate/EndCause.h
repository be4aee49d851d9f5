#pragma once

#include <functional>
#include <string>
#include <string_view>

// How a client connection ended, as its log line's end= says it: one row each, in the manual in this order.
enum class EndCause {
    Closed,   // both sides ended
    Idle,     // nothing moved for --idle
    Reset,    // a side failed
    Failed,   // no proxy made the tunnel; why= lists each one's reason
    NoProxy,  // none worked, or none matched
    Refused,  // the request was refused; its reason follows
    Timeout,  // no request, or no answer's head, in time
    Gone,     // the client left first
    Lost,     // a strict session's proxy failed
    Stopped,  // the gate stops
    Error,    // the gate's own failure
};

std::string_view endName(EndCause cause);
// The manual's list of them, in roff, each meaning as `translated` gives it.
std::string endCausesRoff(const std::function<std::string(const char*)>& translated);

#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/rules/Verdict.h"

// RFC 9209's Proxy-Status: what the gate did with a request, as a structured-field list (RFC 8941), one member per
// proxy it tried, each named for the gate, with the proxy as its next hop.
struct StatusMember {
    std::string nextHop;  // the proxy, without its credentials; empty when none was reached for
    std::string error;    // one of the RFC's error types; empty on success
    std::string details;
};
std::string proxyStatus(const std::vector<StatusMember>& members);
// The RFC's error type for why a proxy failed: on the way to it or in its handshake, or (`answering`) in its answer
// to a plain request.
std::string_view errorType(Reason reason, bool answering = false);
// A string as a structured field's sf-string, quotes included: what it cannot hold becomes '?'.
std::string sfString(std::string_view s);

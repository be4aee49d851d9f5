#pragma once

#include "engine/rules/Verdict.h"

// Whom a failure to reach a destination through a proxy is held against, in the checks' reasons. A client chooses
// the destination: a failure the site may have caused (a proxy's refusal of one request, its close before any
// answer) must not let any client rest a proxy, so it only asks a check to say whether the proxy still works.
enum class Fault {
    Proxy,  // plainly the proxy's: refused, reset or timed out reaching it, its own malformed answer
    Maybe,  // the site's or the proxy's: a check decides
    Site,   // the destination's alone: a name that does not resolve, a port that refuses
    Ours,   // the failure of this program (a descriptor it could not open): never the proxy's
};
struct Blame {
    Reason reason = Reason::Error;
    Fault fault = Fault::Proxy;
    bool another = true;  // another proxy may do better
};

Blame blameFor(const TransferFacts& facts);
// A proxy's answer to one request passed through it, after the tunnel was made.
Blame blameForAnswer(Reason reason);

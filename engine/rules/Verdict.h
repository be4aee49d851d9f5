#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/rules/Judge.h"

enum class ProbeOutcome : char { Dead = '1', Working = '2', Aborted = '3' };

// Why a check ended as it did, in a small fixed vocabulary that scripts may rely on.
enum class Reason {
    Marker,          // working: the page came with the expected text
    Echo,            // working: a judge's echo of this very request came whole
    Unaltered,       // working: the page came byte for byte as fetched directly
    NoMarker,        // a page came without it
    Refused,         // the proxy's port refused the connection
    Unreachable,     // no route to the proxy
    ProxyName,       // the proxy's name did not resolve
    TargetName,      // the target's name did not resolve (a SOCKS proxy resolved here, or a direct fetch)
    ConnectTimeout,  // the connection, or the proxy's handshake, took longer than the connect limit
    IdleTimeout,     // no byte came for the idle limit
    TimeLimit,       // the check took longer than its whole limit
    ProxyDenied,     // the proxy answered that it will not or cannot reach the target
    ProxyAuth,       // the proxy wants credentials
    Tls,             // a TLS handshake or certificate failed
    NotAProxy,       // the other end answered in another protocol
    Reset,           // the connection was closed or reset before a whole response
    Redirects,       // too many redirects
    Unsupported,     // a proxy text refused without a connection
    NotAJudge,       // the page through the proxy is no judge's echo, or too long for one
    LeaksAddress,    // the judge saw our address: transparent, where less was asked for
    RevealsProxy,    // the judge saw a proxy's headers: anonymous, where elite was asked for
    Country,         // the proxy is not in a country asked for
    Altered,         // the page through the proxy is not the page fetched directly
    Stopped,         // the run was stopped
    Error,           // anything else (out of memory, an internal failure)
};

std::string_view reasonName(Reason reason);
// A failure that may not happen again: worth another try.
bool isTransient(Reason reason);
// The other end is not an HTTP proxy, or hung up on one: another protocol may be worth a try.
bool suggestsOtherProtocol(Reason reason);
// What every proxy would read were the page itself down or changed: many in a row point at the far end.
bool pointsAtFarEnd(Reason reason);

// What a check found out, beside its verdict. Times are from the start of the check; unset where the stage was not
// reached.
struct Verdict {
    Verdict() = default;
    Verdict(ProbeOutcome o, Reason r) : outcome(o), reason(r) {}
    ProbeOutcome outcome = ProbeOutcome::Dead;
    Reason reason = Reason::Error;
    std::string scheme;  // the proxy's, as libcurl used it; empty for a direct fetch
    std::optional<long> httpStatus;
    std::optional<long> connectMs;
    std::optional<long> firstByteMs;
    long totalMs = 0;
    std::uint64_t bytes = 0;
    std::optional<Sighting> sighting;       // what a judge saw, where the page was one
    EchoFault echoFault = EchoFault::None;  // why the page was no judge's echo (not-a-judge)
    std::optional<Echo> echo;               // the echo itself, where the target keeps it (fetched directly, to learn)
    std::string proxyIp;                    // the proxy's address as connected
    std::optional<std::string> country;     // of the exit (with a judge) or the proxy, where a database knows it
    std::string digest;                     // of the page, where it was to be whole
};

// A finished check, as both runs hand it to their front-end: the proxy text (Shift_JIS bytes) and its verdict.
struct CheckResult {
    std::string proxy;
    Verdict verdict;
    std::size_t line = 0;  // the command's run: where the proxy stands in its list, from 0
    std::string tried{};   // the command's run: the text as the last try gave it to libcurl
};

// What libcurl says of a transfer that ended without a decision of the read rules.
struct TransferFacts {
    int result = 0;              // the CURLcode
    int proxyError = 0;          // CURLINFO_PROXY_ERROR
    long osErrno = 0;            // CURLINFO_OS_ERRNO
    long connectCode = 0;        // the proxy's answer to CONNECT
    long status = 0;             // the final response's status
    bool resolved = false;       // the proxy's name (or the page's, when direct) was looked up
    bool connected = false;      // a connection was made
    bool handshakeDone = false;  // every connection step done: the request went out
    bool received = false;       // some byte of an answer came
};
Reason reasonFor(const TransferFacts& facts);
TransferFacts factsOf(void* easy, int result, bool received);  // `easy` is a CURL*
// A finished transfer, read once whichever driver ran it (`easy` is a CURL*): readTransfer for one the read rules
// did not decide, the reason and the rest; readTimers for one they did, the status and the timers.
void readTransfer(void* easy, int result, bool received, Verdict& verdict);
void readTimers(void* easy, Verdict& verdict);

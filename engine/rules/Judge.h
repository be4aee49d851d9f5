#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// What a judge page says of the request it received, in either of the forms judges write: CGI variables, one a line
// (REMOTE_ADDR=203.0.113.7 from an env dump, REMOTE_ADDR = 203.0.113.7<br> from the common PHP script, whose lines
// may all stand on one), or httpbin's /get JSON ({"origin": ..., "headers": {...}}).
struct Echo {
    std::string peerName = "REMOTE_ADDR";  // or httpbin's "origin"
    std::string peer;                      // the address the judge saw the request come from, as it wrote it
    std::vector<std::pair<std::string, std::string>> headers;  // as sent to the judge: name, value
};

// The most of an echo that is kept; a longer one is no judge's. A real echo is a few KiB.
inline constexpr std::size_t kMaxEcho = 32 * 1024;
// How deep httpbin's JSON may nest (it writes two levels).
inline constexpr std::size_t kMaxEchoDepth = 8;

// Why a page is no judge's echo.
enum class EchoFault {
    None,
    TooLong,    // longer than kMaxEcho
    TooDeep,    // JSON nested deeper than kMaxEchoDepth
    Malformed,  // JSON that cannot be read
    NoAddress,  // no REMOTE_ADDR and no origin, or one that is no address
    NoNonce,    // it does not echo the query it was asked with: not this request's echo
};
std::string_view echoFaultText(EchoFault fault);

struct EchoRead {
    std::optional<Echo> echo;
    EchoFault fault = EchoFault::None;
};

// The echo in `body`. Bodies of any shape are read in time linear in their size, without recursion: nesting deeper
// than a few levels, a REMOTE_ADDR that is no address, bytes that are no text end the reading.
EchoRead readEcho(std::string_view body);

// What the far end sees through a proxy, best first.
enum class Anonymity { Elite, Anonymous, Transparent };
std::string_view anonymityName(Anonymity a);
std::optional<Anonymity> anonymityNamed(std::string_view name);
// True when `seen` hides at least as much as `least`.
bool hidesAtLeast(Anonymity seen, Anonymity least);

// The forwarding header every request to a judge carries where the preflight asks it: a judge must show it back.
inline constexpr std::string_view kViaToken = "1.1 kiriha-check";

// What the judge's side shows of a request that came straight from us, learnt once a round by the preflight: our
// addresses, and what the judge's own front (a cache or server in front of it: squid, varnish, Apache) adds to every
// request. Only what a proxy adds beyond that counts against it.
struct JudgeBaseline {
    std::string nonce;              // in the query of every request: an echo that lacks it is not this request's
    std::vector<std::string> ours;  // as the judge saw us, and this machine's own
    struct Added {
        std::string name;      // as the judge wrote it
        std::size_t elements;  // comma-separated elements the front adds to it
    };
    std::vector<Added> front;
    bool behindFront = false;  // the judge's peer is its front: not the exit, and no sign of us
};

struct Sighting {
    std::string exit;  // the address the request came from, as the judge saw it; empty if unknown
    Anonymity anonymity = Anonymity::Elite;
    std::vector<std::string> leaks;  // the header names (and "REMOTE_ADDR" or "origin") that decided it
};

// Transparent when one of our addresses appears, as an address (not part of one), in the peer or in what a proxy
// added to a header; anonymous when the proxy added a header that reveals a proxy; else elite.
Sighting classify(const Echo& echo, const JudgeBaseline& baseline);

// The baseline an echo of a request sent straight from us (with kViaToken) gives, with `machine`'s addresses; or
// why the judge cannot judge (the Via we sent is not shown, no address of ours is known).
struct Learnt {
    std::optional<JudgeBaseline> baseline;
    std::string problem;
};
Learnt learnBaseline(const Echo& direct, std::string nonce, std::vector<std::string> machine);

// A fresh nonce, and the judge's URL asking with it.
std::string newNonce();
std::string withNonce(const std::string& url, const std::string& nonce);

// The headers that reveal a proxy, as the manual lists them.
std::vector<std::string_view> revealingHeaders();

// This machine's own addresses of global scope, both families (not loopback, not link-local).
std::vector<std::string> machineAddresses();

#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// What a judge page says of the request it received, in either of the forms judges write: CGI variables, one a line
// (REMOTE_ADDR=203.0.113.7 from an env dump, REMOTE_ADDR = 203.0.113.7 from the common PHP script), or httpbin's
// /get JSON ({"origin": ..., "headers": {...}}).
struct Echo {
    std::string peerName = "REMOTE_ADDR";  // or httpbin's "origin"
    std::string peer;                      // the address the judge saw the request come from, as it wrote it
    std::vector<std::pair<std::string, std::string>> headers;  // as sent to the judge: name, value
};

// The most of an echo that is read; a longer one is no judge's.
inline constexpr std::size_t kMaxEcho = 256 * 1024;

// The echo in `body`, or nothing when it is no judge's page. Bodies of any shape are read without recursion or
// unbounded work: nesting deeper than a few levels, a REMOTE_ADDR that is no address, bytes that are no text.
std::optional<Echo> readEcho(std::string_view body);

// What the far end sees through a proxy, best first.
enum class Anonymity { Elite, Anonymous, Transparent };
std::string_view anonymityName(Anonymity a);
std::optional<Anonymity> anonymityNamed(std::string_view name);

struct Sighting {
    std::string exit;  // the address the request came from, as the judge saw it; empty if unknown
    Anonymity anonymity = Anonymity::Elite;
    std::vector<std::string> leaks;  // the header names (and "REMOTE_ADDR") that decided it; none for elite
};

// Transparent when one of `ours` appears as an address (not as part of one) in the peer or any header value;
// anonymous when a header reveals a proxy; else elite.
Sighting classify(const Echo& echo, const std::vector<std::string>& ours);

// The headers that reveal a proxy, as the manual lists them.
std::vector<std::string_view> revealingHeaders();

// This machine's own addresses of global scope, both families (not loopback, not link-local).
std::vector<std::string> machineAddresses();

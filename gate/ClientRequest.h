#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/loops/ProxyPool.h"

// Where a client wants to go: a host name or address literal (an IPv6 one without brackets), and a port.
struct Destination {
    std::string host;
    std::uint16_t port = 0;
    std::string shown() const;  // host:port, an IPv6 address in brackets
};

// Who may use the gate: anyone (it listens on loopback only), or whoever gives one of the credentials.
class Access {
  public:
    Access() = default;
    explicit Access(std::vector<std::string> credentials);  // USER:PASSWORD each
    bool required() const { return !credentials_.empty(); }
    // Compared in constant time for credentials of the same length: how far a guess matched is not told.
    bool admits(std::string_view user, std::string_view password) const;

  private:
    std::vector<std::string> credentials_;
};

// The largest request head, and head and body that can be sent again to another proxy.
inline constexpr std::size_t kMaxRequest = 64 * 1024;

// What a client asked for once its handshake is through.
struct ClientRequest {
    enum class Kind { Connect, Plain, Socks5, Socks4 } kind = Kind::Connect;
    Destination to;
    ProxyPool::Want want;  // what its user name asks of the way out
    // Plain http: the request line's parts and the header lines to send on (hop-by-hop ones and those naming the
    // proxy or the client's credentials for it left out, each ending in CR LF), and what of the body came.
    std::string method;
    std::string authority;  // host[:port] as the client wrote it
    std::string path;       // origin form: /path?query
    std::string headers;
    std::string body;
    bool whole = false;      // head and body are all here within kMaxRequest: the request may be sent again
    std::uint64_t owed = 0;  // otherwise, the body's bytes still to come
    // The request as it goes to an HTTP proxy (absolute form, with its credentials) or through a tunnel (origin
    // form); "Connection: close" either way.
    std::string forwarded(bool toHttpProxy, const std::string& proxyCredentials) const;
};

// Basic credentials (user:password) as a Proxy-Authorization value, and back.
std::string basicCredentials(std::string_view userAndPassword);
std::string decodeBasic(std::string_view value);  // "" when it is no Basic credential

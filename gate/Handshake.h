#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// How far a chunked body has been read: each byte is looked at a bounded number of times however it comes.
struct ChunkScan {
    std::size_t at = 0;        // the next chunk's size line, or the next trailer line
    std::size_t searched = 0;  // no line end before this
    bool trailers = false;
};

// A client's handshake, fed the bytes it sends: SOCKS5 (RFC 1928, RFC 1929), SOCKS4/4a, or an HTTP proxy request,
// read strictly (RFC 9112) so that the gate is never a request-smuggling hop.
class Handshake {
  public:
    explicit Handshake(std::shared_ptr<const Access> access);

    struct Step {
        enum class Is { More, Ready, Refused } is = Is::More;
        std::string reply;      // to write to the client now: a SOCKS choice of method, or the refusal
        ClientRequest request;  // when Ready
        std::string why;        // when Refused: for the log
    };
    // Takes what it reads from the front of `in`; what is left after a request's head (and the body it carries)
    // is the client's to send on.
    Step feed(std::string& in);

  private:
    enum class Stage { First, Socks5Methods, Socks5Auth, Socks5Request, Socks4, Http, Done };
    Step socks5Methods(std::string& in);
    Step socks5Auth(std::string& in);
    Step socks5Request(std::string& in);
    Step socks4(std::string& in);
    Step http(std::string& in);
    Step httpBody(std::string& in);

    // A head read whole, its body still coming.
    struct Body {
        ClientRequest request;
        std::size_t at = 0;  // where the body starts
        bool chunked = false;
        std::size_t length = 0;  // otherwise
        ChunkScan scan;
    };

    std::shared_ptr<const Access> access_;
    Stage stage_ = Stage::First;
    std::size_t scanned_ = 0;  // of a head still coming: no end and no NUL before this
    std::optional<Body> body_;
};

// What the client is told once the tunnel is made, or that none was: an HTTP status with a line of text, or the SOCKS
// reply that fits. Nothing for a plain request that went through (the proxy's answer is the reply).
std::string tunnelReady(ClientRequest::Kind kind);
enum class Refusal { NoProxy, AllFailed, Late, Unreachable, Refused, NotAllowed };
std::string refusalReply(ClientRequest::Kind kind, Refusal why, const std::string& text);

// Basic credentials (user:password) as a Proxy-Authorization value, and back.
std::string basicCredentials(std::string_view userAndPassword);
std::string decodeBasic(std::string_view value);  // "" when it is no Basic credential

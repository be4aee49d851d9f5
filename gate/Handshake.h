#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gate/ClientRequest.h"
#include "gate/UserName.h"

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
    explicit Handshake(std::shared_ptr<const Access> access, Abilities can = {});

    struct Step {
        enum class Is { More, Ready, Refused } is = Is::More;
        std::string reply;      // to write to the client now: a SOCKS choice of method, or the refusal
        ClientRequest request;  // when Ready
        std::string why;        // when Refused: for the log
    };
    // Takes what it reads from the front of `in`; what is left after a request's head (and the body it carries)
    // is the client's to send on.
    Step feed(std::string& in);
    // A user name refused for what it asks, as the person running the gate is told; empty when none was.
    const std::string& told() const { return told_; }

  private:
    enum class Stage { First, Socks5Methods, Socks5Auth, Socks5Request, Socks4, Http, Done };
    Step socks5Methods(std::string& in);
    Step socks5Auth(std::string& in);
    Step socks5Request(std::string& in);
    Step socks4(std::string& in);
    Step http(std::string& in);
    Step httpBody(std::string& in);
    // The client's credentials admitted and read for what they ask, or why not.
    std::string identify(std::string_view user, std::string_view password, bool given, ProxyPool::Want& want);

    // A head read whole, its body still coming.
    struct Body {
        ClientRequest request;
        std::size_t at = 0;  // where the body starts
        bool chunked = false;
        std::size_t length = 0;  // otherwise
        ChunkScan scan;
    };

    std::shared_ptr<const Access> access_;
    Abilities can_;
    ProxyPool::Want want_;           // a SOCKS5 client's, until its request
    std::string told_, toldDetail_;  // in the gate's language, and in English
    Stage stage_ = Stage::First;
    std::size_t scanned_ = 0;  // of a head still coming: no end and no NUL before this
    std::optional<Body> body_;
};

// What the client is told once the tunnel is made, or that none was: an HTTP status with a line of text, or the SOCKS
// reply that fits. Nothing for a plain request that went through (the proxy's answer is the reply).
std::string tunnelReady(ClientRequest::Kind kind);
enum class Refusal { NoProxy, NoMatch, AllFailed, Late, Unreachable, Refused, NotAllowed, SessionLost };
// `status9209`: the Proxy-Status an HTTP client is given.
std::string refusalReply(ClientRequest::Kind kind, Refusal why, const std::string& text, const std::string& status9209);

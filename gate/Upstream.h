#pragma once

#include <sys/socket.h>

#include <optional>
#include <string>

#include "engine/rules/Blame.h"
#include "engine/rules/CheckSettings.h"
#include "engine/rules/CurlOptions.h"
#include "gate/Handshake.h"

// How a connection leaves for its destination through a proxy of the pool: a tunnel that libcurl makes (CONNECT, or
// a SOCKS handshake) with every proxy protocol, credential and TLS rule the checks use; or, for plain http through
// an HTTP proxy, which may refuse CONNECT to port 80, a connection to the proxy itself, which the request then goes
// to in absolute form.
struct Upstream {
    bool httpProxy = false;   // the proxy speaks HTTP (a plain request goes to it in absolute form)
    bool servable = false;    // its traffic can be relayed as raw bytes (not through TLS of libcurl's own)
    std::string credentials;  // user:password of an HTTP proxy, decoded, for a request sent to it
    std::string shown;        // the proxy as logs and answers show it: without credentials
    // An http:// proxy named by its address: a plain request reaches it by a connection of the gate's own, with no
    // look-up and no libcurl between.
    std::optional<sockaddr_storage> address;
    socklen_t addressLength = 0;
};
Upstream upstreamOf(const std::string& proxy);

// Why a tunnel was not made, and whom it is held against.
Blame blameOf(CURL* easy, CURLcode result);

// A proxy text as logs, answers and the status page show it: never with its credentials.
std::string shownProxy(const std::string& proxy);

// `easy` (fresh, or reset) set up as the transfer that makes the way out, CONNECT_ONLY: to `to` through the proxy,
// or, with `toProxy`, to the proxy's own host and port (never to `to` itself). False when the text names no proxy.
// A name the client gave goes to a SOCKS5 proxy as a name: the client's look-ups never leave from this machine.
bool upstreamTransfer(CURL* easy, const std::string& proxy, const Destination& to, bool toProxy,
                      const CheckSettings& settings);

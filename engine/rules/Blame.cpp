#include "engine/rules/Blame.h"

#include <curl/curl.h>

#include <cerrno>

Blame blameFor(const TransferFacts& f) {
    Blame b{reasonFor(f)};
    if (f.osErrno == EMFILE || f.osErrno == ENFILE || f.osErrno == ENOBUFS || f.osErrno == ENOMEM) {
        b.reason = Reason::Error;
        b.fault = Fault::Ours;
        b.another = false;
        return b;
    }
    switch (b.reason) {
        case Reason::TargetName:  // a name that does not resolve through one will not through another
            b.fault = Fault::Site;
            b.another = false;
            break;
        case Reason::ProxyDenied:
            // A SOCKS5 proxy that says the site is unreachable or refusing tells of the site; any other refusal (a
            // CONNECT answered 5xx, a SOCKS4 rejection, a general failure) may be either.
            b.fault =
                f.proxyError == CURLPX_REPLY_HOST_UNREACHABLE || f.proxyError == CURLPX_REPLY_CONNECTION_REFUSED ||
                        f.proxyError == CURLPX_REPLY_NETWORK_UNREACHABLE || f.proxyError == CURLPX_REPLY_TTL_EXPIRED
                    ? Fault::Site
                    : Fault::Maybe;
            break;
        case Reason::ProxyAuth:
            b.fault = Fault::Maybe;
            break;
        case Reason::Reset:
        case Reason::ConnectTimeout:
            // Reaching the proxy it is the proxy's; once connected, it may have waited on the site or closed on it.
            b.fault = f.connected ? Fault::Maybe : Fault::Proxy;
            break;
        case Reason::Error:
            b.fault = Fault::Ours;
            b.another = false;
            break;
        default:
            break;
    }
    return b;
}

Blame blameForAnswer(Reason reason) {
    Blame b{reason, Fault::Maybe};
    if (reason == Reason::NotAProxy) b.fault = Fault::Proxy;  // its own answer, malformed
    return b;
}

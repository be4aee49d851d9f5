#include "engine/rules/Verdict.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <iterator>

namespace {

// The vocabulary: each reason's word, whether another try may end otherwise, whether another protocol may, and
// whether the page itself, down or changed, would give it.
struct ReasonRow {
    Reason reason;
    std::string_view name;
    bool transient;
    bool otherProtocol;
    bool farEnd;
};
// In the order of the enum, one row each: a reason added without its row fails to compile.
constexpr ReasonRow kReasons[] = {
    {Reason::Marker, "marker", false, false, false},
    {Reason::Echo, "echo", false, false, false},
    {Reason::Unaltered, "unaltered", false, false, false},
    {Reason::NoMarker, "no-marker", false, false, true},
    {Reason::Refused, "refused", false, false, false},
    {Reason::Unreachable, "unreachable", false, false, false},
    {Reason::ProxyName, "proxy-name", false, false, false},
    {Reason::TargetName, "target-name", false, false, true},
    {Reason::ConnectTimeout, "connect-timeout", true, false, false},
    {Reason::IdleTimeout, "idle-timeout", true, false, false},
    {Reason::TimeLimit, "time-limit", false, false, false},
    {Reason::ProxyDenied, "proxy-denied", false, false, true},
    {Reason::ProxyAuth, "proxy-auth", false, false, false},
    {Reason::Tls, "tls", false, false, false},
    {Reason::NotAProxy, "not-a-proxy", false, true, false},
    {Reason::Reset, "reset", true, true, false},
    {Reason::Redirects, "redirects", false, false, true},
    {Reason::Unsupported, "unsupported", false, false, false},
    {Reason::NotAJudge, "not-a-judge", false, false, true},
    {Reason::LeaksAddress, "leaks-address", false, false, false},
    {Reason::RevealsProxy, "reveals-proxy", false, false, false},
    {Reason::Country, "country", false, false, false},
    {Reason::Altered, "altered", false, false, true},
    {Reason::Stopped, "stopped", false, false, false},
    {Reason::Error, "error", false, false, false},
};

static_assert(std::size(kReasons) == std::size_t(Reason::Error) + 1, "a reason has no row");
constexpr bool rowsInOrder() {
    for (std::size_t i = 0; i < std::size(kReasons); ++i)
        if (kReasons[i].reason != Reason(i)) return false;
    return true;
}
static_assert(rowsInOrder(), "the rows are not in the order of the reasons");

const ReasonRow& rowOf(Reason reason) {
    return kReasons[std::size_t(reason)];
}

// libcurl's result codes. Those read further below: CURLE_COULDNT_CONNECT (by errno), CURLE_OPERATION_TIMEDOUT
// (by stage), CURLE_UNSUPPORTED_PROTOCOL (by whether a connection was made) and CURLE_PROXY (by the SOCKS answer).
struct CodeRow {
    CURLcode code;
    Reason reason;
};
constexpr CodeRow kCodes[] = {
    {CURLE_OK, Reason::NoMarker},  // the page came whole, and the read rules did not find the text in it
    {CURLE_COULDNT_RESOLVE_PROXY, Reason::ProxyName},
    {CURLE_COULDNT_RESOLVE_HOST, Reason::TargetName},
    {CURLE_COULDNT_CONNECT, Reason::Unreachable},
    {CURLE_OPERATION_TIMEDOUT, Reason::TimeLimit},
    {CURLE_URL_MALFORMAT, Reason::Unsupported},
    {CURLE_UNSUPPORTED_PROTOCOL, Reason::NotAProxy},  // after a connection: HTTP/0.9, that is, no HTTP at all
    {CURLE_WEIRD_SERVER_REPLY, Reason::NotAProxy},
    {CURLE_GOT_NOTHING, Reason::Reset},
    {CURLE_RECV_ERROR, Reason::Reset},
    {CURLE_SEND_ERROR, Reason::Reset},
    {CURLE_PARTIAL_FILE, Reason::Reset},
    {CURLE_HTTP2, Reason::Reset},
    {CURLE_HTTP2_STREAM, Reason::Reset},
    {CURLE_TOO_MANY_REDIRECTS, Reason::Redirects},
    {CURLE_SSL_CONNECT_ERROR, Reason::Tls},
    {CURLE_PEER_FAILED_VERIFICATION, Reason::Tls},
    {CURLE_SSL_CERTPROBLEM, Reason::Tls},
    {CURLE_SSL_CIPHER, Reason::Tls},
    {CURLE_SSL_CACERT_BADFILE, Reason::Tls},
    {CURLE_SSL_ISSUER_ERROR, Reason::Tls},
    {CURLE_SSL_PINNEDPUBKEYNOTMATCH, Reason::Tls},
    {CURLE_SSL_INVALIDCERTSTATUS, Reason::Tls},
    {CURLE_SSL_CRL_BADFILE, Reason::Tls},
    {CURLE_SSL_SHUTDOWN_FAILED, Reason::Tls},
    {CURLE_ABORTED_BY_CALLBACK, Reason::Stopped},
};

// The SOCKS handshake's failures (CURLE_PROXY).
struct ProxyRow {
    CURLproxycode code;
    Reason reason;
};
constexpr ProxyRow kProxyCodes[] = {
    {CURLPX_BAD_VERSION, Reason::NotAProxy},
    {CURLPX_BAD_ADDRESS_TYPE, Reason::NotAProxy},
    {CURLPX_CLOSED, Reason::Reset},
    {CURLPX_RECV_ADDRESS, Reason::Reset},
    {CURLPX_RECV_AUTH, Reason::Reset},
    {CURLPX_RECV_CONNECT, Reason::Reset},
    {CURLPX_RECV_REQACK, Reason::Reset},
    {CURLPX_SEND_AUTH, Reason::Reset},
    {CURLPX_SEND_CONNECT, Reason::Reset},
    {CURLPX_SEND_REQUEST, Reason::Reset},
    {CURLPX_NO_AUTH, Reason::ProxyAuth},
    {CURLPX_USER_REJECTED, Reason::ProxyAuth},
    {CURLPX_RESOLVE_HOST, Reason::TargetName},
    {CURLPX_LONG_HOSTNAME, Reason::Unsupported},
    {CURLPX_LONG_USER, Reason::Unsupported},
    {CURLPX_LONG_PASSWD, Reason::Unsupported},
    {CURLPX_UNKNOWN_MODE, Reason::Unsupported},
    // Any reply code (not allowed, unreachable, refused, ...) and a SOCKS4 rejection: the proxy will not get there.
};

}  // namespace

std::string_view reasonName(Reason reason) {
    return rowOf(reason).name;
}
bool isTransient(Reason reason) {
    return rowOf(reason).transient;
}
bool suggestsOtherProtocol(Reason reason) {
    return rowOf(reason).otherProtocol;
}
bool pointsAtFarEnd(Reason reason) {
    return rowOf(reason).farEnd;
}

Reason reasonFor(const TransferFacts& f) {
    // The proxy's own answer comes first: a refused CONNECT is no failure of the connection.
    if (f.connectCode == 407 || f.connectCode == 401 || f.status == 407) return Reason::ProxyAuth;
    if (f.connectCode >= 300) return Reason::ProxyDenied;
    const auto code = static_cast<CURLcode>(f.result);
    if (code == CURLE_COULDNT_CONNECT) {
        if (f.osErrno == ECONNREFUSED) return Reason::Refused;
        if (f.osErrno == ETIMEDOUT) return Reason::ConnectTimeout;
        if (f.osErrno == 0 && !f.connected) return Reason::Unsupported;  // no connection was even tried
        return Reason::Unreachable;
    }
    if (code == CURLE_OPERATION_TIMEDOUT) {
        if (!f.resolved) return Reason::ProxyName;  // a look-up that never answered
        if (!f.handshakeDone) return Reason::ConnectTimeout;
        return f.received ? Reason::TimeLimit : Reason::IdleTimeout;  // as limitPassed has it
    }
    if (code == CURLE_UNSUPPORTED_PROTOCOL && !f.connected) return Reason::Unsupported;
    if (code == CURLE_PROXY) {
        for (const ProxyRow& row : kProxyCodes)
            if (row.code == f.proxyError) return row.reason;
        return Reason::ProxyDenied;
    }
    for (const CodeRow& row : kCodes)
        if (row.code == code) return row.reason;
    return Reason::Error;
}

TransferFacts factsOf(void* easy, int result, bool received) {
    CURL* h = easy;
    TransferFacts f;
    f.result = result;
    long proxyError = 0;
    curl_easy_getinfo(h, CURLINFO_PROXY_ERROR, &proxyError);
    f.proxyError = int(proxyError);
    curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &f.osErrno);
    curl_easy_getinfo(h, CURLINFO_HTTP_CONNECTCODE, &f.connectCode);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &f.status);
    curl_off_t lookup = 0, connect = 0, pretransfer = 0;
    curl_easy_getinfo(h, CURLINFO_NAMELOOKUP_TIME_T, &lookup);
    curl_easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connect);
    curl_easy_getinfo(h, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
    f.resolved = lookup > 0;
    f.connected = connect > 0;
    f.handshakeDone = pretransfer > 0;
    f.received = received;
    return f;
}

void readTransfer(void* easy, int result, bool received, Verdict& v) {
    v.reason = reasonFor(factsOf(easy, result, received));
    readTimers(easy, v);
}

void readTimers(void* easy, Verdict& v) {
    CURL* h = easy;
    long status = 0, connectCode = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(h, CURLINFO_HTTP_CONNECTCODE, &connectCode);
    if (status <= 0 && connectCode > 0) status = connectCode;  // a CONNECT refused: the proxy's own answer
    if (status > 0) v.httpStatus = status;
    const auto ms = [&](CURLINFO what) -> std::optional<long> {
        curl_off_t us = 0;
        curl_easy_getinfo(h, what, &us);
        if (us <= 0) return std::nullopt;
        return long(us / 1000);
    };
    v.connectMs = ms(CURLINFO_CONNECT_TIME_T);
    v.firstByteMs = ms(CURLINFO_STARTTRANSFER_TIME_T);
}

#include "gate/Upstream.h"

#include <algorithm>
#include <cctype>

#include "engine/rules/Urls.h"
#include "engine/rules/Verdict.h"

namespace {

std::string part(CURLU* url, CURLUPart what, unsigned flags = 0) {
    char* raw = nullptr;
    if (curl_url_get(url, what, &raw, flags) != CURLUE_OK) return {};
    const CurlText text(raw);
    return text.get();
}

// The proxy text read as libcurl reads CURLOPT_PROXY.
UrlHandle parsed(const std::string& proxy) {
    UrlHandle url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, proxy.c_str(), CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME) !=
                    CURLUE_OK)
        return nullptr;
    return url;
}

}  // namespace

Upstream upstreamOf(const std::string& proxy) {
    Upstream u;
    const UrlHandle url = parsed(proxy);
    if (!url) return u;
    std::string scheme = part(url.get(), CURLUPART_SCHEME);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    u.httpProxy = scheme == "http" || scheme == "https";
    u.servable = scheme != "https";
    const std::string user = part(url.get(), CURLUPART_USER, CURLU_URLDECODE);
    const std::string password = part(url.get(), CURLUPART_PASSWORD, CURLU_URLDECODE);
    if (!user.empty()) u.credentials = user + ":" + password;
    curl_url_set(url.get(), CURLUPART_USER, nullptr, 0);
    curl_url_set(url.get(), CURLUPART_PASSWORD, nullptr, 0);
    const std::string host = part(url.get(), CURLUPART_HOST), port = part(url.get(), CURLUPART_PORT);
    u.shown = scheme + "://" + host + (port.empty() ? "" : ":" + port);
    return u;
}

Blame blameOf(CURL* easy, CURLcode result) {
    Verdict v;
    readTransfer(easy, int(result), false, v);
    Blame b{std::string(reasonName(v.reason))};
    long code = 0;
    curl_easy_getinfo(easy, CURLINFO_PROXY_ERROR, &code);
    if (v.reason == Reason::TargetName) b.proxy = b.another = false;
    if (v.reason == Reason::ProxyDenied &&
        (code == CURLPX_REPLY_HOST_UNREACHABLE || code == CURLPX_REPLY_CONNECTION_REFUSED ||
         code == CURLPX_REPLY_NETWORK_UNREACHABLE || code == CURLPX_REPLY_TTL_EXPIRED))
        b.proxy = false;
    return b;
}

bool upstreamTransfer(CURL* e, const std::string& proxy, const Destination& to, bool toProxy,
                      const CheckSettings& settings) {
    std::string url;
    if (toProxy) {
        const UrlHandle p = parsed(proxy);
        if (!p) return false;
        const std::string port = part(p.get(), CURLUPART_PORT);
        url = "http://" + part(p.get(), CURLUPART_HOST) + ":" +
              (port.empty() ? std::to_string(kDefaultProxyPort) : port) + "/";
        curl_easy_setopt(e, CURLOPT_PROXY, "");  // the proxy itself: no proxy on the way, not one from the environment
    } else {
        const std::string host = to.host.find(':') != std::string::npos ? "[" + to.host + "]" : to.host;
        url = "http://" + host + ":" + std::to_string(to.port) + "/";
        curl_easy_setopt(e, CURLOPT_PROXY, proxy.c_str());
        curl_easy_setopt(e, CURLOPT_PROXYPORT, kDefaultProxyPort);
        curl_easy_setopt(e, CURLOPT_HTTPPROXYTUNNEL, 1L);
        curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    }
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_NOPROXY, "");
    curl_easy_setopt(e, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 1024L);  // it moves no byte of the tunnel: the least libcurl takes
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http");
    const long limit = long(settings.limits.connect.count());
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, limit);
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, limit);
    if (!settings.caFile.empty()) curl_easy_setopt(e, CURLOPT_PROXY_CAINFO, settings.caFile.c_str());
    return true;
}

#include "gate/Upstream.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>

#include "engine/rules/Urls.h"
#include "engine/rules/Verdict.h"

namespace {

constexpr auto npos = std::string::npos;

bool sameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

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

// The proxy's address, where the host is one.
void addressOf(std::string host, std::uint16_t port, Upstream& u) {
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    sockaddr_storage a{};
    if (auto* four = reinterpret_cast<sockaddr_in*>(&a); ::inet_pton(AF_INET, host.c_str(), &four->sin_addr) == 1) {
        four->sin_family = AF_INET;
        four->sin_port = htons(port);
        u.addressLength = sizeof(sockaddr_in);
    } else if (auto* six = reinterpret_cast<sockaddr_in6*>(&a);
               ::inet_pton(AF_INET6, host.c_str(), &six->sin6_addr) == 1) {
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(port);
        u.addressLength = sizeof(sockaddr_in6);
    } else {
        return;
    }
    u.address = a;
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
    if (scheme == "http")
        addressOf(host, port.empty() ? std::uint16_t(kDefaultProxyPort) : std::uint16_t(std::stoi(port)), u);
    return u;
}

Blame blameOf(CURL* easy, CURLcode result) {
    return blameFor(factsOf(easy, int(result), false));
}

std::string shownProxy(const std::string& proxy) {
    // As listed, less the credentials: the sellers' form's last two fields, or a URL's user information.
    if (fromSellerForm(proxy)) {
        const auto second = proxy.find(':', proxy.find(':') + 1);
        return proxy.substr(0, second);
    }
    const auto at = proxy.rfind('@');
    if (at == npos) return proxy;
    const auto scheme = proxy.find("://");
    return (scheme != npos && scheme < at ? proxy.substr(0, scheme + 3) : "") + proxy.substr(at + 1);
}

bool upstreamTransfer(CURL* e, const std::string& proxy, const Destination& to, bool toProxy,
                      const CheckSettings& settings) {
    std::string url, via = proxy;
    if (toProxy) {
        const UrlHandle p = parsed(proxy);
        if (!p) return false;
        const std::string port = part(p.get(), CURLUPART_PORT);
        url = "http://" + part(p.get(), CURLUPART_HOST) + ":" +
              (port.empty() ? std::to_string(kDefaultProxyPort) : port) + "/";
        via = "";  // the proxy itself: no proxy on the way, not one from the environment
    } else {
        const std::string host = to.host.find(':') != std::string::npos ? "[" + to.host + "]" : to.host;
        url = "http://" + host + ":" + std::to_string(to.port) + "/";
        constexpr std::string_view kSocks5 = "socks5://";
        const bool named = to.host.find_first_not_of("0123456789.") != std::string::npos && to.host.find(':') == npos;
        if (named && proxy.size() > kSocks5.size() &&
            sameText(std::string_view(proxy).substr(0, kSocks5.size()), kSocks5))
            via = "socks5h://" + proxy.substr(kSocks5.size());
        curl_easy_setopt(e, CURLOPT_HTTPPROXYTUNNEL, 1L);
    }
    setProxyOptions(e, settings, via, url);
    curl_easy_setopt(e, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 1024L);  // it moves no byte of the tunnel: the least libcurl takes
    curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, long(settings.limits.connect.count()));
    // Ending a tunnel's making never waits for a name look-up still running: the loop serves others meanwhile.
    curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);
    return true;
}

#include "engine/rules/CurlOptions.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "engine/rules/ProbeRules.h"
#include "engine/rules/Urls.h"

namespace {

constexpr long kMaxRedirects = 10;
constexpr long kDefaultProxyPort = 80;

struct UrlDeleter {
    void operator()(CURLU* h) const { curl_url_cleanup(h); }
};
struct CharDeleter {
    void operator()(char* p) const { curl_free(p); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

std::string urlPart(CURLU* url, CURLUPart what, unsigned flags = 0) {
    char* raw = nullptr;
    if (curl_url_get(url, what, &raw, flags) != CURLUE_OK) return {};
    std::unique_ptr<char, CharDeleter> part(raw);
    return part.get();
}

// `text` read as a URL; null when it is none.
UrlHandle parsedUrl(const std::string& text, unsigned flags = 0) {
    UrlHandle url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), flags) != CURLUE_OK) return nullptr;
    return url;
}

}  // namespace

void setCheckOptions(CURL* h, const CheckSettings& settings, const std::string& agent, const std::string& proxy,
                     bool direct, const std::string& url) {
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
    // The proxy text goes to libcurl exactly as written; "" (a local host) means no proxy, not even
    // one from the environment, and an empty no-proxy list keeps no_proxy from the environment out.
    curl_easy_setopt(h, CURLOPT_PROXY, direct ? "" : proxy.c_str());
    curl_easy_setopt(h, CURLOPT_PROXYPORT, kDefaultProxyPort);
    curl_easy_setopt(h, CURLOPT_NOPROXY, "");
    curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    const CheckLimits& limits = settings.limits;
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connect.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.total.count()));
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(kChunkSize));
    if (!settings.caFile.empty()) {
        curl_easy_setopt(h, CURLOPT_CAINFO, settings.caFile.c_str());
        curl_easy_setopt(h, CURLOPT_PROXY_CAINFO, settings.caFile.c_str());
    }
}

// The URL helpers of Urls.h.

bool reachesUnixSocket(const std::string& proxy) {
    // libcurl takes a SOCKS proxy URL with a path ("socks5h://localhost/run/x.sock") as a Unix socket.
    // No SOCKS proxy on the network has a path, so any SOCKS text with one is refused.
    std::string scheme = proxy.substr(0, 5);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    if (scheme != "socks") return false;
    const UrlHandle url = parsedUrl(proxy, CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME);
    if (!url) return true;  // what cannot be read as a URL is no proxy to try
    const std::string path = urlPart(url.get(), CURLUPART_PATH, CURLU_URLDECODE);
    return !path.empty() && path != "/";
}

bool isLocalHost(const std::string& url) {
    const UrlHandle parsed = parsedUrl(url);
    if (!parsed) return false;
    const std::string host = urlPart(parsed.get(), CURLUPART_HOST);
    return !host.empty() && host.find('.') == std::string::npos;
}

bool isWebUrl(const std::string& url) {
    const UrlHandle parsed = parsedUrl(url);
    if (!parsed) return false;
    const std::string scheme = urlPart(parsed.get(), CURLUPART_SCHEME);
    return (scheme == "http" || scheme == "https") && !urlPart(parsed.get(), CURLUPART_HOST).empty();
}

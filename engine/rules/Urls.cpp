#include "engine/rules/Urls.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace {

struct UrlDeleter {
    void operator()(CURLU* h) const { curl_url_cleanup(h); }
};
struct CharDeleter {
    void operator()(char* p) const { curl_free(p); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;
using CurlText = std::unique_ptr<char, CharDeleter>;

std::string urlPart(CURLU* url, CURLUPart what, unsigned flags = 0) {
    char* raw = nullptr;
    if (curl_url_get(url, what, &raw, flags) != CURLUE_OK) return {};
    const CurlText part(raw);
    return part.get();
}

// `text` read as a URL; null when it is none.
UrlHandle parsedUrl(const std::string& text, unsigned flags = 0) {
    UrlHandle url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), flags) != CURLUE_OK) return nullptr;
    return url;
}

// A proxy text read as libcurl reads CURLOPT_PROXY.
UrlHandle parsedProxy(const std::string& proxy) {
    return parsedUrl(proxy, CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME);
}

std::string escaped(std::string_view part) {
    const CurlText text(curl_easy_escape(nullptr, part.data(), static_cast<int>(part.size())));
    return text ? text.get() : "";
}

}  // namespace

bool isWebUrl(const std::string& url) {
    return webUrlProblem(url).empty();
}

std::string webUrlProblem(const std::string& url) {
    constexpr const char* kOnlyWeb = "only http:// and https:// pages";
    const UrlHandle parsed = parsedUrl(url, CURLU_NON_SUPPORT_SCHEME);
    if (!parsed) {
        // A text with no scheme at all is read with one, to tell a missing scheme from a malformed URL.
        return parsedUrl(url, CURLU_GUESS_SCHEME) ? kOnlyWeb : "malformed";
    }
    const std::string scheme = urlPart(parsed.get(), CURLUPART_SCHEME);
    if (scheme != "http" && scheme != "https") return kOnlyWeb;
    if (urlPart(parsed.get(), CURLUPART_HOST).empty()) return "malformed";
    return {};
}

bool isLocalHost(const std::string& url) {
    const UrlHandle parsed = parsedUrl(url);
    if (!parsed) return false;
    const std::string host = urlPart(parsed.get(), CURLUPART_HOST);
    return !host.empty() && host.find('.') == std::string::npos;
}

bool isProxyUrl(const std::string& proxy) {
    return parsedProxy(proxy) != nullptr;
}

bool reachesUnixSocket(const std::string& proxy) {
    // libcurl takes a SOCKS proxy URL with a path ("socks5h://localhost/run/x.sock") as a Unix socket.
    // No SOCKS proxy on the network has a path, so any SOCKS text with one is refused.
    std::string scheme = proxy.substr(0, 5);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    if (scheme != "socks") return false;
    const UrlHandle url = parsedProxy(proxy);
    if (!url) return true;  // what cannot be read as a URL is no proxy to try
    const std::string path = urlPart(url.get(), CURLUPART_PATH, CURLU_URLDECODE);
    return !path.empty() && path != "/";
}

bool namesAddress(std::string_view proxy) {
    if (const auto scheme = proxy.find("://"); scheme != std::string_view::npos) proxy.remove_prefix(scheme + 3);
    if (const auto at = proxy.find('@'); at != std::string_view::npos) proxy.remove_prefix(at + 1);
    if (proxy.starts_with('[')) return true;  // an IPv6 literal
    const std::string_view host = proxy.substr(0, proxy.find_first_of(":/"));
    return !host.empty() &&
           std::all_of(host.begin(), host.end(), [](unsigned char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

std::string proxyScheme(std::string_view proxy) {
    const UrlHandle url = parsedProxy(std::string(proxy));
    if (!url) return {};
    std::string scheme = urlPart(url.get(), CURLUPART_SCHEME);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    return scheme;
}

std::optional<std::string> fromSellerForm(std::string_view text) {
    const auto portAt = text.find(':');
    if (portAt == std::string_view::npos || portAt == 0) return std::nullopt;
    const auto userAt = text.find(':', portAt + 1);
    const auto passwordAt = userAt == std::string_view::npos ? userAt : text.find(':', userAt + 1);
    if (passwordAt == std::string_view::npos) return std::nullopt;
    const std::string_view host = text.substr(0, portAt), port = text.substr(portAt + 1, userAt - portAt - 1);
    const std::string_view user = text.substr(userAt + 1, passwordAt - userAt - 1),
                           password = text.substr(passwordAt + 1);
    const bool isPort = !port.empty() && port.size() <= 5 &&
                        std::all_of(port.begin(), port.end(), [](unsigned char c) { return c >= '0' && c <= '9'; }) &&
                        std::stoi(std::string(port)) >= 1 && std::stoi(std::string(port)) <= 65535;
    if (!isPort || user.empty() || host.find_first_of("/@[]") != std::string_view::npos) return std::nullopt;
    return escaped(user) + ":" + escaped(password) + "@" + std::string(host) + ":" + std::string(port);
}

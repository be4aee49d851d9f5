#include "engine/rules/Urls.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "engine/rules/CurlOptions.h"

namespace {

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

ProxyText readProxyText(const std::string& proxy) {
    ProxyText text;
    std::string prefix = proxy.substr(0, 5);
    std::transform(prefix.begin(), prefix.end(), prefix.begin(), [](unsigned char c) { return std::tolower(c); });
    const UrlHandle url = parsedProxy(proxy);
    text.readable = url != nullptr;
    if (url) {
        text.scheme = urlPart(url.get(), CURLUPART_SCHEME);
        std::transform(text.scheme.begin(), text.scheme.end(), text.scheme.begin(),
                       [](unsigned char c) { return std::tolower(c); });
    }
    // libcurl takes a SOCKS proxy URL with a path ("socks5h://localhost/run/x.sock") as a Unix socket. No SOCKS proxy
    // on the network has a path, so any SOCKS text with one, or one that is no URL, is refused.
    if (prefix == "socks") {
        const std::string path = url ? urlPart(url.get(), CURLUPART_PATH, CURLU_URLDECODE) : "";
        text.unixSocket = !url || (!path.empty() && path != "/");
    }
    return text;
}

bool reachesUnixSocket(const std::string& proxy) {
    return readProxyText(proxy).unixSocket;
}

bool namesAddress(std::string_view proxy) {
    if (const auto scheme = proxy.find("://"); scheme != std::string_view::npos) proxy.remove_prefix(scheme + 3);
    if (const auto at = proxy.find('@'); at != std::string_view::npos) proxy.remove_prefix(at + 1);
    if (proxy.starts_with('[')) return true;  // an IPv6 literal
    const std::string_view host = proxy.substr(0, proxy.find_first_of(":/"));
    return !host.empty() &&
           std::all_of(host.begin(), host.end(), [](unsigned char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

std::string proxyScheme(const std::string& proxy) {
    return readProxyText(proxy).scheme;
}

std::optional<std::string> fromSellerForm(std::string_view text) {
    // Whitespace or a control byte anywhere is no seller's line: the text goes to libcurl as written, which refuses
    // it, rather than a stray space becoming part of a password.
    if (std::any_of(text.begin(), text.end(), [](unsigned char c) { return c <= ' ' || c == 0x7f; }))
        return std::nullopt;
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

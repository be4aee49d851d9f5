#include "engine/rules/CurlOptions.h"

#include "engine/rules/ProbeRules.h"

void setProxyOptions(CURL* h, const CheckSettings& settings, const std::string& proxy, const std::string& url) {
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // The proxy text goes to libcurl exactly as written; "" means no proxy, not even one from the environment,
    // and an empty no-proxy list keeps no_proxy from the environment out.
    curl_easy_setopt(h, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(h, CURLOPT_PROXYPORT, kDefaultProxyPort);
    curl_easy_setopt(h, CURLOPT_NOPROXY, "");
    curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.limits.connect.count()));
    if (!settings.caFile.empty()) curl_easy_setopt(h, CURLOPT_PROXY_CAINFO, settings.caFile.c_str());
}

void setCheckOptions(CURL* h, const CheckSettings& settings, const std::string& agent, const std::string& proxy,
                     bool direct, const std::string& url) {
    setProxyOptions(h, settings, direct ? "" : proxy, url);  // a local host under the bypass: none
    curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(settings.limits.total.count()));
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(kChunkSize));
    if (!settings.caFile.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, settings.caFile.c_str());
}

bool endsFinalHeaders(CURL* h, std::string_view line, long& status) {
    if (line != "\r\n" && line != "\n") return false;
    status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 100 && status < 200) return false;
    // If libcurl does not follow after all, the transfer simply ends.
    curl_header* location = nullptr;
    return !(status / 100 == 3 && curl_easy_header(h, "Location", 0, CURLH_HEADER, -1, &location) == CURLHE_OK);
}

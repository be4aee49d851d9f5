#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>
#include <string_view>

#include "engine/rules/CheckSettings.h"

// libcurl's handles and the texts it hands out, owned.
struct EasyDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct MultiDeleter {
    void operator()(CURLM* h) const { curl_multi_cleanup(h); }
};
struct HeaderListDeleter {
    void operator()(curl_slist* h) const { curl_slist_free_all(h); }
};
struct UrlDeleter {
    void operator()(CURLU* h) const { curl_url_cleanup(h); }
};
struct TextDeleter {
    void operator()(char* p) const { curl_free(p); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;
using CurlText = std::unique_ptr<char, TextDeleter>;
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;

// Redirects a check follows, and the port of a proxy text that names none.
inline constexpr long kMaxRedirects = 10;
inline constexpr long kDefaultProxyPort = 80;

// What every transfer through a proxy is given, a check's or a gate's tunnel: the page, the proxy text as written,
// the default proxy port, no proxy from the environment, the connect limit and the proxy's certificates.
void setProxyOptions(CURL* h, const CheckSettings& settings, const std::string& proxy, const std::string& url);

// The options of every check's transfer, whichever driver runs it: the page, the agent, the proxy text as written
// (no proxy at all when `direct`: a local host under the "<local>" bypass), redirects, protocols, certificates and
// the connect and total limits. The idle limit is the driver's to keep, by limitPassed.
void setCheckOptions(CURL* h, const CheckSettings& settings, const std::string& agent, const std::string& proxy,
                     bool direct, const std::string& url);

// True when a header line ends the headers of the response the body will come from: not an interim 1xx, nor a
// redirect that libcurl is about to follow. `status` is then that response's.
bool endsFinalHeaders(CURL* h, std::string_view line, long& status);

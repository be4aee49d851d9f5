#pragma once

#include <optional>
#include <string>
#include <string_view>

// What the checks read of URLs and proxy texts, for callers that do not see libcurl.

// True when `url` is a page the checks can ask for: an http:// or https:// URL with a host.
bool isWebUrl(const std::string& url);
// Why `url` is no such page: "malformed", or "only http:// and https:// pages"; empty when it is one.
std::string webUrlProblem(const std::string& url);

// True when `url`'s host has no period, so the "<local>" bypass sends it past the proxy.
bool isLocalHost(const std::string& url);

// What libcurl will make of a proxy text, read once.
struct ProxyText {
    bool readable = false;    // read as a proxy URL at all: a space, a second port or a stray character make it refuse
    std::string scheme;       // the one it names, else http; empty when unreadable
    bool unixSocket = false;  // a SOCKS text libcurl would take for a local socket's path; dead unasked
};
ProxyText readProxyText(const std::string& proxy);

// True when libcurl would take the proxy text for a Unix socket path; such a proxy is dead unasked.
bool reachesUnixSocket(const std::string& proxy);

// True when a proxy text names its host by address (IPv4 or IPv6), so that no name is looked up for it.
bool namesAddress(std::string_view proxy);

// The scheme libcurl uses for a proxy text: the one it names, else http; empty when libcurl cannot read the text.
std::string proxyScheme(const std::string& proxy);

// The form proxy sellers export, host:port:user:password, as libcurl takes it: user:password@host:port (each part
// percent-encoded). Nothing for any other text, or when the second field is no port.
std::optional<std::string> fromSellerForm(std::string_view text);

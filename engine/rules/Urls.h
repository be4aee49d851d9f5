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

// True when libcurl reads the proxy text as a proxy URL at all (a space, a second port or a stray character make it
// refuse the text before any connection).
bool isProxyUrl(const std::string& proxy);

// True when libcurl would take the proxy text for a Unix socket path; such a proxy is dead unasked.
bool reachesUnixSocket(const std::string& proxy);

// True when a proxy text names its host by address (IPv4 or IPv6), so that no name is looked up for it.
bool namesAddress(std::string_view proxy);

// The scheme libcurl uses for a proxy text: the one it names, else http; empty when libcurl cannot read the text.
std::string proxyScheme(std::string_view proxy);

// The form proxy sellers export, host:port:user:password, as libcurl takes it: user:password@host:port (each part
// percent-encoded). Nothing for any other text, or when the second field is no port.
std::optional<std::string> fromSellerForm(std::string_view text);

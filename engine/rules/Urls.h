#pragma once

#include <string>

// What the checks read of URLs and proxy texts, for callers that do not see libcurl.

// True when libcurl would take the proxy text for a Unix socket path; such a proxy is dead unasked.
bool reachesUnixSocket(const std::string& proxy);

// True when `url`'s host has no period, so the "<local>" bypass sends it past the proxy.
bool isLocalHost(const std::string& url);

// True when `url` is a page the checks can ask for: an http:// or https:// URL with a host.
bool isWebUrl(const std::string& url);

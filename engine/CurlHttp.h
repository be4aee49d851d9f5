#pragma once

#include <chrono>
#include <string>

#include "engine/Probe.h"

struct CurlTimeouts {
    std::chrono::milliseconds connect{15000};
    std::chrono::milliseconds idle{30000};   // no byte for this long fails the transfer
    std::chrono::milliseconds total{60000};  // no check lives longer
};

struct CurlSettings {
    CurlTimeouts timeouts{};
    std::string caFile;  // certificates to trust instead of the system store (tests); empty: the system store
};

// The program's HTTP layer. Each request drives its own multi handle on the calling thread,
// so a read returns as soon as some bytes have arrived. A ProcessSetup must be alive.
class CurlHttpLayer final : public HttpLayer {
  public:
    explicit CurlHttpLayer(CurlSettings settings = {}) : settings_(std::move(settings)) {}
    explicit CurlHttpLayer(CurlTimeouts timeouts) : settings_{timeouts, {}} {}
    std::unique_ptr<HttpSession> openSession(std::string_view agent, const std::string& proxy, std::string_view bypass,
                                             const StopRequest& stop) const override;

  private:
    CurlSettings settings_;
};

// True when libcurl would take the proxy text for a Unix socket path; such a proxy is dead unasked.
bool reachesUnixSocket(const std::string& proxy);

// True when `url`'s host has no period, so the "<local>" bypass sends it past the proxy.
bool isLocalHost(const std::string& url);

// True when `url` is a page the checks can ask for: an http:// or https:// URL with a host.
bool isWebUrl(const std::string& url);

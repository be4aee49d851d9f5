#pragma once

#include <chrono>

#include "engine/Probe.h"

struct CurlTimeouts {
    std::chrono::milliseconds connect{15000};
    std::chrono::milliseconds idle{30000};   // no byte for this long fails the transfer
    std::chrono::milliseconds total{60000};  // no check lives longer
};

// The program's HTTP layer. Each request drives its own multi handle on the calling thread,
// so a read returns as soon as some bytes have arrived. curl_global_init must have run.
class CurlHttpLayer final : public HttpLayer {
  public:
    explicit CurlHttpLayer(CurlTimeouts timeouts = {}) : timeouts_(timeouts) {}
    std::unique_ptr<HttpSession> openSession(std::string_view agent, const std::string& proxy, std::string_view bypass,
                                             const StopRequest& stop) const override;

  private:
    CurlTimeouts timeouts_;
};

// True when `url`'s host has no period, so the "<local>" bypass sends it past the proxy.
bool isLocalHost(const std::string& url);

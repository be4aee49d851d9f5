#pragma once

#include <string>

#include "engine/rules/CheckSettings.h"
#include "engine/threads/Probe.h"

// The program's HTTP layer. Each request drives its own multi handle on the calling thread,
// so a read returns as soon as some bytes have arrived. A ProcessSetup must be alive.
class CurlHttpLayer final : public HttpLayer {
  public:
    explicit CurlHttpLayer(CheckSettings settings = {}) : settings_(std::move(settings)) {}
    explicit CurlHttpLayer(CheckLimits limits) : settings_{limits, {}} {}
    std::unique_ptr<HttpSession> openSession(std::string_view agent, const std::string& proxy, std::string_view bypass,
                                             const StopRequest& stop) const override;

  private:
    CheckSettings settings_;
};

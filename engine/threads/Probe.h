#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "engine/rules/ProbeRules.h"
#include "engine/rules/Verdict.h"

// The HTTP layer the probe is written against: session, URL, chunked reads; closing is destruction.
class HttpRequest {
  public:
    virtual ~HttpRequest() = default;
    // Returns false on failure; otherwise `got` is 0 at the end of the body or 1..size bytes.
    virtual bool read(char* buffer, std::size_t size, std::size_t& got) = 0;
    // Once the reads are over: why the transfer ended, if a read failed or the body ended, and its timers.
    virtual void describe(Verdict& verdict) const { verdict.reason = Reason::Error; }
};

class HttpSession {
  public:
    virtual ~HttpSession() = default;
    virtual std::unique_ptr<HttpRequest> openUrl(const std::string& url) = 0;                 // null on failure
    virtual void describeFailure(Verdict& verdict) const { verdict.reason = Reason::Error; }  // of the last openUrl
};

class HttpLayer {
  public:
    virtual ~HttpLayer() = default;
    // Null on failure. Called from check threads at once: implementations must be thread-safe.
    virtual std::unique_ptr<HttpSession> openSession(std::string_view agent, const std::string& proxy,
                                                     std::string_view bypass, const StopRequest& stop) const = 0;
};

// One check of one proxy, run on the check's own thread.
Verdict runProbe(const HttpLayer& http, const Target& target, const std::string& proxy, const StopRequest& stop);

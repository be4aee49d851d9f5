#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/loops/CheckDriver.h"
#include "engine/rules/Poster.h"

// What a run learns by fetching its page once without a proxy, before its checks: that the page answers with a
// success, its status and digest, and with a judge, the baseline its echoes are read against (a new nonce, our
// addresses, what the judge's own front adds). The command does it once; the gate before each round.
struct PreflightResult {
    enum class Outcome {
        Ready,    // `target` is the run's, with what was learnt
        Refused,  // the page cannot be checked against: `problem` says why
        Starved,  // no descriptor for the fetch
        Stopped,
    } outcome = Outcome::Stopped;
    Target target;
    // Why it was refused, as facts a front-end words: the page answered an error status, failed for a reason, or
    // is no judge (its echo's fault, or what learning its baseline found).
    enum class Problem { None, Answered, Failed, NotAJudge, Judge } problem = Problem::None;
    long status = 0;
    Reason reason = Reason::Error;
    EchoFault fault = EchoFault::None;
    std::string judge;  // what learning the baseline found, in the judge's rules' words
};

class Preflight {
  public:
    using Done = std::function<void(PreflightResult)>;
    // Starts at once on a driver made by `makeDriver`; `done` comes once, through `post`, unless stopped.
    Preflight(Target target, CheckSettings settings, const DriverFactory& makeDriver, Poster post, Done done);
    ~Preflight();
    Preflight(const Preflight&) = delete;
    Preflight& operator=(const Preflight&) = delete;

  private:
    void onReport(const DriverReport& report);

    Target target_;
    std::string nonce_;
    Done done_;
    std::unique_ptr<CheckDriver> driver_;
    std::shared_ptr<Preflight*> self_ = std::make_shared<Preflight*>(this);
};

#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/rules/CheckSettings.h"
#include "engine/rules/ProbeRules.h"
#include "engine/rules/Verdict.h"

// What a run's checks ask for and look for, and under which limits: fixed for the run (a round, for the gate).
struct CheckPlan {
    Target target;
    CheckSettings settings;
};

// What a driver says of a check it was given.
struct DriverReport {
    std::uint64_t id;
    Verdict verdict;
    bool outOfDescriptors = false;  // no socket could be had: no verdict, the check may be made again
};

// What runs a run's checks: a session on one of the event loops (CommandLoop), or a test's fake. Every check given is
// reported once, through the callback the driver was made with, from any thread; the calls below may come from any
// thread.
class CheckDriver {
  public:
    using Reports = std::function<void(std::vector<DriverReport>&&)>;
    virtual ~CheckDriver() = default;  // gives up its checks in flight without reporting them
    virtual void start(std::uint64_t id, std::string proxy) = 0;  // an empty text fetches the target directly
    virtual void stopAll() = 0;               // every check given so far ends aborted at once, whatever its stage
    virtual std::size_t backlog() const = 0;  // given and not yet taken up
    virtual double busy() const = 0;          // share of the last tenth of a second spent working, 0 to 1
};
using DriverFactory =
    std::function<std::unique_ptr<CheckDriver>(std::shared_ptr<const CheckPlan> plan, CheckDriver::Reports reports)>;

#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/rules/Verdict.h"

// What a driver says of a check it was given.
struct DriverReport {
    std::uint64_t id;
    Verdict verdict;
    bool outOfDescriptors = false;  // no socket could be had: no verdict, the check may be made again
};

// What runs the command's checks: an event loop of its own (CommandLoop), or a test's fake. Every check given is
// reported once, through the callback the driver was made with, from any thread; the calls below may come from any
// thread.
class CheckDriver {
  public:
    using Reports = std::function<void(std::vector<DriverReport>&&)>;
    virtual ~CheckDriver() = default;
    virtual void start(std::uint64_t id, std::string proxy) = 0;  // an empty text fetches the target directly
    virtual void stopAll() = 0;               // every check given so far ends aborted at once, whatever its stage
    virtual std::size_t backlog() const = 0;  // given and not yet taken up
    virtual double busy() const = 0;          // share of the last tenth of a second spent working, 0 to 1
};
using DriverFactory = std::function<std::unique_ptr<CheckDriver>(CheckDriver::Reports)>;

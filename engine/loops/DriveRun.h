#pragma once

#include <chrono>
#include <functional>

class CommandRun;

// Starts due within a few milliseconds go out together: even enough a pace, and far fewer wake-ups.
inline constexpr std::chrono::milliseconds kDispatchSlice{10};

// Where a run is driven from: the time, and a wait that runs what its drivers post meanwhile. The command's event
// queue, or a test's simulated time.
class RunWaiter {
  public:
    using Clock = std::chrono::steady_clock;
    virtual Clock::time_point now() const = 0;
    // Runs posted work until `done()` holds or `until` has passed.
    virtual void runUntil(Clock::time_point until, const std::function<bool()>& done) = 0;

  protected:
    ~RunWaiter() = default;
};

// Drives `run` on the calling thread, the owner of `waiter`, until it has finished or `stopWaiting()` holds: starts
// what is due, then runs what the drivers post until the next start is due or a report came in (which may have
// queued a try before it). `afterDispatch` runs after every dispatch.
void driveRun(CommandRun& run, RunWaiter& waiter, const std::function<bool()>& stopWaiting = {},
              const std::function<void()>& afterDispatch = {});

#include "engine/loops/DriveRun.h"

#include <algorithm>

#include "engine/loops/CommandRun.h"

namespace {

// Starts due within a few milliseconds go out together: even enough a pace, and far fewer wake-ups.
constexpr auto kDispatchSlice = std::chrono::milliseconds(10);

}  // namespace

void driveRun(CommandRun& run, RunWaiter& waiter, const std::function<bool()>& stopWaiting,
              const std::function<void()>& afterDispatch) {
    const auto over = [&] { return run.finished() || (stopWaiting && stopWaiting()); };
    while (!over()) {
        const auto next = run.dispatch(waiter.now());
        if (afterDispatch) afterDispatch();
        if (over()) return;
        waiter.runUntil(std::max(next, waiter.now() + kDispatchSlice), [&] { return run.changed() || over(); });
    }
}

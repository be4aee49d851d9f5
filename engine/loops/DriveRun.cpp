#include "engine/loops/DriveRun.h"

#include <algorithm>

#include "engine/loops/CommandRun.h"

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

#include "engine/loops/DriveRun.h"

#include <algorithm>

#include "engine/loops/CommandRun.h"
#include "engine/loops/PostQueue.h"

namespace {

// Starts due within a few milliseconds go out together: even enough a pace, and far fewer wake-ups.
constexpr auto kDispatchSlice = std::chrono::milliseconds(10);

}  // namespace

void driveRun(CommandRun& run, PostQueue& queue, const std::function<bool()>& stopWaiting,
              const std::function<void()>& afterDispatch) {
    const auto over = [&] { return run.finished() || (stopWaiting && stopWaiting()); };
    while (!over()) {
        const auto next = run.dispatch(PostQueue::Clock::now());
        if (afterDispatch) afterDispatch();
        if (over()) return;
        queue.runUntil(std::max(next, PostQueue::Clock::now() + kDispatchSlice),
                       [&] { return run.changed() || over(); });
    }
}

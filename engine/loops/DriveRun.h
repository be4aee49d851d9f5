#pragma once

#include <functional>

class CommandRun;
class PostQueue;

// Drives `run` on the calling thread, the owner of `queue`, until it has finished or `stopWaiting()` holds: starts
// what is due, then runs what the drivers post until the next start is due or a report came in (which may have
// queued a try before it). `afterDispatch` runs after every dispatch.
void driveRun(CommandRun& run, PostQueue& queue, const std::function<bool()>& stopWaiting = {},
              const std::function<void()>& afterDispatch = {});

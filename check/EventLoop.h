#pragma once

#include <functional>

#include "engine/loops/PostQueue.h"
#include "sys/UniqueFd.h"

// The command's main thread: it runs the check run and everything the check loops post to it, and takes SIGINT and
// SIGTERM as events rather than interruptions, so output is never cut mid-line.
class EventLoop : public PostQueue {
  public:
    EventLoop();  // blocks SIGINT and SIGTERM: make it before any thread starts, so they all inherit that

    std::function<void(int signal)> onSignal;

  private:
    UniqueFd signals_;
};

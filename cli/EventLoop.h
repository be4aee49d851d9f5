#pragma once

#include <functional>
#include <initializer_list>

#include "engine/loops/PostQueue.h"
#include "sys/UniqueFd.h"

// The command's main thread: it runs the check run and everything the check loops post to it, and takes SIGINT and
// SIGTERM as events rather than interruptions, so output is never cut mid-line.
class EventLoop : public PostQueue {
  public:
    // Blocks the signals (SIGINT and SIGTERM, and any others given): make it before any thread starts, so they all
    // inherit that.
    explicit EventLoop(std::initializer_list<int> also = {});

    std::function<void(int signal)> onSignal;

  private:
    UniqueFd signals_;
};

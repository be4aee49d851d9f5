#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "engine/rules/Poster.h"
#include "lists/UniqueFd.h"

// The command's main thread: it runs the check run and everything the check threads post to it, and takes
// SIGINT and SIGTERM as events rather than interruptions, so output is never cut mid-line.
class EventLoop {
  public:
    using Clock = std::chrono::steady_clock;

    EventLoop();  // blocks SIGINT and SIGTERM: make it before any thread starts, so they all inherit that
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    Poster poster() const;  // for any thread

    // Runs posted work, signals and ticks until `done()` holds or `until` has passed.
    void runUntil(Clock::time_point until, const std::function<bool()>& done);

    std::function<void(int signal)> onSignal;
    std::function<void()> onTick;  // every `tick` while running, when set
    std::chrono::milliseconds tick{100};

  private:
    bool runPosted(const std::function<bool()>& done);  // true once `done` holds

    struct Queue;
    std::shared_ptr<Queue> queue_;
    UniqueFd signals_;
    Clock::time_point nextTick_;
};

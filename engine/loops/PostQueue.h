#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "engine/loops/DriveRun.h"
#include "engine/rules/Poster.h"

// The thread that owns a run: closures posted from any thread run here one at a time, beside descriptors it
// watches and a tick.
class PostQueue : public RunWaiter {
  public:
    using Clock = std::chrono::steady_clock;

    PostQueue();  // throws std::system_error when no event descriptor can be had
    virtual ~PostQueue();
    PostQueue(const PostQueue&) = delete;
    PostQueue& operator=(const PostQueue&) = delete;

    Poster poster() const;                               // for any thread
    void watch(int fd, std::function<void()> readable);  // polled beside the queue while it runs

    Clock::time_point now() const override { return Clock::now(); }
    // Runs posted work, watched descriptors and ticks until `done()` holds or `until` has passed.
    void runUntil(Clock::time_point until, const std::function<bool()>& done) override;

    std::function<void()> onTick;  // every `tick` while running, when set
    std::chrono::milliseconds tick{100};

  private:
    bool runPosted(const std::function<bool()>& done);  // true once `done` holds

    struct Queue;
    std::shared_ptr<Queue> queue_;
    struct Watch {
        int fd;
        std::function<void()> readable;
    };
    std::vector<Watch> watches_;
    Clock::time_point nextTick_;
};

#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "engine/rules/Poster.h"
#include "engine/threads/Probe.h"

// Starts a thread running the given body; throws std::system_error when no thread can be created.
using Spawner = std::function<std::thread(std::function<void()>)>;

// One check of one proxy in its own thread. Created "suspended" (no thread yet) so the run can record
// it in its slot first; Resume starts it. The thread posts its result to the window's thread and ends.
// The stop request lives in shared state, so a slot may keep it after the check is gone.
class kusi_check_thread {
  public:
    using Completion = std::function<void(CheckResult)>;

    kusi_check_thread(int slot, std::string proxy, std::shared_ptr<const HttpLayer> http, Target target, Poster post,
                      Completion completion);
    ~kusi_check_thread();  // abandons a check still running and waits for its thread
    kusi_check_thread(const kusi_check_thread&) = delete;
    kusi_check_thread& operator=(const kusi_check_thread&) = delete;

    void Resume(const Spawner& spawn);
    int slot() const { return slot_; }
    const std::shared_ptr<StopRequest>& stopRequest() const { return stop_; }

  private:
    void Execute();

    int slot_;
    std::string proxy_;
    std::shared_ptr<const HttpLayer> http_;
    Target target_;
    Poster post_;
    Completion completion_;
    std::shared_ptr<StopRequest> stop_ = std::make_shared<StopRequest>();
    std::thread thread_;
};

Spawner defaultSpawner();

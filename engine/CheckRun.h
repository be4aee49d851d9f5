#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/Probe.h"
#include "engine/Unit_kusith.h"

class RunView;

struct RunConfig {
    static constexpr int kSlotCount = 10;

    std::shared_ptr<const HttpLayer> http;
    Poster post;  // to the thread that owns the run
    Target target{};
    std::chrono::milliseconds wavePause{1000};
    // Waits out a wave pause on the run's thread without handling input. Default: sleep.
    std::function<void(std::chrono::milliseconds)> pause;
    Spawner spawn = defaultSpawner();
};

// Start, Abort, Stop on close and Completion over the window's run state. Runs on the window's thread
// only and owns no thread of its own; it keeps the check threads' handles until their completion is in.
class CheckRun {
  public:
    struct CheckSlot {
        std::string proxy;                    // the text last handed to the slot
        std::shared_ptr<StopRequest> latest;  // stop request of the slot's newest check
    };

    CheckRun(RunView& view, RunConfig config);
    ~CheckRun();  // abandons the checks still in flight: none of them completes afterwards
    CheckRun(const CheckRun&) = delete;
    CheckRun& operator=(const CheckRun&) = delete;

    void start();
    void abort();
    void stopOnClose();

    std::size_t checksInFlight() const { return checks_.size(); }
    bool dispatching() const { return dispatching_; }
    const std::array<CheckSlot, RunConfig::kSlotCount>& checkSlots() const { return slots_; }

  private:
    struct Completion {
        std::uint64_t id;
        ProbeOutcome outcome;
        std::string proxy;
    };

    bool launch(int slot, const std::string& proxy);
    bool switchOff();  // flag "off" and the abort text, if a run is on
    void onCompletion(Completion c);
    void record(const Completion& c);

    RunView& view_;
    RunConfig config_;
    std::array<CheckSlot, RunConfig::kSlotCount> slots_;
    std::map<std::uint64_t, std::unique_ptr<kusi_check_thread>> checks_;
    std::uint64_t nextId_ = 0;
    bool dispatching_ = false;
    std::vector<Completion> held_;  // completions that came in while Start was dispatching
    std::shared_ptr<CheckRun*> self_ = std::make_shared<CheckRun*>(this);  // completions look through a weak copy
};

#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/threads/Probe.h"
#include "engine/threads/RunView.h"
#include "engine/threads/Unit_kusith.h"

struct RunConfig {
    static constexpr int kSlotCount = kWaveSize;

    std::shared_ptr<const HttpLayer> http;
    Poster post;  // to the window's thread
    Target target{};
    std::chrono::milliseconds wavePause = kWavePause;
    // Waits out a wave pause on the run's thread; may return early once `interrupted()` holds.
    // Default: sleep.
    std::function<void(std::chrono::milliseconds, const std::function<bool()>& interrupted)> pause;
    Spawner spawn = defaultSpawner();
    // Checks in flight at most; a line past it waits, as one whose thread cannot be made. 0: what the descriptor
    // limit allows, a check holding its socket, its wake-up pair and a name look-up's pair.
    std::size_t maxChecksInFlight = 0;
};

// The window's run: Start, Abort, Stop on close and Completion, with the run state kept here and shown by the view.
// Runs on the window's thread only and owns no thread of its own; it keeps the check threads' handles until their
// completion is in. Completions that come in while Start dispatches wait for it, so the end test always sees the
// final total.
class WindowRun {
  public:
    struct CheckSlot {
        std::string proxy;                    // the text last handed to the slot
        std::shared_ptr<StopRequest> latest;  // stop request of the slot's newest check
    };
    using Flag = RunFlag;

    WindowRun(RunView& view, RunConfig config);
    ~WindowRun();  // abandons the checks still in flight: none of them completes afterwards
    WindowRun(const WindowRun&) = delete;
    WindowRun& operator=(const WindowRun&) = delete;

    void start();
    void abort();
    void stopOnClose();
    // From inside a pause: no further wave starts, and the run's total is what has started.
    void interruptDispatch();

    std::size_t checksInFlight() const { return checks_.size(); }
    bool dispatching() const { return dispatching_; }
    const std::array<CheckSlot, RunConfig::kSlotCount>& checkSlots() const { return slots_; }

  private:
    struct Completion {
        std::uint64_t id;
        CheckResult result;
    };

    bool launch(int slot);  // the slot's proxy text in a new check; false when no thread could be made
    void pause();
    void setFlag(Flag flag);
    bool switchOff();  // flag "off" and the abort text, if a run is on
    void onCompletion(Completion c);
    void record(const Completion& c);
    void finishIfComplete();

    RunView& view_;
    RunConfig config_;
    std::array<CheckSlot, RunConfig::kSlotCount> slots_;
    std::map<std::uint64_t, std::unique_ptr<kusi_check_thread>> checks_;
    std::uint64_t nextId_ = 0;
    Flag flag_ = Flag::NotStarted;
    long long done_ = 0;
    std::optional<long long> total_;
    bool dispatching_ = false;
    bool interrupted_ = false;
    std::vector<Completion> held_;  // completions that came in while Start was dispatching
    std::shared_ptr<WindowRun*> self_ = std::make_shared<WindowRun*>(this);  // completions look through a weak copy
};

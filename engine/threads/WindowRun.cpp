#include "engine/threads/WindowRun.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include "engine/rules/ProcessSetup.h"

WindowRun::WindowRun(RunView& view, RunConfig config) : view_(view), config_(std::move(config)) {
    constexpr std::size_t kDescriptorsPerCheck = 5;
    if (config_.maxChecksInFlight == 0)
        config_.maxChecksInFlight = std::max<std::size_t>(descriptorsForChecks() / kDescriptorsPerCheck, 1);
    if (!config_.pause)
        config_.pause = [](std::chrono::milliseconds ms, const std::function<bool()>&) {
            std::this_thread::sleep_for(ms);
        };
}

WindowRun::~WindowRun() {
    for (auto& [id, check] : checks_) check->stopRequest()->abandon();
    checks_.clear();  // each handle waits for its thread, which ends within a poll slice once abandoned
}

void WindowRun::setFlag(Flag flag) {
    flag_ = flag;
    view_.flagChanged(flag);
}

void WindowRun::start() {
    if (dispatching_) return;
    total_.reset();
    done_ = 0;
    view_.totalChanged(0);
    view_.doneChanged(0);
    setFlag(Flag::On);
    view_.statusChanged(RunStatus::Running);

    dispatching_ = true;
    interrupted_ = false;
    long long started = 0;
    constexpr auto waveSize = static_cast<std::size_t>(RunConfig::kSlotCount);
    for (std::size_t wave = 0; !interrupted_ && wave * waveSize < view_.proxyCount(); ++wave) {
        std::vector<int> failed;
        for (int k = 1; k <= RunConfig::kSlotCount; ++k) {
            const std::size_t i = wave * waveSize + static_cast<std::size_t>(k) - 1;
            if (i >= view_.proxyCount()) continue;
            CheckSlot& slot = slots_[static_cast<std::size_t>(k - 1)];
            slot.proxy = view_.proxyLine(i);
            if (slot.proxy.empty()) continue;
            if (launch(k))
                ++started;
            else
                failed.push_back(k);
        }
        pause();
        // A line whose thread could not be made is tried again after each pause until it starts: threads
        // end within their time-outs, so room comes back, and the pace stays within one wave per pause.
        while (!failed.empty() && !interrupted_) {
            std::erase_if(failed, [&](int k) { return launch(k) && ++started; });
            pause();
        }
    }
    total_ = started;
    view_.totalChanged(started);
    dispatching_ = false;

    std::vector<Completion> held;
    held.swap(held_);
    for (Completion& c : held) record(c);
}

void WindowRun::pause() {
    config_.pause(config_.wavePause, [this] { return interrupted_; });
}

void WindowRun::interruptDispatch() {
    if (dispatching_) interrupted_ = true;
}

bool WindowRun::launch(int slot) {
    if (checks_.size() >= config_.maxChecksInFlight) return false;  // one without a descriptor would read dead
    const std::uint64_t id = nextId_++;
    std::weak_ptr<WindowRun*> weak = self_;
    auto check =
        std::make_unique<kusi_check_thread>(slot, slots_[static_cast<std::size_t>(slot - 1)].proxy, config_.http,
                                            config_.target, config_.post, [weak, id](CheckResult result) {
                                                if (auto run = weak.lock())
                                                    (*run)->onCompletion({id, std::move(result)});
                                            });
    CheckSlot& s = slots_[static_cast<std::size_t>(check->slot() - 1)];
    auto previous = s.latest;
    s.latest = check->stopRequest();
    try {
        check->Resume(config_.spawn);
    } catch (const std::system_error&) {
        s.latest = std::move(previous);  // never ran, so it is not counted
        return false;
    }
    checks_.emplace(id, std::move(check));
    return true;
}

void WindowRun::onCompletion(Completion c) {
    checks_.erase(c.id);  // its thread has posted this as its last act
    if (dispatching_) {
        held_.push_back(std::move(c));
        return;
    }
    record(c);
}

void WindowRun::record(const Completion& c) {
    if (flag_ == Flag::On) view_.resultAdded(c.result);
    view_.doneChanged(++done_);
    finishIfComplete();
}

void WindowRun::finishIfComplete() {
    if (total_ != done_) return;
    setFlag(Flag::Off);
    view_.statusChanged(RunStatus::Finished);
}

bool WindowRun::switchOff() {
    if (flag_ != Flag::On) return false;
    setFlag(Flag::Off);
    view_.statusChanged(RunStatus::Aborted);
    return true;
}

void WindowRun::abort() {
    if (!switchOff()) return;
    for (CheckSlot& slot : slots_)
        if (slot.latest) slot.latest->requestStop();
}

void WindowRun::stopOnClose() {
    switchOff();
}

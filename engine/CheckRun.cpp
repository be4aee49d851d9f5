#include "engine/CheckRun.h"

#include <charconv>
#include <optional>
#include <system_error>
#include <thread>

#include "engine/RunView.h"
#include "engine/Texts.h"

namespace {

std::optional<long long> decimal(const std::string& text) {
    long long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

CheckRun::CheckRun(RunView& view, RunConfig config) : view_(view), config_(std::move(config)) {
    if (!config_.pause) config_.pause = [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); };
}

CheckRun::~CheckRun() {
    for (auto& [id, check] : checks_) check->stopRequest()->abandon();
    checks_.clear();  // each handle waits for its thread, which ends within a poll slice once abandoned
}

void CheckRun::start() {
    if (dispatching_) return;
    view_.setTotal("0");
    view_.setDoneCount("0");
    view_.setRunFlag(std::string(texts::kFlagOn));
    view_.setStatus(std::string(texts::kStatusRunning));

    dispatching_ = true;
    long long started = 0;
    for (std::size_t wave = 0; wave * RunConfig::kSlotCount < view_.proxyCount(); ++wave) {
        for (int k = 1; k <= RunConfig::kSlotCount; ++k) {
            const std::size_t i = wave * RunConfig::kSlotCount + static_cast<std::size_t>(k) - 1;
            if (i >= view_.proxyCount()) continue;
            CheckSlot& slot = slots_[static_cast<std::size_t>(k - 1)];
            slot.proxy = view_.proxyLine(i);
            if (!slot.proxy.empty() && launch(k, slot.proxy)) ++started;
        }
        config_.pause(config_.wavePause);
    }
    view_.setTotal(std::to_string(started));
    dispatching_ = false;

    std::vector<Completion> held;
    held.swap(held_);
    for (Completion& c : held) record(c);
}

bool CheckRun::launch(int slot, const std::string& proxy) {
    const std::uint64_t id = nextId_++;
    std::weak_ptr<CheckRun*> weak = self_;
    auto check = std::make_unique<kusi_check_thread>(slot, proxy, config_.http, config_.target, config_.post,
                                                     [weak, id](ProbeOutcome outcome, const std::string& text) {
                                                         if (auto run = weak.lock())
                                                             (*run)->onCompletion({id, outcome, text});
                                                     });
    CheckSlot& s = slots_[static_cast<std::size_t>(slot - 1)];
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

void CheckRun::onCompletion(Completion c) {
    checks_.erase(c.id);  // its thread has posted this as its last act
    if (dispatching_) {
        held_.push_back(std::move(c));
        return;
    }
    record(c);
}

void CheckRun::record(const Completion& c) {
    if (view_.runFlag() == texts::kFlagOn) view_.appendResult(resultLine(c.outcome, c.proxy));
    const long long done = decimal(view_.doneCount()).value_or(0) + 1;
    view_.setDoneCount(std::to_string(done));
    if (decimal(view_.total()) == done) {
        view_.setRunFlag(std::string(texts::kFlagOff));
        view_.setStatus(std::string(texts::kStatusFinished));
    }
}

bool CheckRun::switchOff() {
    if (view_.runFlag() != texts::kFlagOn) return false;
    view_.setRunFlag(std::string(texts::kFlagOff));
    view_.setStatus(std::string(texts::kStatusAborted));
    return true;
}

void CheckRun::abort() {
    if (!switchOff()) return;
    for (CheckSlot& slot : slots_)
        if (slot.latest) slot.latest->requestStop();
}

void CheckRun::stopOnClose() {
    switchOff();
}

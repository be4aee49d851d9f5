#include "engine/loops/CommandRun.h"

#include <algorithm>

#include "engine/loops/CommandLoop.h"
#include "engine/rules/Urls.h"
#include "lists/ProxyLines.h"

namespace {

// Starts that fell behind the clock (a stall of the owner's thread, or a hold) are not made up in a burst.
constexpr auto kCatchUp = std::chrono::milliseconds(20);
constexpr auto kHoldLookAgain = std::chrono::milliseconds(2);
// A driver that spends nearly all its time working, or has not yet taken up what it was given, is not keeping up.
constexpr double kBusyLimit = 0.9;
constexpr std::size_t kBacklogLimit = 64;
constexpr double kSpareBelow = 0.5;
// What detection tries after the text as it stands (libcurl reads a text without a scheme as http).
constexpr std::string_view kDetected[] = {"socks5://", "socks4://"};

bool hasScheme(std::string_view proxy) {
    return proxy.find("://") != std::string_view::npos;
}

}  // namespace

CommandRun::CommandRun(CommandRunConfig config, ProxyLines& proxies, Poster post, Result result)
    : config_(std::move(config)),
      proxies_(proxies),
      result_(std::move(result)),
      descriptorLimit_(config_.descriptors),
      period_(std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / std::max(config_.rate, 1)) {
    if (!config_.clock) config_.clock = [] { return Clock::now(); };
    if (!config_.makeDriver)
        config_.makeDriver = [this](CheckDriver::Reports reports) {
            return std::make_unique<CommandLoop>(config_.target, config_.curl, std::move(reports));
        };
    std::weak_ptr<CommandRun*> weak = self_;
    for (int i = 0; i < std::max(config_.loops, 1); ++i)
        drivers_.push_back(config_.makeDriver([weak, post](std::vector<DriverReport>&& reports) {
            post([weak, reports = std::move(reports)] {
                if (auto run = weak.lock())
                    for (const DriverReport& r : reports) (*run)->onReport(r);
            });
        }));
}

CommandRun::~CommandRun() {
    drivers_.clear();  // before the rest: their threads report into it
}

std::size_t CommandRun::descriptorsFor(std::string_view proxy) {
    return namesAddress(proxy) ? 1 : 3;
}

CheckDriver& CommandRun::leastLoaded() {
    // The first driver with time to spare: work kept together costs fewer wake-ups than work spread thin.
    for (auto& driver : drivers_)
        if (driver->busy() < kSpareBelow) return *driver;
    return **std::min_element(drivers_.begin(), drivers_.end(),
                              [](const auto& a, const auto& b) { return a->busy() < b->busy(); });
}

CommandRun::Clock::time_point CommandRun::dispatch(Clock::time_point now) {
    held_ = Hold::None;
    changed_ = false;
    if (stopped_) return Clock::time_point::max();
    if (next_ == Clock::time_point{}) next_ = now;
    next_ = std::max(next_, now - kCatchUp);
    CheckDriver* driver = nullptr;  // one driver takes what is due now: one wake-up for the lot
    while (next_ <= now) {
        const Source source = nextSource(now);
        if (source == Source::None) break;
        const std::string_view proxy = source == Source::Again   ? std::string_view(again_.front().tried)
                                       : source == Source::Retry ? std::string_view(retries_.front().attempt.tried)
                                                                 : *proxies_.peek();
        const std::size_t descriptors = descriptorsFor(proxy);
        if (descriptorsInUse_ + descriptors > descriptorLimit_ && !pending_.empty())
            return hold(Hold::Descriptors, now);
        if (!driver) driver = &leastLoaded();
        if (driver->busy() > kBusyLimit || driver->backlog() > kBacklogLimit) return hold(Hold::Machine, now);
        Attempt attempt;
        if (source == Source::Again) {
            attempt = std::move(again_.front());
            again_.pop_front();
        } else if (source == Source::Retry) {
            attempt = std::move(retries_.front().attempt);
            retries_.pop_front();
        } else {
            attempt.listed = std::string(*proxies_.next());
            attempt.tried = fromSellerForm(attempt.listed).value_or(attempt.listed);
            attempt.retriesLeft = config_.retries;
        }
        const std::uint64_t id = nextId_++;
        std::string tried = attempt.tried;
        pending_.emplace(id, Pending{std::move(attempt), descriptors, pending_.empty()});
        descriptorsInUse_ += descriptors;
        driver->start(id, std::move(tried));
        next_ += period_;
    }
    return wakeAt(now);
}

CommandRun::Clock::time_point CommandRun::hold(Hold why, Clock::time_point now) {
    held_ = why;
    (why == Hold::Descriptors ? descriptorsHeld_ : machineHeld_) = true;
    return now + kHoldLookAgain;  // a report comes first anyway when descriptors hold
}

CommandRun::Clock::time_point CommandRun::wakeAt(Clock::time_point now) const {
    if (nextSource(now) != Source::None) return next_;  // at the pace
    if (!retries_.empty()) return std::max(next_, retries_.front().due);
    return Clock::time_point::max();  // nothing to start before a report
}

CommandRun::Source CommandRun::nextSource(Clock::time_point now) const {
    if (!again_.empty()) return Source::Again;
    if (!retries_.empty() && retries_.front().due <= now) return Source::Retry;
    if (proxies_.taken() < proxies_.count()) return Source::List;
    return Source::None;
}

void CommandRun::onReport(const DriverReport& r) {
    const auto it = pending_.find(r.id);
    if (it == pending_.end()) return;
    Pending p = std::move(it->second);
    pending_.erase(it);
    descriptorsInUse_ -= p.descriptors;
    changed_ = true;
    Attempt& a = p.attempt;
    if (r.outOfDescriptors) {
        if (stopped_) return reportStopped(a);
        if (p.alone) {  // nothing else held a descriptor, so none will come back: no check can ever run
            starved_ = true;
            reportStopped(a);
            return stop();
        }
        // No verdict: the limit is lower than it looked. Hold the checks in flight to what they hold now.
        descriptorLimit_ = std::max<std::size_t>(descriptorsInUse_, 1);
        descriptorsHeld_ = true;
        again_.push_front(std::move(a));
        return;
    }
    const Next n = next(a, r.verdict);
    if (n == Next::Final) return report(a, r.verdict);
    if (stopped_) return reportStopped(a);  // it was to wait for another try
    if (n == Next::Retry) {
        --a.retriesLeft;
        const Clock::time_point due = config_.clock() + kWavePause;
        const auto at = std::upper_bound(retries_.begin(), retries_.end(), due,
                                         [](Clock::time_point t, const Retry& q) { return t < q.due; });
        retries_.insert(at, Retry{due, std::move(a)});
    } else {
        a.tried = std::string(kDetected[a.step++]) + fromSellerForm(a.listed).value_or(a.listed);
        a.retriesLeft = config_.retries;  // each protocol has its own tries
        again_.push_back(std::move(a));   // the next protocol, at once
    }
}

CommandRun::Next CommandRun::next(const Attempt& a, const Verdict& v) const {
    if (v.outcome != ProbeOutcome::Dead) return Next::Final;
    // A passing failure is tried again in the same protocol first; detection moves on once it has its answer.
    if (a.retriesLeft > 0 && isTransient(v.reason)) return Next::Retry;
    if (config_.detect && a.step < std::size(kDetected) && !hasScheme(a.listed) && suggestsOtherProtocol(v.reason))
        return Next::OtherProtocol;
    return Next::Final;
}

void CommandRun::report(const Attempt& a, const Verdict& v) {
    // A working proxy found by detection is shown in the form that worked.
    result_({v.outcome == ProbeOutcome::Working && a.step > 0 ? a.tried : a.listed, v});
}

void CommandRun::reportStopped(const Attempt& a) {
    Verdict v{ProbeOutcome::Aborted, Reason::Stopped};
    v.scheme = proxyScheme(a.tried);
    report(a, v);
}

void CommandRun::stop() {
    if (stopped_) return;
    stopped_ = true;
    changed_ = true;
    for (const Attempt& a : again_) reportStopped(a);
    for (const Retry& r : retries_) reportStopped(r.attempt);
    again_.clear();
    retries_.clear();
    for (auto& driver : drivers_) driver->stopAll();
}

bool CommandRun::finished() const {
    return pending_.empty() &&
           (stopped_ || (again_.empty() && retries_.empty() && proxies_.taken() == proxies_.count()));
}

#include "engine/loops/CommandRun.h"

#include <algorithm>

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
// The page asked for directly: again this often while it does not answer, and after it did, not again before this
// (failures in a row are then most likely the proxies' own).
constexpr auto kAskAgain = std::chrono::seconds(2);
constexpr auto kAskNoSooner = std::chrono::seconds(5);

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
    const auto plan = std::make_shared<const CheckPlan>(CheckPlan{config_.target, config_.curl});
    std::weak_ptr<CommandRun*> weak = self_;
    for (int i = 0; i < std::max(config_.loops, 1); ++i)
        drivers_.push_back(config_.makeDriver(plan, [weak, post](std::vector<DriverReport>&& reports) {
            post([weak, reports = std::move(reports)] {
                if (auto run = weak.lock())
                    for (const DriverReport& r : reports) (*run)->onReport(r);
            });
        }));
}

CommandRun::~CommandRun() {
    drivers_.clear();  // before the rest: their checks report into it
}

std::size_t CommandRun::descriptorsFor(std::string_view proxy) {
    return namesAddress(proxy) ? 1 : 3;
}

bool CommandRun::everHeld(Hold why) const {
    return everHeld_[std::size_t(why)];
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
    if (farEnd_ == FarEnd::Down) {
        if (now - *downSince_ >= config_.farEndPatience) {
            giveUp();
            return Clock::time_point::max();
        }
        if (now >= nextAsk_ && !askId_) askFarEnd(now);
        hold(Hold::FarEnd, now);
        if (askId_) return Clock::time_point::max();  // its answer comes first
        const bool patient = config_.farEndPatience == Clock::duration::max();
        return patient ? nextAsk_ : std::min(nextAsk_, *downSince_ + config_.farEndPatience);
    }
    if (farEnd_ == FarEnd::Up && !keptBack_.empty() && !askId_) {
        const bool workLeft = !pending_.empty() || !retries_.empty() || nextSource(now) != Source::None;
        if (!workLeft || (streak_ >= config_.farEndAfter && now >= nextAsk_)) askFarEnd(now);
    }
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
            attempt.line = proxies_.taken();
            attempt.listed = std::string(*proxies_.next());
            attempt.tried = fromSellerForm(attempt.listed).value_or(attempt.listed);
            attempt.retriesLeft = config_.retries;
        }
        const std::uint64_t id = nextId_++;
        std::string tried = attempt.tried;
        pending_.emplace(id, Pending{std::move(attempt), descriptors});
        descriptorsInUse_ += descriptors;
        driver->start(id, std::move(tried));
        next_ += period_;
    }
    return wakeAt(now);
}

CommandRun::Clock::time_point CommandRun::hold(Hold why, Clock::time_point now) {
    held_ = why;
    everHeld_[std::size_t(why)] = true;
    return now + kHoldLookAgain;  // a report comes first anyway when descriptors hold
}

CommandRun::Clock::time_point CommandRun::wakeAt(Clock::time_point now) const {
    Clock::time_point at = Clock::time_point::max();  // nothing to start before a report
    if (nextSource(now) != Source::None)
        at = next_;  // at the pace
    else if (!retries_.empty())
        at = std::max(next_, retries_.front().due);
    if (farEnd_ == FarEnd::Up && !keptBack_.empty() && !askId_ && streak_ >= config_.farEndAfter)
        at = std::min(at, nextAsk_);
    return at;
}

CommandRun::Source CommandRun::nextSource(Clock::time_point now) const {
    if (!again_.empty()) return Source::Again;
    if (!retries_.empty() && retries_.front().due <= now) return Source::Retry;
    if (proxies_.taken() < proxies_.count()) return Source::List;
    return Source::None;
}

void CommandRun::askFarEnd(Clock::time_point) {
    farEnd_ = farEnd_ == FarEnd::Up ? FarEnd::Asking : farEnd_;
    askId_ = nextId_++;
    descriptorsInUse_ += descriptorsFor(config_.target.url);
    leastLoaded().start(*askId_, "");  // an empty text: the page without a proxy
}

void CommandRun::onReport(const DriverReport& r) {
    if (askId_ && r.id == *askId_) return onFarEnd(r);
    const auto it = pending_.find(r.id);
    if (it == pending_.end()) return;
    Pending p = std::move(it->second);
    pending_.erase(it);
    descriptorsInUse_ -= p.descriptors;
    changed_ = true;
    Attempt& a = p.attempt;
    if (r.outOfDescriptors) {
        if (stopped_) return reportStopped(a);
        if (pending_.empty() && !askId_) {  // nothing else holds a descriptor, so none will come back: no check can
            starved_ = true;                // ever run
            reportStopped(a);
            return stop();
        }
        // No verdict: the limit is lower than it looked. Hold the checks in flight to what they hold now.
        descriptorLimit_ = std::max<std::size_t>(descriptorsInUse_, 1);
        everHeld_[std::size_t(Hold::Descriptors)] = true;
        again_.push_front(std::move(a));
        return;
    }
    const Verdict& v = r.verdict;
    if (config_.watchFarEnd && !stopped_ && v.outcome == ProbeOutcome::Dead && pointsAtFarEnd(v.reason)) {
        keptBack_.push_back({std::move(a), v});
        ++streak_;
        return;
    }
    if (v.outcome == ProbeOutcome::Working) {  // the page came through this proxy: the failures before were real
        streak_ = 0;
        if (farEnd_ == FarEnd::Up)
            for (KeptBack& k : std::exchange(keptBack_, {})) settle(std::move(k.attempt), k.verdict);
    }
    settle(std::move(a), v);
}

void CommandRun::onFarEnd(const DriverReport& r) {
    askId_.reset();
    descriptorsInUse_ -= descriptorsFor(config_.target.url);
    changed_ = true;
    if (stopped_) return;
    const Clock::time_point now = config_.clock();
    const Verdict& v = r.verdict;
    if (!r.outOfDescriptors && v.outcome == ProbeOutcome::Working && pageAnswered(v.httpStatus)) {
        const bool wasDown = downSince_.has_value();
        farEnd_ = FarEnd::Up;
        streak_ = 0;
        downSince_.reset();
        farEndVerdict_.reset();
        nextAsk_ = now + kAskNoSooner;
        for (KeptBack& k : std::exchange(keptBack_, {})) {
            if (wasDown)
                again_.push_back(std::move(k.attempt));  // ended while the page was down: made again
            else
                settle(std::move(k.attempt), k.verdict);  // the proxies' own failures
        }
        return;
    }
    farEndVerdict_ = v;
    if (!downSince_) downSince_ = now;
    farEnd_ = FarEnd::Down;
    nextAsk_ = now + kAskAgain;
}

void CommandRun::settle(Attempt a, const Verdict& v) {
    const Next n = next(a, v);
    if (n == Next::Final) return report(a, v);
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
    result_({v.outcome == ProbeOutcome::Working && a.step > 0 ? a.tried : a.listed, v, a.line, a.tried});
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
    // Failures held for the page's answer: as they were while it has not been found down, else undecided.
    for (KeptBack& k : std::exchange(keptBack_, {})) {
        if (farEnd_ == FarEnd::Up)
            settle(std::move(k.attempt), k.verdict);
        else
            reportStopped(k.attempt);
    }
    for (const Attempt& a : again_) reportStopped(a);
    for (const Retry& r : retries_) reportStopped(r.attempt);
    again_.clear();
    retries_.clear();
    for (auto& driver : drivers_) driver->stopAll();
}

void CommandRun::giveUp() {
    gaveUp_ = true;
    stop();
    for (Attempt a; proxies_.taken() < proxies_.count();) {  // every proxy left says so
        a.line = proxies_.taken();
        a.listed = std::string(*proxies_.next());
        a.tried = fromSellerForm(a.listed).value_or(a.listed);
        reportStopped(a);
    }
}

bool CommandRun::finished() const {
    return pending_.empty() && !askId_ && keptBack_.empty() &&
           (stopped_ || (again_.empty() && retries_.empty() && proxies_.taken() == proxies_.count()));
}

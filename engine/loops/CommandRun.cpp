#include "engine/loops/CommandRun.h"

#include <algorithm>
#include <cctype>

#include "lists/ProxyLines.h"

namespace {

// Starts that fell behind the clock (a stall of the owner's thread, or a hold) are not made up in a burst.
constexpr auto kCatchUp = std::chrono::milliseconds(20);
constexpr auto kRetryHold = std::chrono::milliseconds(2);
// A loop that spends nearly all its time working, or has not yet taken up what it was given, is not keeping up.
constexpr double kBusyLimit = 0.9;
constexpr std::size_t kBacklogLimit = 64;
constexpr double kSpareBelow = 0.5;
// A try again waits a wave's time: the checks started with it go first, and a passing failure has time to pass.
constexpr auto kRetryAfter = std::chrono::seconds(1);
// What detection tries after the text as it stands (libcurl reads a text without a scheme as http).
constexpr std::string_view kDetected[] = {"socks5://", "socks4://"};

}  // namespace

CommandRun::CommandRun(CommandRunConfig config, ProxyLines& proxies, Poster post, Result result)
    : config_(std::move(config)),
      proxies_(proxies),
      result_(std::move(result)),
      descriptorLimit_(config_.descriptors),
      period_(std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / std::max(config_.rate, 1)) {
    std::weak_ptr<CommandRun*> weak = self_;
    for (int i = 0; i < std::max(config_.loops, 1); ++i)
        loops_.push_back(std::make_unique<CommandLoop>(config_.target, config_.curl,
                                                       [weak, post](std::vector<LoopCheckDone>&& done) {
                                                           post([weak, done = std::move(done)] {
                                                               if (auto run = weak.lock())
                                                                   for (const LoopCheckDone& d : done)
                                                                       (*run)->onDone(d);
                                                           });
                                                       }));
}

CommandRun::~CommandRun() {
    loops_.clear();  // before the rest: their threads report into it
}

std::size_t CommandRun::descriptorsFor(std::string_view proxy) {
    const auto scheme = proxy.find("://");
    if (scheme != std::string_view::npos) proxy.remove_prefix(scheme + 3);
    if (proxy.starts_with('[')) return 1;  // an IPv6 literal
    const std::string_view host = proxy.substr(0, proxy.find_first_of(":/"));
    const bool literal =
        !host.empty() && std::all_of(host.begin(), host.end(), [](char c) { return c == '.' || std::isdigit(c); });
    return literal ? 1 : 3;
}

CommandLoop& CommandRun::leastLoaded() {
    // The first loop with time to spare: work kept together costs fewer wake-ups than work spread thin.
    for (auto& loop : loops_)
        if (loop->busy() < kSpareBelow) return *loop;
    return **std::min_element(loops_.begin(), loops_.end(),
                              [](const auto& a, const auto& b) { return a->busy() < b->busy(); });
}

CommandRun::Clock::time_point CommandRun::dispatch(Clock::time_point now) {
    held_ = Hold::None;
    if (stopped_) return Clock::time_point::max();
    if (next_ == Clock::time_point{}) next_ = now;
    next_ = std::max(next_, now - kCatchUp);
    CommandLoop* loop = nullptr;  // one loop takes what is due now: one wake-up for the lot
    while (next_ <= now) {
        const Source source = nextSource(now);
        if (source == Source::None) return retries_.empty() ? Clock::time_point::max() : retries_.front().due;
        const std::string_view proxy = source == Source::Again   ? std::string_view(again_.front().tried)
                                       : source == Source::Retry ? std::string_view(retries_.front().attempt.tried)
                                                                 : *proxies_.peek();
        const std::size_t descriptors = descriptorsFor(proxy);
        if (descriptorsInUse_ + descriptors > descriptorLimit_ && !pending_.empty()) {
            held_ = Hold::Descriptors;
            descriptorsHeld_ = true;
            return now + kRetryHold;  // a completion comes first anyway
        }
        if (!loop) loop = &leastLoaded();
        if (loop->busy() > kBusyLimit || loop->backlog() > kBacklogLimit) {
            held_ = Hold::Machine;
            machineHeld_ = true;
            return now + kRetryHold;
        }
        Attempt attempt;
        if (source == Source::Again) {
            attempt = std::move(again_.front());
            again_.pop_front();
        } else if (source == Source::Retry) {
            attempt = std::move(retries_.front().attempt);
            retries_.pop_front();
        } else {
            attempt.listed = attempt.tried = std::string(*proxies_.next());
            attempt.retriesLeft = config_.retries;
        }
        const std::uint64_t id = nextId_++;
        descriptorsInUse_ += descriptors;
        std::string tried = attempt.tried;
        pending_.emplace(id, Pending{std::move(attempt), descriptors});
        loop->start(id, std::move(tried));
        next_ += period_;
    }
    return next_;
}

void CommandRun::onDone(const LoopCheckDone& done) {
    const auto it = pending_.find(done.id);
    if (it == pending_.end()) return;
    Pending p = std::move(it->second);
    pending_.erase(it);
    descriptorsInUse_ -= p.descriptors;
    if (done.outOfDescriptors && !stopped_) {
        // No verdict: the limit is lower than it looked. Hold the checks in flight to what they hold now.
        descriptorLimit_ = std::max<std::size_t>(descriptorsInUse_, 1);
        descriptorsHeld_ = true;
        again_.push_back(std::move(p.attempt));
        return;
    }
    if (auto next = again(p.attempt, done.verdict)) {
        if (next->retriesLeft < p.attempt.retriesLeft)
            retries_.push_back({Clock::now() + kRetryAfter, std::move(*next)});
        else
            again_.push_back(std::move(*next));  // the next protocol, at once
        return;
    }
    const Attempt& a = p.attempt;
    result_(done.verdict.outcome == ProbeOutcome::Working ? a.tried : a.listed, done.verdict);
}

std::optional<CommandRun::Attempt> CommandRun::again(Attempt a, const Verdict& verdict) const {
    if (stopped_ || verdict.outcome != ProbeOutcome::Dead) return std::nullopt;
    // The other end answered, but not as an HTTP proxy: another protocol, before any retry of this one.
    if (config_.detect && suggestsOtherProtocol(verdict.reason) && a.scheme < std::size(kDetected) &&
        a.listed.find("://") == std::string::npos) {
        a.tried = std::string(kDetected[a.scheme++]) + a.listed;
        return a;
    }
    if (a.retriesLeft > 0 && isTransient(verdict.reason)) {
        --a.retriesLeft;
        return a;
    }
    return std::nullopt;
}

void CommandRun::stop() {
    if (stopped_) return;
    stopped_ = true;
    again_.clear();
    retries_.clear();
    for (auto& loop : loops_) loop->stopAll();
}

bool CommandRun::finished() const {
    return pending_.empty() &&
           (stopped_ || (again_.empty() && retries_.empty() && proxies_.taken() == proxies_.count()));
}

CommandRun::Source CommandRun::nextSource(Clock::time_point now) const {
    if (!again_.empty()) return Source::Again;
    if (!retries_.empty() && retries_.front().due <= now) return Source::Retry;
    if (proxies_.taken() < proxies_.count()) return Source::List;
    return Source::None;
}

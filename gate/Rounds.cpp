#include "gate/Rounds.h"

#include <algorithm>

#include "cli/Diagnostics.h"
#include "cli/Messages.h"
#include "cli/RunSetup.h"

namespace {

constexpr auto kRetryPreflight = std::chrono::seconds(10);  // a page that did not answer is asked for again

}  // namespace

Rounds::Rounds(CommandRunConfig config, bool preflight, Clock::duration every, ProxyPool& pool, Poster post,
               Diagnostics& err, std::function<void()> roundEnded)
    : config_(std::move(config)),
      preflight_(preflight),
      every_(every),
      pool_(pool),
      post_(std::move(post)),
      err_(err),
      roundEnded_(std::move(roundEnded)) {
    config_.farEndPatience = Clock::duration::max();  // a round waits for its page: the pool serves meanwhile
    if (!preflight_) target_ = config_.target;
}

Rounds::~Rounds() = default;

void Rounds::add(std::vector<std::uint64_t> ids) {
    waiting_.insert(ids.begin(), ids.end());
    changed_ = true;
}

bool Rounds::changed() const {
    return changed_ || pool_.hasSuspects() ||
           std::any_of(rounds_.begin(), rounds_.end(), [](const auto& r) { return r->run->changed(); });
}

void Rounds::stop() {
    stopped_ = true;
    fetch_.reset();
    for (auto& r : rounds_) r->run->stop();
}

void Rounds::preflightDone(PreflightResult r) {
    changed_ = true;
    const auto now = Clock::now();
    if (r.outcome == PreflightResult::Outcome::Ready) {
        target_ = std::move(r.target);
        lastProblem_.clear();
        nextWhole_ = now + every_;
        startRound(pool_.all(), true);
        return;
    }
    std::string problem = r.outcome == PreflightResult::Outcome::Starved ? starvedMessage() : preflightProblem(r);
    if (problem != lastProblem_)
        err_.say(format(_("%s: %s; the round waits for it, the pool serves as it was"),
                        shownName(config_.target.url).c_str(), problem.c_str()));
    lastProblem_ = std::move(problem);
    nextWhole_ = now + std::min<Clock::duration>(every_, kRetryPreflight);
}

void Rounds::startRound(std::vector<std::pair<std::uint64_t, std::string>> proxies, bool whole) {
    auto round = std::make_unique<Round>();
    round->whole = whole;
    std::string text;
    for (auto& [id, listed] : proxies) {
        round->ids.push_back(id);
        text += listed + "\n";
    }
    round->lines.add(text);
    CommandRunConfig config = config_;
    config.target = *target_;
    config.target.proxyAnswerDecides = true;
    Round* r = round.get();
    round->run = std::make_unique<CommandRun>(config, round->lines, post_, [this, r](const CheckResult& result) {
        if (result.line >= r->ids.size()) return;
        pool_.checked(r->ids[result.line], result.verdict, result.tried, Clock::now());
        ++r->done;
        if (result.verdict.outcome == ProbeOutcome::Working) ++r->working;
        if (!saidServing_ && result.verdict.outcome == ProbeOutcome::Working) {
            saidServing_ = true;
            err_.say(_("serving: the first proxy works"));
        }
    });
    rounds_.push_back(std::move(round));
}

Rounds::Clock::time_point Rounds::step(Clock::time_point now) {
    changed_ = false;
    if (stopped_) return Clock::time_point::max();
    const bool wholeRunning = std::any_of(rounds_.begin(), rounds_.end(), [](const auto& r) { return r->whole; });
    if (!wholeRunning && !fetch_ && now >= nextWhole_) {
        waiting_.clear();  // the whole pool comes now
        if (preflight_) {
            fetch_ = std::make_unique<Preflight>(config_.target, config_.curl, config_.makeDriver, post_,
                                                 [this](PreflightResult r) {
                                                     post_([this] { fetch_.reset(); });
                                                     preflightDone(std::move(r));
                                                 });
        } else {
            nextWhole_ = now + every_;
            startRound(pool_.all(), true);
        }
    }
    // Proxies a connection suspects are checked as new ones are: the check decides whether they still work.
    for (const std::uint64_t id : pool_.takeSuspects()) waiting_.insert(id);
    const bool freshRunning = std::any_of(rounds_.begin(), rounds_.end(), [](const auto& r) { return !r->whole; });
    if (!waiting_.empty() && target_ && !freshRunning) {
        std::vector<std::pair<std::uint64_t, std::string>> fresh;
        for (const auto& p : pool_.all())
            if (waiting_.contains(p.first)) fresh.push_back(p);
        waiting_.clear();
        if (!fresh.empty()) startRound(std::move(fresh), false);
    }
    Clock::time_point wake = fetch_ ? Clock::time_point::max() : nextWhole_;
    for (auto it = rounds_.begin(); it != rounds_.end();) {
        Round& r = **it;
        wake = std::min(wake, r.run->dispatch(now));
        if (!r.run->finished()) {
            ++it;
            continue;
        }
        if (r.whole)
            err_.say(format(plural("%zu proxy checked: %zu working", "%zu proxies checked: %zu working", r.done),
                            r.done, r.working));
        it = rounds_.erase(it);
        changed_ = true;
        if (roundEnded_) roundEnded_();
    }
    return wake;
}

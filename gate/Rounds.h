#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/loops/CommandRun.h"
#include "engine/loops/Preflight.h"
#include "engine/loops/ProxyPool.h"
#include "lists/ProxyLines.h"

class Diagnostics;

// The gate's checks, on the loops that serve its tunnels: a round over the whole pool every `every` (the page fetched
// directly first, and the judge's baseline renewed), and, beside it, one over the lines a reload added, as soon as
// they come. Each verdict goes into the pool. Driven from the owner's thread, as the command drives its run.
class Rounds {
  public:
    using Clock = std::chrono::steady_clock;
    // `config` is the checks' run (its target as the options give it); `preflight`: fetch the page first.
    Rounds(CommandRunConfig config, bool preflight, Clock::duration every, ProxyPool& pool, Poster post,
           Diagnostics& err, std::function<void()> roundEnded);
    ~Rounds();

    void add(std::vector<std::uint64_t> ids);  // new proxies, checked soon
    // Starts and dispatches what is due; when it wants to be called again at the latest.
    Clock::time_point step(Clock::time_point now);
    bool changed() const;  // something happened since the last step: call it again now
    void stop();           // every run stops; nothing more starts

  private:
    struct Round {
        std::vector<std::uint64_t> ids;
        ProxyLines lines;
        std::unique_ptr<CommandRun> run;
        bool whole = false;
        std::size_t working = 0, done = 0;
    };
    void startRound(std::vector<std::pair<std::uint64_t, std::string>> proxies, bool whole);
    void preflightDone(PreflightResult r);

    CommandRunConfig config_;
    bool preflight_;
    Clock::duration every_;
    ProxyPool& pool_;
    Poster post_;
    Diagnostics& err_;
    std::function<void()> roundEnded_;
    std::optional<Target> target_;  // the last round's, with what its preflight learnt
    std::unique_ptr<Preflight> fetch_;
    std::vector<std::unique_ptr<Round>> rounds_;
    std::unordered_set<std::uint64_t> waiting_;
    Clock::time_point nextWhole_{};
    bool changed_ = true;
    bool stopped_ = false;
    bool saidServing_ = false;
    std::string lastProblem_;
};

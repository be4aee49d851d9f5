#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/loops/CommandLoop.h"
#include "engine/rules/Poster.h"

class ProxyLines;

struct CommandRunConfig {
    Target target{};
    CheckSettings curl{};
    int rate = 10;                       // new checks a second, spread evenly
    int loops = 1;                       // threads driving checks, one per core
    std::size_t descriptors = SIZE_MAX;  // what the checks in flight may hold together
    int retries = 0;                     // further tries of a check that failed for a passing reason
    bool detect = false;                 // a proxy text without a scheme is tried as http, then socks5, socks4
};

// The command's run: the proxies in order, `rate` new checks a second over a few check loops, each check's verdict
// handed to `result` on the owner's thread as it comes. Starts wait while the checks in flight hold all the
// descriptors they may, and while the loops do not keep up: a late loop would let time-outs decide verdicts.
// Runs on its owner's thread; completions come back through `post`. A check made again (for want of a descriptor, or
// in another protocol) goes before the next proxy; one tried again after a passing failure does so a second later.
// Only a proxy's last try is reported.
class CommandRun {
  public:
    using Clock = std::chrono::steady_clock;
    // `proxy` is the text as listed, or for a working proxy found by detection, the form that worked.
    using Result = std::function<void(std::string_view proxy, const Verdict& verdict)>;
    enum class Hold { None, Descriptors, Machine };

    CommandRun(CommandRunConfig config, ProxyLines& proxies, Poster post, Result result);
    ~CommandRun();  // gives up the checks in flight
    CommandRun(const CommandRun&) = delete;
    CommandRun& operator=(const CommandRun&) = delete;

    // Starts what is due by `now`; returns when it wants to be called again (max: nothing left to start).
    Clock::time_point dispatch(Clock::time_point now);
    void stop();  // no further start; every check in flight ends aborted at once

    bool finished() const;               // nothing left to start and every started check reported
    Hold held() const { return held_; }  // what held starts back at the last dispatch
    bool everHeld(Hold why) const { return why == Hold::Descriptors ? descriptorsHeld_ : machineHeld_; }
    std::size_t inFlight() const { return pending_.size(); }

    // Descriptors a check of `proxy` may hold at once: its socket, and a name look-up's pair for a host name.
    static std::size_t descriptorsFor(std::string_view proxy);

  private:
    struct Attempt {
        std::string listed;  // as the list has it
        std::string tried;   // as this try sends it to libcurl
        int retriesLeft = 0;
        std::size_t scheme = 0;  // the detection's step
    };
    struct Pending {
        Attempt attempt;
        std::size_t descriptors;
    };
    std::optional<Attempt> again(Attempt a, const Verdict& verdict) const;  // the next try, if one is due
    void onDone(const LoopCheckDone& done);
    CommandLoop& leastLoaded();  // where the next starts go

    CommandRunConfig config_;
    ProxyLines& proxies_;
    Result result_;
    std::vector<std::unique_ptr<CommandLoop>> loops_;
    std::unordered_map<std::uint64_t, Pending> pending_;
    struct Retry {
        Clock::time_point due;
        Attempt attempt;
    };
    enum class Source { Again, Retry, List, None };
    Source nextSource(Clock::time_point now) const;  // where the next start comes from

    std::deque<Attempt> again_;  // made again at once, before the next proxy: no descriptor, or another protocol
    std::deque<Retry> retries_;  // tried again after a passing failure, once due, before the next proxy
    std::uint64_t nextId_ = 0;
    std::size_t descriptorsInUse_ = 0;
    std::size_t descriptorLimit_;
    Clock::duration period_;
    Clock::time_point next_{};
    bool stopped_ = false;
    Hold held_ = Hold::None;
    bool descriptorsHeld_ = false;
    bool machineHeld_ = false;
    std::shared_ptr<CommandRun*> self_ = std::make_shared<CommandRun*>(this);  // completions look through a weak copy
};

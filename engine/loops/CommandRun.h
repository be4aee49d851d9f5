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

#include "engine/loops/CheckDriver.h"
#include "engine/rules/CheckSettings.h"
#include "engine/rules/Poster.h"
#include "engine/rules/ProbeRules.h"

class ProxyLines;

struct CommandRunConfig {
    using Clock = std::chrono::steady_clock;
    Target target{};
    CheckSettings curl{};
    int rate = kWaveSize;                      // new checks a second, spread evenly
    int loops = 1;                             // drivers, one per loop
    std::size_t descriptors = SIZE_MAX;        // what the checks in flight may hold together
    int retries = 0;                           // further tries of a check that failed for a passing reason
    bool detect = false;                       // a proxy text without a scheme is tried as http, then socks5, socks4
    DriverFactory makeDriver;                  // where the checks run: sessions on the front-end's loops
    std::function<Clock::time_point()> clock;  // what the time is; default: the steady clock
    // The page is asked for directly when failures that would come of it being down pile up (the preflight showed
    // it can be); while it does not answer, new checks wait, and the checks that ended meanwhile are made again once
    // it does. Past `farEndPatience` the run gives up.
    bool watchFarEnd = false;
    int farEndAfter = 8;  // such failures in a row
    Clock::duration farEndPatience = Clock::duration::max();
};

// The command's run: the proxies in order, `rate` new checks a second over a few drivers, each proxy's verdict
// handed to `result` on the owner's thread, once. Starts wait while the checks in flight hold all the descriptors
// they may, while the drivers do not keep up (a late loop would let time-outs decide verdicts), and while the page
// itself does not answer. A check made again (for want of a descriptor, in another protocol, or after the page came
// back) goes before the next proxy, at the pace; one tried again after a passing failure does so a wave's time
// later. Only a proxy's last try is reported.
// Runs on its owner's thread; reports come back through `post`. Whatever the order in which tries are queued, every
// proxy taken from the list ends with one result, and the run finishes with the last; a run that gives up on the
// page reports every proxy left, taken or not.
class CommandRun {
  public:
    using Clock = std::chrono::steady_clock;
    using Result = std::function<void(const CheckResult&)>;
    enum class Hold { None, Descriptors, Machine, FarEnd };

    CommandRun(CommandRunConfig config, ProxyLines& proxies, Poster post, Result result);
    ~CommandRun();  // gives up the checks in flight
    CommandRun(const CommandRun&) = delete;
    CommandRun& operator=(const CommandRun&) = delete;

    // Starts what is due by `now`. Returns when it wants to be called again at the latest (max: not before a
    // report); sooner once changed() holds.
    Clock::time_point dispatch(Clock::time_point now);
    bool changed() const { return changed_; }  // a report came since the last dispatch: more may be due
    // No further start; every check in flight ends aborted at once, and every try waiting for its turn is reported
    // aborted now.
    void stop();

    bool finished() const;  // every proxy taken has its result, and nothing is left to take (or the run stopped)
    bool starved() const { return starved_; }  // a check alone had no descriptor: the limit leaves none for checks
    Hold held() const { return held_; }        // what held starts back at the last dispatch
    bool everHeld(Hold why) const;
    // The page, asked for directly, did not answer: what it said the last time, while it is down or once the run gave
    // up on it.
    const std::optional<Verdict>& farEndDown() const { return farEndVerdict_; }
    bool gaveUp() const { return gaveUp_; }

    // Descriptors a check of `proxy` may hold at once: its socket, and a name look-up's pair for a host name.
    static std::size_t descriptorsFor(std::string_view proxy);

  private:
    struct Attempt {
        std::string listed;  // as the list has it
        std::string tried;   // as this try sends it to libcurl
        std::size_t line = 0;
        int retriesLeft = 0;
        std::size_t step = 0;  // detection's next protocol
    };
    struct Pending {
        Attempt attempt;
        std::size_t descriptors;
    };
    struct Retry {
        Clock::time_point due;
        Attempt attempt;
    };
    struct KeptBack {  // ended in a way the page, down, would explain: reported once it has answered
        Attempt attempt;
        Verdict verdict;
    };
    enum class Source { Again, Retry, List, None };
    enum class Next { Final, Retry, OtherProtocol };
    enum class FarEnd { Up, Asking, Down };

    Source nextSource(Clock::time_point now) const;  // where the next start comes from
    Clock::time_point wakeAt(Clock::time_point now) const;
    Clock::time_point hold(Hold why, Clock::time_point now);
    Next next(const Attempt& a, const Verdict& verdict) const;
    void onReport(const DriverReport& report);
    void onFarEnd(const DriverReport& report);
    void settle(Attempt a, const Verdict& verdict);  // a try's verdict: reported, or the proxy tried again
    void report(const Attempt& a, const Verdict& verdict);
    void reportStopped(const Attempt& a);
    void askFarEnd(Clock::time_point now);
    void giveUp();
    CheckDriver& leastLoaded();  // where the next starts go

    CommandRunConfig config_;
    ProxyLines& proxies_;
    Result result_;
    std::vector<std::unique_ptr<CheckDriver>> drivers_;
    std::unordered_map<std::uint64_t, Pending> pending_;
    std::deque<Attempt> again_;  // made again before the next proxy: no descriptor, another protocol, page back
    std::deque<Retry> retries_;  // tried again after a passing failure, in the order they are due
    std::uint64_t nextId_ = 0;
    std::size_t descriptorsInUse_ = 0;
    std::size_t descriptorLimit_;
    Clock::duration period_;
    Clock::time_point next_{};
    bool stopped_ = false;
    bool starved_ = false;
    bool changed_ = false;
    Hold held_ = Hold::None;
    bool everHeld_[4] = {};
    // The page itself.
    FarEnd farEnd_ = FarEnd::Up;
    int streak_ = 0;  // failures in a row that point at it
    std::vector<KeptBack> keptBack_;
    std::optional<std::uint64_t> askId_;  // the direct fetch in flight
    std::optional<Clock::time_point> downSince_;
    Clock::time_point nextAsk_{};
    std::optional<Verdict> farEndVerdict_;
    bool gaveUp_ = false;
    std::shared_ptr<CommandRun*> self_ = std::make_shared<CommandRun*>(this);  // reports look through a weak copy
};

// The command's run on a fake driver and a fake clock: every state of its rules (pace, holds, retries, detection,
// stop, finish), walked in simulated milliseconds without a server.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <random>
#include <sstream>

#include "engine/loops/CommandRun.h"
#include "engine/loops/DriveRun.h"
#include "lists/ProxyLines.h"
#include "tests/support/NamedCase.h"

namespace {

using Clock = CommandRun::Clock;
using std::chrono::milliseconds;

// One try as a fake check plays it: how it ends and after how long. "ok@10", "reset@300", "nosocket@0".
struct Play {
    std::string reason;
    long ms;
};

std::vector<Play> playsOf(const std::string& script) {
    std::vector<Play> plays;
    std::istringstream words(script);
    for (std::string w; std::getline(words, w, ',');)
        plays.push_back({w.substr(0, w.find('@')), std::stol(w.substr(w.find('@') + 1))});
    return plays;
}

struct RunCase : NamedCase {
    std::vector<std::string> list;
    std::map<std::string, std::string> plays;  // per text tried; its last play repeats; none: "ok@10"
    std::function<void(CommandRunConfig&)> configure = [](CommandRunConfig&) {};
    std::vector<std::string> starts;  // "text@ms", in order
    std::vector<std::string> lines;   // "result text reason@ms", in order
    long stopAt = -1;                 // ms
    long busyUntil = 0;               // the drivers report themselves busy until then
    bool starved = false;
    bool heldForDescriptors = false;
    bool heldForTheFarEnd = false;
    bool gaveUp = false;
};

// The simulation: drivers that end each check when its play says, a queue the test runs, and the time. It is what
// the run is driven from, by the command's own drive loop.
class Simulation : public RunWaiter {
  public:
    struct Driver : CheckDriver {
        Driver(Simulation& s, Reports r) : sim(s), reports(std::move(r)) {}
        void start(std::uint64_t id, std::string proxy) override { sim.start(*this, id, proxy); }
        void stopAll() override { sim.stopAll(*this); }
        std::size_t backlog() const override { return 0; }
        double busy() const override { return sim.now_ < sim.busyUntil ? 1.0 : 0.0; }
        Simulation& sim;
        Reports reports;
    };

    explicit Simulation(const RunCase& c) : row(c), busyUntil(epoch + milliseconds(c.busyUntil)) {
        for (const auto& p : c.list) proxies.add(p + "\n");
    }

    long ms(Clock::time_point t) const { return long(std::chrono::duration_cast<milliseconds>(t - epoch).count()); }

    void start(Driver& d, std::uint64_t id, const std::string& proxy) {
        starts.push_back(proxy + "@" + std::to_string(ms(now_)));
        const auto it = row.plays.find(proxy);
        const std::vector<Play> plays = playsOf(it == row.plays.end() ? "ok@10" : it->second);
        const Play play = plays[std::min(tries[proxy]++, plays.size() - 1)];
        DriverReport r{id, Verdict{ProbeOutcome::Dead, Reason::Error}};
        if (play.reason == "ok") {
            r.verdict = Verdict{ProbeOutcome::Working, Reason::Marker};
            r.verdict.httpStatus = 200;
        } else if (play.reason == "nosocket") {
            r.outOfDescriptors = true;
        } else {
            for (int k = 0; k <= int(Reason::Error); ++k)
                if (reasonName(Reason(k)) == play.reason) r.verdict.reason = Reason(k);
        }
        flight.push_back({now_ + milliseconds(play.ms), &d, r});
    }

    void stopAll(Driver& d) {
        for (auto& f : flight)
            if (f.driver == &d)
                f = {now_, &d, DriverReport{f.report.id, Verdict{ProbeOutcome::Aborted, Reason::Stopped}}};
    }

    Clock::time_point now() const override { return now_; }

    // Runs what the drivers posted, and moves the time on to the next thing that happens, until `done()` or
    // `until`; one that waits for something that never comes, or for too long, is a hang.
    void runUntil(Clock::time_point until, const std::function<bool()>& done) override {
        for (;;) {
            while (!posted.empty()) {
                auto f = std::move(posted.front());
                posted.pop_front();
                f();
                if (done()) return;
            }
            if (row.stopAt >= 0 && !stopped && ms(now_) >= row.stopAt) {
                stopped = true;
                running->stop();
            }
            if (done() || now_ >= until) return;
            Clock::time_point next = until;
            for (const auto& f : flight) next = std::min(next, f.due);
            if (row.stopAt >= 0 && !stopped) next = std::min(next, epoch + milliseconds(row.stopAt));
            if (next == Clock::time_point::max() || ++steps > 100000 || ms(next) > 3'600'000) {
                hung = true;  // nothing will ever happen, or the run goes on for ever
                return;
            }
            now_ = std::max(now_, next);
            deliver();
        }
    }

    // The run over the row's list, driven here: its lines ("result text reason@ms", in order) and its holds.
    struct Outcome {
        bool ended;
        std::vector<std::string> lines;
        bool starved, heldForDescriptors, heldForMachine, heldForTheFarEnd, gaveUp;
    };
    Outcome play() {
        CommandRunConfig config;
        config.loops = 2;
        config.clock = [&] { return now_; };
        config.makeDriver = [&](std::shared_ptr<const CheckPlan>, CheckDriver::Reports reports) {
            return std::make_unique<Driver>(*this, std::move(reports));
        };
        row.configure(config);
        Outcome out{};
        CommandRun command(
            config, proxies, [&](std::function<void()> f) { posted.push_back(std::move(f)); },
            [&](const CheckResult& r) {
                const char* word = r.verdict.outcome == ProbeOutcome::Working ? "ok"
                                   : r.verdict.outcome == ProbeOutcome::Dead  ? "dead"
                                                                              : "aborted";
                out.lines.push_back(std::string(word) + " " + r.proxy + " " +
                                    std::string(reasonName(r.verdict.reason)) + "@" + std::to_string(ms(now_)));
            });
        running = &command;
        driveRun(command, *this, [&] { return hung; });
        out.ended = command.finished() && !hung;
        out.starved = command.starved();
        out.heldForDescriptors = command.everHeld(CommandRun::Hold::Descriptors);
        out.heldForMachine = command.everHeld(CommandRun::Hold::Machine);
        out.heldForTheFarEnd = command.everHeld(CommandRun::Hold::FarEnd);
        out.gaveUp = command.gaveUp();
        return out;
    }

    const RunCase& row;
    const Clock::time_point epoch = Clock::time_point{} + std::chrono::hours(1);
    Clock::time_point now_ = epoch;
    Clock::time_point busyUntil;
    ProxyLines proxies;
    std::deque<std::function<void()>> posted;
    std::vector<std::string> starts;
    bool stopped = false;
    bool hung = false;

  private:
    // Checks that ended by now, one batch per driver, as a loop reports what ended together.
    void deliver() {
        std::map<Driver*, std::vector<DriverReport>> batches;
        std::erase_if(flight, [&](const InFlight& f) {
            if (f.due > now_) return false;
            batches[f.driver].push_back(f.report);
            return true;
        });
        for (auto& [driver, reports] : batches) driver->reports(std::move(reports));
    }

    struct InFlight {
        Clock::time_point due;
        Driver* driver;
        DriverReport report;
    };
    std::vector<InFlight> flight;
    std::map<std::string, std::size_t> tries;
    CommandRun* running = nullptr;
    int steps = 0;
};

class CommandRunStates : public ::testing::TestWithParam<RunCase> {};

TEST_P(CommandRunStates, EveryProxyTakenEndsWithOneLineAndTheRunEnds) {
    const RunCase& c = GetParam();
    Simulation sim(c);
    const Simulation::Outcome run = sim.play();
    ASSERT_TRUE(run.ended) << "the run never ended; started: " << ::testing::PrintToString(sim.starts)
                           << ", lines: " << ::testing::PrintToString(run.lines);
    EXPECT_EQ(sim.starts, c.starts);
    EXPECT_EQ(run.lines, c.lines);
    EXPECT_EQ(run.starved, c.starved);
    EXPECT_EQ(run.heldForDescriptors, c.heldForDescriptors);
    EXPECT_EQ(run.heldForMachine, c.busyUntil > 0);
    EXPECT_EQ(run.heldForTheFarEnd, c.heldForTheFarEnd);
    EXPECT_EQ(run.gaveUp, c.gaveUp);
}

// Seeded random runs: any mix of verdicts, timings, retries, detection, holds, missing sockets and a stop keeps the
// promise. Every proxy started ends with exactly one line, every one listed does unless the run stopped, and the
// run ends.
TEST(CommandRunPromise, HoldsWhateverHappensInWhateverOrder) {
    const std::string verdicts[] = {"ok",          "refused",         "reset",    "idle-timeout",
                                    "not-a-proxy", "connect-timeout", "nosocket", "proxy-denied"};
    for (unsigned seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        const auto pick = [&](int n) { return int(random() % unsigned(n)); };
        RunCase c{};  // its list, plays and limits drawn below
        for (int i = pick(12); i >= 0; --i) {
            c.list.push_back("10.0.0." + std::to_string(i) + ":1");
            for (const char* scheme : {"", "socks5://", "socks4://"}) {
                std::string plays;
                for (int k = pick(4); k >= 0; --k)
                    plays += (plays.empty() ? "" : ",") + verdicts[pick(8)] + "@" + std::to_string(pick(3000));
                c.plays[scheme + c.list.back()] = plays;
            }
        }
        for (int k = pick(3); k >= 0; --k) {  // the page asked for directly
            std::string& page = c.plays[""];
            page +=
                (page.empty() ? "" : ",") + std::string(pick(2) ? "ok" : "no-marker") + "@" + std::to_string(pick(100));
        }
        const int rate = 1 + pick(50), retries = pick(3), descriptors = 1 + pick(6), after = 1 + pick(4);
        const bool detect = pick(2) == 1, watch = pick(2) == 1;
        const long patience = pick(10000);  // a page that never answers is waited for no longer
        c.configure = [=](CommandRunConfig& config) {
            config.rate = rate;
            config.retries = retries;
            config.detect = detect;
            config.descriptors = std::size_t(descriptors);
            config.watchFarEnd = watch;
            config.farEndAfter = after;
            config.farEndPatience = milliseconds(patience);
        };
        c.busyUntil = pick(4) == 0 ? pick(2000) : 0;
        c.stopAt = pick(3) == 0 ? pick(5000) : -1;
        Simulation sim(c);
        const Simulation::Outcome run = sim.play();
        ASSERT_TRUE(run.ended) << ::testing::PrintToString(sim.starts);
        std::map<std::string, int> started, ended;  // by the text as listed
        const auto listed = [](std::string text) {
            return text.substr(text.find("://") == std::string::npos ? 0 : text.find("://") + 3);
        };
        for (const std::string& s : sim.starts)
            if (!s.starts_with('@')) started[listed(s.substr(0, s.rfind('@')))] = 1;
        for (const std::string& l : run.lines)
            ++ended[listed(l.substr(l.find(' ') + 1, l.rfind(' ') - l.find(' ') - 1))];
        for (const auto& [proxy, n] : ended) EXPECT_EQ(n, 1) << proxy << " " << ::testing::PrintToString(run.lines);
        EXPECT_EQ(ended.size(), run.gaveUp ? c.list.size() : started.size()) << ::testing::PrintToString(run.lines);
        if (run.gaveUp) {
            EXPECT_EQ(ended.size(), c.list.size()) << ::testing::PrintToString(run.lines);
        } else if (!sim.stopped && !run.starved) {
            EXPECT_EQ(ended.size(), c.list.size()) << ::testing::PrintToString(run.lines);
        }
    }
}

auto rate = [](int n) { return [n](CommandRunConfig& c) { c.rate = n; }; };
auto retries = [](int n, int r = 10) {
    return [n, r](CommandRunConfig& c) {
        c.retries = n;
        c.rate = r;
    };
};
// The page watched, asked for after `after` failures in a row that point at it, given up on after `patience` ms.
auto farEnd = [](int after, long patience = -1) {
    return [after, patience](CommandRunConfig& c) {
        c.rate = 10;
        c.watchFarEnd = true;
        c.farEndAfter = after;
        if (patience >= 0) c.farEndPatience = milliseconds(patience);
    };
};
auto detect = [](int n = 0) {
    return [n](CommandRunConfig& c) {
        c.detect = true;
        c.retries = n;
    };
};

INSTANTIATE_TEST_SUITE_P(
    All, CommandRunStates,
    ::testing::Values(
        RunCase{{"AtThePace"},
                {"a:1", "b:1", "c:1"},
                {},
                rate(10),
                {"a:1@0", "b:1@100", "c:1@200"},
                {"ok a:1 marker@10", "ok b:1 marker@110", "ok c:1 marker@210"}},
        RunCase{{"AnEmptyListEndsAtOnce"}, {}, {}, rate(10), {}, {}},
        // The list is used up and the only try left is a second away: the run waits for it, then ends.
        RunCase{{"ARetryQueuedAfterTheListIsUsedUp"},
                {"a:1", "b:1"},
                {{"b:1", "reset@300,ok@10"}},
                retries(1),
                {"a:1@0", "b:1@100", "b:1@1400"},
                {"ok a:1 marker@10", "ok b:1 marker@1410"}},
        RunCase{{"RetriesRunOutOnTheLastVerdict"},
                {"a:1"},
                {{"a:1", "reset@5,idle-timeout@30,connect-timeout@15"}},
                retries(2),
                {"a:1@0", "a:1@1005", "a:1@2035"},
                {"dead a:1 connect-timeout@2050"}},
        RunCase{{"ARefusedPortIsNotTriedAgain"},
                {"a:1"},
                {{"a:1", "refused@1"}},
                retries(3),
                {"a:1@0"},
                {"dead a:1 refused@1"}},
        // A try due goes before the next proxy of the list, at the pace.
        RunCase{{"ARetryDueGoesBeforeTheNextProxy"},
                {"a:1", "b:1", "c:1"},
                {{"a:1", "reset@300,ok@10"}},
                retries(1, 1),
                {"a:1@0", "b:1@1000", "a:1@2000", "c:1@3000"},
                {"ok b:1 marker@1010", "ok a:1 marker@2010", "ok c:1 marker@3010"}},
        // Tries queued in any order end in the order they are due.
        RunCase{{"RetriesOfSeveralProxiesQueuedLate"},
                {"a:1", "b:1", "c:1"},
                {{"a:1", "reset@900,ok@1"}, {"b:1", "reset@100,ok@1"}, {"c:1", "reset@400,ok@1"}},
                retries(1, 100),
                {"a:1@0", "b:1@10", "c:1@20", "b:1@1110", "c:1@1420", "a:1@1900"},
                {"ok b:1 marker@1111", "ok c:1 marker@1421", "ok a:1 marker@1901"}},
        RunCase{{"DetectionAfterTheListIsUsedUp"},
                {"a:1", "b:1"},
                {{"b:1", "not-a-proxy@50"}},
                detect(),
                {"a:1@0", "b:1@100", "socks5://b:1@200"},
                {"ok a:1 marker@10", "ok socks5://b:1 marker@210"}},
        RunCase{{"DetectionThroughEveryProtocol"},
                {"a:1"},
                {{"a:1", "reset@5"}, {"socks5://a:1", "not-a-proxy@5"}, {"socks4://a:1", "reset@5"}},
                detect(),
                {"a:1@0", "socks5://a:1@100", "socks4://a:1@200"},
                {"dead a:1 reset@205"}},
        // A passing failure is tried again in the same protocol before detection moves on.
        RunCase{{"DetectionRetriesAFlakyHttpProxyFirst"},
                {"a:1"},
                {{"a:1", "reset@5,ok@10"}},
                detect(2),
                {"a:1@0", "a:1@1005"},
                {"ok a:1 marker@1015"}},
        // Once a protocol's tries are used up, detection moves on; each protocol has tries of its own.
        RunCase{{"DetectionMovesOnOnceAProtocolsTriesAreUsedUp"},
                {"a:1"},
                {{"a:1", "reset@5"}, {"socks5://a:1", "reset@5,ok@10"}},
                detect(1),
                {"a:1@0", "a:1@1005", "socks5://a:1@1085", "socks5://a:1@2090"},
                {"ok socks5://a:1 marker@2100"}},
        RunCase{{"DetectionLeavesATextWithASchemeAlone"},
                {"http://a:1"},
                {{"http://a:1", "not-a-proxy@5"}},
                detect(),
                {"http://a:1@0"},
                {"dead http://a:1 not-a-proxy@5"}},
        RunCase{{"DetectionTriesARefusedPortOnce"},
                {"a:1"},
                {{"a:1", "refused@5"}},
                detect(2),
                {"a:1@0"},
                {"dead a:1 refused@5"}},
        // A stop: the checks in flight end aborted, and so does every try waiting for its turn or its second.
        RunCase{{"AStopWithTriesWaitingAndInFlight"},
                {"a:1", "b:1", "c:1", "d:1"},
                {{"a:1", "reset@10"}, {"b:1", "reset@10"}, {"c:1", "reset@1000"}},
                retries(5, 1000),
                {"a:1@0", "b:1@10", "c:1@10", "d:1@10"},
                {"ok d:1 marker@20", "aborted a:1 stopped@600", "aborted b:1 stopped@600", "aborted c:1 stopped@600"},
                600},
        RunCase{{"AStopWhileTheNextProtocolWaitsForItsTurn"},
                {"a:1", "b:1"},
                {{"a:1", "not-a-proxy@5"}},
                [](CommandRunConfig& c) {
                    c.detect = true;
                    c.rate = 1;
                },
                {"a:1@0"},
                {"aborted a:1 stopped@500"},
                500},
        // A report of a passing failure that comes after the stop was to wait for another try: aborted.
        RunCase{{"AFailureReportedAfterTheStop"},
                {"a:1"},
                {{"a:1", "reset@100"}},
                retries(2),
                {"a:1@0"},
                {"aborted a:1 stopped@100"},
                100},
        RunCase{{"AStopBeforeTheListIsTakenLeavesTheRestUnstarted"},
                {"a:1", "b:1", "c:1"},
                {},
                rate(1),
                {"a:1@0", "b:1@1000"},
                {"ok a:1 marker@10", "ok b:1 marker@1010"},
                1500},
        // Starts wait while the checks in flight hold every descriptor they may.
        RunCase{{"ADescriptorHoldWaitsForAReport"},
                {"10.0.0.1:1", "10.0.0.2:1", "10.0.0.3:1"},
                {{"10.0.0.1:1", "ok@500"}, {"10.0.0.2:1", "ok@700"}},
                [](CommandRunConfig& c) {
                    c.rate = 1000;
                    c.descriptors = 2;
                },
                {"10.0.0.1:1@0", "10.0.0.2:1@10", "10.0.0.3:1@500"},
                {"ok 10.0.0.1:1 marker@500", "ok 10.0.0.3:1 marker@510", "ok 10.0.0.2:1 marker@710"},
                -1,
                0,
                false,
                true},
        // A check that got no socket is made again, before the rest, once another has given its descriptors back; the
        // limit is then what was held when it failed.
        RunCase{{"NoSocketWhileOthersRunIsMadeAgain"},
                {"a:1", "b:1", "c:1", "d:1"},
                {{"a:1", "ok@300"}, {"b:1", "nosocket@1,ok@10"}},
                rate(100),
                {"a:1@0", "b:1@10", "b:1@300", "c:1@310", "d:1@320"},
                {"ok a:1 marker@300", "ok b:1 marker@310", "ok c:1 marker@320", "ok d:1 marker@330"},
                -1,
                0,
                false,
                true},
        // The first check is alone when it starts, not when its socket fails: others have come since.
        RunCase{{"TheFirstCheckWithoutASocketIsNotAloneOnceOthersRun"},
                {"a:1", "b:1", "c:1"},
                {{"a:1", "nosocket@15,ok@10"}, {"b:1", "ok@100"}, {"c:1", "ok@100"}},
                rate(1000),
                {"a:1@0", "b:1@10", "c:1@10", "a:1@110"},
                {"ok b:1 marker@110", "ok c:1 marker@110", "ok a:1 marker@120"},
                -1,
                0,
                false,
                true},
        // A check alone that gets no socket never will: the run ends, saying so.
        RunCase{{"NoSocketForACheckAloneStarves"},
                {"a:1", "b:1"},
                {{"a:1", "nosocket@0"}},
                rate(10),
                {"a:1@0"},
                {"aborted a:1 stopped@0"},
                -1,
                0,
                true},
        // The page itself goes down: the failures it caused are kept back, new checks wait while it is asked for
        // again, and once it answers, the checks that ended meanwhile are made again.
        RunCase{{"ThePageGoesDownAndComesBack"},
                {"a:1", "b:1", "c:1", "d:1", "e:1", "f:1"},
                {{"b:1", "proxy-denied@10,ok@10"},
                 {"c:1", "proxy-denied@10,ok@10"},
                 {"d:1", "proxy-denied@10,ok@10"},
                 {"", "proxy-denied@5,ok@5"}},
                farEnd(3),
                {"a:1@0", "b:1@100", "c:1@200", "d:1@300", "@310", "@2315", "b:1@2320", "c:1@2400", "d:1@2500",
                 "e:1@2600", "f:1@2700"},
                {"ok a:1 marker@10", "ok b:1 marker@2330", "ok c:1 marker@2410", "ok d:1 marker@2510",
                 "ok e:1 marker@2610", "ok f:1 marker@2710"},
                -1,
                0,
                false,
                false,
                true},
        // It does not come back in time: every proxy left is aborted, taken or not.
        RunCase{{"ThePageStaysDown"},
                {"a:1", "b:1", "c:1", "d:1", "e:1", "f:1"},
                {{"b:1", "proxy-denied@10"}, {"c:1", "not-a-judge@10"}, {"d:1", "no-marker@10"}, {"", "no-marker@5"}},
                farEnd(3, 3000),
                {"a:1@0", "b:1@100", "c:1@200", "d:1@300", "@310", "@2315"},
                {"ok a:1 marker@10", "aborted b:1 stopped@3315", "aborted c:1 stopped@3315", "aborted d:1 stopped@3315",
                 "aborted e:1 stopped@3315", "aborted f:1 stopped@3315"},
                -1,
                0,
                false,
                false,
                true,
                true},
        // The page answers: the failures were the proxies' own, reported as they were.
        RunCase{{"FailuresThatAreTheProxiesOwn"},
                {"a:1", "b:1", "c:1", "d:1", "e:1"},
                {{"b:1", "proxy-denied@10"}, {"c:1", "proxy-denied@10"}, {"d:1", "altered@10"}, {"", "ok@5"}},
                farEnd(3),
                {"a:1@0", "b:1@100", "c:1@200", "d:1@300", "@310", "e:1@400"},
                {"ok a:1 marker@10", "dead b:1 proxy-denied@315", "dead c:1 proxy-denied@315", "dead d:1 altered@315",
                 "ok e:1 marker@410"}},
        // A proxy that works vouches for the page: what was kept back goes out without asking.
        RunCase{{"AWorkingProxyVouchesForThePage"},
                {"a:1", "b:1", "c:1"},
                {{"a:1", "no-marker@10"}, {"b:1", "no-marker@10"}},
                farEnd(3),
                {"a:1@0", "b:1@100", "c:1@200"},
                {"dead a:1 no-marker@210", "dead b:1 no-marker@210", "ok c:1 marker@210"}},
        // Such failures last in the list: the page is asked about before the run ends.
        RunCase{{"FailuresLastAreAskedAbout"},
                {"a:1", "b:1"},
                {{"b:1", "no-marker@10"}},
                farEnd(3),
                {"a:1@0", "b:1@100", "@110"},
                {"ok a:1 marker@10", "dead b:1 no-marker@120"}},
        // Without a preflight the page is never asked for: such failures go out as they come.
        RunCase{{"WithoutThePreflightNothingIsKeptBack"},
                {"a:1", "b:1"},
                {{"a:1", "no-marker@10"}},
                rate(10),
                {"a:1@0", "b:1@100"},
                {"dead a:1 no-marker@10", "ok b:1 marker@110"}},
        // Busy drivers hold starts back; what fell behind is made up for 20 ms at most, not in a burst.
        RunCase{{"BusyDriversHoldStartsBack"},
                {"a:1", "b:1", "c:1", "d:1"},
                {},
                rate(100),
                {"a:1@50", "b:1@50", "c:1@50", "d:1@60"},
                {"ok a:1 marker@60", "ok b:1 marker@60", "ok c:1 marker@60", "ok d:1 marker@70"},
                -1,
                50}),
    caseName);

}  // namespace

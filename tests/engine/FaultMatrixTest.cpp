#include <gtest/gtest.h>
#include <sys/epoll.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "engine/loops/CommandLoop.h"
#include "engine/loops/PostQueue.h"
#include "engine/threads/CurlHttp.h"
#include "engine/threads/WindowRun.h"
#include "tests/support/Marker.h"
#include "tests/support/NamedCase.h"
#include "tests/support/ProcessCounts.h"
#include "tests/support/RunHarness.h"
#include "tests/support/SystemFaults.h"
#include "tests/support/TestServer.h"

namespace {

using namespace std::chrono_literals;

const Target kTarget{"http://127.0.0.1:9/page", kTestMarker};  // the "proxies" below answer for it themselves
const CheckLimits kShort{1000ms, 1000ms, 3000ms};

// Runs the proxies through a check run as the window does and returns the result lines once it ends.
std::vector<std::string> check(const std::vector<std::string>& proxies, std::chrono::milliseconds pause = 1ms) {
    RunConfig config;
    config.http = std::make_shared<CurlHttpLayer>(kShort);
    config.target = kTarget;
    config.wavePause = pause;
    return checkThroughRun(proxies, config);
}

// The same through the command's event loops, `rate` a second.
std::vector<std::string> checkLooped(const std::vector<std::string>& proxies, int rate = 1000) {
    CommandRunConfig config;
    config.target = kTarget;
    config.curl.limits = kShort;
    config.rate = rate;
    config.loops = 2;
    return checkThroughLoops(proxies, config);
}

struct Fault : NamedCase {
    std::function<void(TestServer::Connection&)> play;  // null: nothing listens on the port
    ProbeOutcome outcome;
};

class FaultMatrix : public ::testing::TestWithParam<Fault> {};

TEST_P(FaultMatrix, EndsWithTheRightOutcomeAndLeavesNothingBehind) {
    const Fault& fault = GetParam();
    const long fds = openDescriptors();
    const long threads = liveThreads();
    {
        std::unique_ptr<TestServer> server;
        const ClosedPort closed;
        std::string proxy = closed.address();
        if (fault.play) {
            server = std::make_unique<TestServer>(fault.play);
            proxy = server->address();
        }
        const std::vector<std::string> want{resultLine(fault.outcome, proxy)};
        EXPECT_EQ(check({proxy}), want);
        EXPECT_EQ(checkLooped({proxy}), want) << "through the event loops";
    }
    EXPECT_EQ(openDescriptors(), fds);
    EXPECT_EQ(liveThreads(), threads);
}

INSTANTIATE_TEST_SUITE_P(
    All, FaultMatrix,
    ::testing::Values(
        Fault{"Refused", nullptr, ProbeOutcome::Dead},
        Fault{"NeverAnswers", [](TestServer::Connection& c) { c.sleep(30s); }, ProbeOutcome::Dead},
        Fault{"GarbageNotHttp", [](TestServer::Connection& c) { c.send("\x01\x02garbage, not HTTP at all\r\n\r\n"); },
              ProbeOutcome::Dead},
        Fault{"ResetMidBody",
              [](TestServer::Connection& c) {
                  c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(5000, 'x'));
                  c.sleep(100ms);
                  c.reset();
              },
              ProbeOutcome::Dead},
        Fault{"EndlessBodyWithoutMarker",
              [](TestServer::Connection& c) {
                  c.send("HTTP/1.1 200 OK\r\n\r\n");
                  const std::string block(16384, 'x');
                  while (c.send(block)) {
                  }
              },
              ProbeOutcome::Dead},
        Fault{"RedirectLoop",
              [](TestServer::Connection& c) { c.send(httpResponse(302, "", "Location: " + kTarget.url + "\r\n")); },
              ProbeOutcome::Dead},
        Fault{"MegabyteOfHeaders",
              [](TestServer::Connection& c) {
                  c.send("HTTP/1.1 200 OK\r\n");
                  const std::string header = "X-Filler: " + std::string(1000, 'h') + "\r\n";
                  for (int i = 0; i < 1000 && c.send(header); ++i) {
                  }
                  c.send("\r\n" + kTestMarker);
              },
              ProbeOutcome::Dead},
        Fault{"TrickleOfBytes",
              [](TestServer::Connection& c) {
                  c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
                  while (c.sleep(300ms) && c.send("x")) {
                  }
              },
              ProbeOutcome::Dead},
        Fault{"TlsServer",
              [](TestServer::Connection& c) { c.send(std::string("\x15\x03\x01\x00\x02\x02\x46", 7)); },  // alert
              ProbeOutcome::Dead},
        Fault{"ChunkedMarkerAcrossChunks",
              [](TestServer::Connection& c) {
                  c.send(chunkedResponse(std::vector<std::string>{std::string(20000, 'x') + "Apple Inc. All",
                                                                  " rights reserved.</html>"}));
              },
              ProbeOutcome::Working},
        Fault{"MarkerBeforeAReset",
              [](TestServer::Connection& c) {
                  c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n<p>" + kTestMarker);
                  c.sleep(100ms);
                  c.reset();
              },
              ProbeOutcome::Working}),
    caseName);

// A failure of the loop's own calls is ours, said at once as an error: not the proxy's silence, found out later.
struct LoopFault : NamedCase {
    faults::Call call;
    int times;
};
class LoopFaults : public ::testing::TestWithParam<LoopFault> {};

TEST_P(LoopFaults, ReadError) {
    TestServer silent([](TestServer::Connection& c) { c.sleep(30s); });
    PostQueue queue;
    std::optional<DriverReport> report;
    const Poster post = queue.poster();
    CommandLoop loop;
    const auto plan = std::make_shared<const CheckPlan>(CheckPlan{kTarget, CheckSettings{kShort, {}}});
    const auto driver =
        loop.checks(plan, [&, post](std::vector<DriverReport>&& done) { post([&, r = done.front()] { report = r; }); });
    faults::fail(GetParam().call, GetParam().times);
    driver->start(1, silent.address());
    queue.runUntil(std::chrono::steady_clock::now() + 5s, [&] { return report.has_value(); });
    faults::clear();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->verdict.outcome, ProbeOutcome::Dead);
    EXPECT_EQ(report->verdict.reason, Reason::Error);
}

INSTANTIATE_TEST_SUITE_P(All, LoopFaults,
                         ::testing::Values(LoopFault{{"ASocketThatCannotBeWatched"}, faults::Call::Watch, -1},
                                           LoopFault{{"AWaitThatFails"}, faults::Call::Wait, 1},
                                           LoopFault{{"LibcurlThatFails"}, faults::Call::SocketAction, 1}),
                         caseName);

// Two thousand checks over a mixed farm: each completes once, the count reaches the total, nothing leaks.
TEST(Soak, TwoThousandChecksOverAMixedFarm) {
    const long fds = openDescriptors();
    const long threads = liveThreads();
    {
        TestServer ok([](TestServer::Connection& c) { c.send(httpResponse(200, "<p>" + kTestMarker + "</p>")); });
        TestServer plain([](TestServer::Connection& c) { c.send(httpResponse(200, "<p>plain</p>")); });
        TestServer garbage([](TestServer::Connection& c) { c.send("no http here\r\n\r\n"); });
        TestServer late([](TestServer::Connection& c) {
            c.sleep(50ms);
            c.send(httpResponse(200, std::string(30000, 'x') + kTestMarker));
        });
        const ClosedPort closed;
        const std::string dead = closed.address();
        const std::vector<std::string> farm = {ok.address(), plain.address(), garbage.address(), late.address(), dead};
        std::vector<std::string> proxies;
        for (int i = 0; i < 2000; ++i) proxies.push_back(farm[std::size_t(i) % farm.size()]);

        // A thread each, then the loops, at a pace the farm's thread-per-connection servers keep up with also
        // under the thread sanitizer: a server that answers late makes dead proxies.
        for (const auto& lines : {check(proxies, 5ms), checkLooped(proxies, 250)}) {
            ASSERT_EQ(lines.size(), 2000u);
            std::map<std::string, int> counts;
            for (const auto& l : lines) ++counts[l];
            EXPECT_EQ(counts[resultLine(ProbeOutcome::Working, ok.address())], 400);
            EXPECT_EQ(counts[resultLine(ProbeOutcome::Working, late.address())], 400);
            EXPECT_EQ(counts[resultLine(ProbeOutcome::Dead, plain.address())], 400);
            EXPECT_EQ(counts[resultLine(ProbeOutcome::Dead, garbage.address())], 400);
            EXPECT_EQ(counts[resultLine(ProbeOutcome::Dead, dead)], 400);
        }
        EXPECT_EQ(ok.connections() + plain.connections() + garbage.connections() + late.connections(), 3200);
    }
    EXPECT_EQ(openDescriptors(), fds);
    EXPECT_EQ(liveThreads(), threads);
}

}  // namespace

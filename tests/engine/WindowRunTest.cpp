#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>

#include "engine/loops/PostQueue.h"
#include "engine/rules/ProcessSetup.h"
#include "engine/threads/CurlHttp.h"
#include "engine/threads/WindowRun.h"
#include "tests/support/FakeHttp.h"
#include "tests/support/FakeRunView.h"
#include "tests/support/LocalProxy.h"
#include "tests/support/TestServer.h"
#include "ui/RunTexts.h"

namespace {

using namespace std::chrono_literals;

// Records what the run did to the window, at the moments it matters.
class RecordingView : public FakeRunView {
  public:
    std::vector<std::string> totalAtAppend;
    std::string countWhenFinished;
    void resultAdded(const CheckResult& r) override {
        totalAtAppend.push_back(max);
        FakeRunView::resultAdded(r);
    }
    void statusChanged(RunStatus s) override {
        if (s == RunStatus::Finished) countWhenFinished = now;
        FakeRunView::statusChanged(s);
    }
};

std::string lines(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& s : items) text += s + "\r\n";
    return text;
}

std::vector<std::string> names(const std::string& prefix, int n) {
    std::vector<std::string> v;
    for (int i = 0; i < n; ++i) v.push_back(prefix + std::to_string(i));
    return v;
}

class WindowRunTest : public ::testing::Test {
  protected:
    RunConfig config() {
        RunConfig c;
        c.http = http;
        // The window's queue, counting what the checks post and what of it runs.
        c.post = [this](std::function<void()> f) {
            ++posted;
            queue.poster()([this, f = std::move(f)] {
                ++ran;
                f();
            });
        };
        c.wavePause = 1ms;
        c.pause = [this](std::chrono::milliseconds, const std::function<bool()>&) { ++pauses; };
        return c;
    }
    // Runs what the checks post until `done` holds or `limit` has passed; whether it holds.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        queue.runUntil(std::chrono::steady_clock::now() + limit, done);
        return done();
    }
    bool finishes() {
        return runUntil([&] { return view.flag == texts::kFlagOff && run->checksInFlight() == 0; }, 10s);
    }

    std::shared_ptr<FakeHttp> http = std::make_shared<FakeHttp>();
    PostQueue queue;
    std::atomic<int> posted{0};
    int ran = 0;
    RecordingView view;
    int pauses = 0;
    std::unique_ptr<WindowRun> run;
};

TEST_F(WindowRunTest, TwentyFiveProxiesRunInThreeWavesAndFinishWithTheLast) {
    std::vector<std::string> proxies = names("ok", 13);
    for (auto& d : names("dead", 12)) proxies.push_back(d);
    view.proxies.setText(lines(proxies));
    run = std::make_unique<WindowRun>(view, config());
    run->start();
    EXPECT_EQ(pauses, 3);
    EXPECT_EQ(view.max, "25");
    EXPECT_EQ(view.statusText, texts::kStatusRunning);
    ASSERT_TRUE(finishes());
    EXPECT_EQ(view.countWhenFinished, "25");
    EXPECT_EQ(view.now, "25");
    EXPECT_EQ(view.statusText, texts::kStatusFinished);
    ASSERT_EQ(view.results.count(), 26u);
    EXPECT_EQ(view.results.line(0), "");
    std::multiset<std::string> got, want;
    for (std::size_t i = 1; i < 26; ++i) got.insert(view.results.line(i));
    for (int i = 0; i < 13; ++i) want.insert(resultLine(ProbeOutcome::Working, "ok" + std::to_string(i)));
    for (int i = 0; i < 12; ++i) want.insert(resultLine(ProbeOutcome::Dead, "dead" + std::to_string(i)));
    EXPECT_EQ(got, want);
    // Slot k last got line 20+k-1 where the third wave reached it, line 10+k-1 elsewhere.
    EXPECT_EQ(run->checkSlots()[0].proxy, "dead7");
    EXPECT_EQ(run->checkSlots()[9].proxy, "dead6");
}

TEST_F(WindowRunTest, BlankLinesStartNothingAndAreNotCounted) {
    view.proxies.setText("ok1\r\n\r\nok2\r\n\r\n\r\nok3");
    run = std::make_unique<WindowRun>(view, config());
    run->start();
    EXPECT_EQ(view.max, "3");
    ASSERT_TRUE(finishes());
    EXPECT_EQ(http->opened(), (std::vector<std::string>{"ok1", "ok2", "ok3"}));
    EXPECT_EQ(view.results.count(), 4u);
}

TEST_F(WindowRunTest, EmptyListAndBlankOnlyListStartNothingAndStayOn) {
    run = std::make_unique<WindowRun>(view, config());
    run->start();
    EXPECT_EQ(pauses, 0);
    EXPECT_EQ(view.max, "0");
    EXPECT_EQ(view.now, "0");
    EXPECT_EQ(view.flag, "on");
    view.proxies.setText("\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n");
    run->start();
    EXPECT_EQ(pauses, 2);
    EXPECT_EQ(view.max, "0");
    EXPECT_EQ(view.flag, "on");
}

TEST_F(WindowRunTest, AbortStopsTheNewestCheckOfEachSlotAndAppendsNothingMore) {
    view.proxies.setText(lines(names("hold", 15)));
    run = std::make_unique<WindowRun>(view, config());
    run->start();
    EXPECT_EQ(view.max, "15");
    run->abort();
    EXPECT_EQ(view.flag, "off");
    EXPECT_EQ(view.statusText, texts::kStatusAborted);
    // The ten newest checks see the stop; the first wave's checks in slots 1-5 run on.
    ASSERT_TRUE(runUntil([&] { return view.now == "10"; }, 10s));
    EXPECT_EQ(run->checksInFlight(), 5u);
    EXPECT_EQ(view.statusText, texts::kStatusAborted);
    http->release();
    ASSERT_TRUE(finishes());
    EXPECT_EQ(view.now, "15");
    EXPECT_EQ(view.statusText, texts::kStatusFinished);
    EXPECT_EQ(view.results.text(), "\r\n");
    run->abort();  // not running: nothing happens
    EXPECT_EQ(view.statusText, texts::kStatusFinished);
}

TEST_F(WindowRunTest, StartTwiceCountsOlderChecksTowardTheNewRun) {
    view.proxies.setText(lines(names("hold", 3)));
    run = std::make_unique<WindowRun>(view, config());
    run->start();
    run->start();
    EXPECT_EQ(view.now, "0");
    EXPECT_EQ(view.max, "3");
    http->release();
    ASSERT_TRUE(finishes());
    EXPECT_EQ(view.countWhenFinished, "3");
    EXPECT_EQ(view.now, "6");  // the rest counted without lines
    EXPECT_EQ(view.results.count(), 4u);
}

TEST_F(WindowRunTest, CompletionsDuringDispatchWaitForTheTotalWhateverTheLoopDoes) {
    view.proxies.setText(lines(names("dead", 25)));
    RunConfig c = config();
    // An event loop that runs posted work during the pause, as the window's does.
    c.pause = [this](std::chrono::milliseconds, const std::function<bool()>&) {
        ++pauses;
        runUntil([] { return false; }, 20ms);
    };
    run = std::make_unique<WindowRun>(view, std::move(c));
    run->start();
    EXPECT_EQ(view.max, "25");
    ASSERT_TRUE(finishes());
    EXPECT_EQ(view.totalAtAppend, std::vector<std::string>(25, "25"));
    EXPECT_EQ(view.countWhenFinished, "25");
}

// Under a task limit: a line whose thread cannot be made is tried again after each pause until it starts.
TEST_F(WindowRunTest, ACheckThreadThatCannotBeCreatedIsTriedAgainAfterThePause) {
    view.proxies.setText(lines(names("ok", 14)));
    RunConfig c = config();
    int calls = 0;
    std::vector<int> pausesAtFailure;
    c.spawn = [&](std::function<void()> body) {
        ++calls;
        // The second line fails three times (calls 2, 11, 12); the whole second wave once (14 to 17).
        if (calls == 2 || calls == 11 || calls == 12 || (calls >= 14 && calls <= 17)) {
            pausesAtFailure.push_back(pauses);
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return std::thread(std::move(body));
    };
    run = std::make_unique<WindowRun>(view, std::move(c));
    run->start();
    EXPECT_EQ(view.max, "14");  // each started check counted once
    EXPECT_EQ(pausesAtFailure, (std::vector<int>{0, 1, 2, 4, 4, 4, 4}));
    EXPECT_EQ(pauses, 6);  // never more than one wave of starts between two pauses
    ASSERT_TRUE(finishes());
    EXPECT_EQ(view.results.count(), 15u);
    EXPECT_EQ(view.countWhenFinished, "14");
}

// At the cap on checks in flight (the descriptor limit's), a line waits for room as a failed thread does.
TEST_F(WindowRunTest, ALineAtTheCapWaitsForACheckToEnd) {
    view.proxies.setText(lines(names("hold", 3)) + lines(names("ok", 4)));
    RunConfig c = config();
    c.maxChecksInFlight = 3;
    std::size_t most = 0;
    c.pause = [&](std::chrono::milliseconds, const std::function<bool()>&) {
        most = std::max(most, run->checksInFlight());
        if (++pauses == 2) http->release();
        runUntil([&] { return run->checksInFlight() < 3; }, 100ms);
    };
    run = std::make_unique<WindowRun>(view, std::move(c));
    run->start();
    EXPECT_EQ(view.max, "7");
    EXPECT_EQ(most, 3u);
    EXPECT_GE(pauses, 3);
    ASSERT_TRUE(finishes());
    EXPECT_EQ(view.results.count(), 8u);
}

TEST_F(WindowRunTest, AnInterruptedDispatchStartsNoFurtherWave) {
    view.proxies.setText(lines(names("hold", 35)));
    RunConfig c = config();
    c.pause = [&](std::chrono::milliseconds, const std::function<bool()>& interrupted) {
        if (++pauses == 2) run->interruptDispatch();
        EXPECT_EQ(interrupted(), pauses == 2);
    };
    run = std::make_unique<WindowRun>(view, std::move(c));
    run->start();
    EXPECT_EQ(pauses, 2);
    EXPECT_EQ(view.max, "20");
    EXPECT_EQ(run->checksInFlight(), 20u);
    http->release();
    ASSERT_TRUE(finishes());
    EXPECT_EQ(view.results.count(), 21u);
}

TEST_F(WindowRunTest, CompletionsAfterTheRunIsGoneAreDropped) {
    view.proxies.setText(lines(names("ok", 5)));
    run = std::make_unique<WindowRun>(view, config());
    run->start();
    while (posted < 5) std::this_thread::sleep_for(1ms);
    run.reset();
    runUntil([] { return false; }, 0ms);  // what was posted runs, and finds the run gone
    EXPECT_EQ(ran, 5);
    EXPECT_EQ(view.now, "0");
    EXPECT_EQ(view.results.text(), "\r\n");
}

TEST_F(WindowRunTest, DestroyingTheRunEndsHeldChecksWithoutCompletions) {
    view.proxies.setText(lines(names("hold", 12)));
    run = std::make_unique<WindowRun>(view, config());
    run->start();
    run->stopOnClose();
    EXPECT_EQ(view.statusText, texts::kStatusAborted);
    run.reset();  // must not wait for the held checks' release
    EXPECT_EQ(posted, 0);
}

// Thirty real proxies at the real pace: tinyproxy to a page with and without the marker, and dead ports.
TEST(WindowRunEndToEnd, ThirtyProxiesAtTheRealPace) {
    TinyProxy proxy;
    TestServer site([](TestServer::Connection& c) { c.send(httpResponse(200, "<html>" + kTestMarker + "</html>")); });
    TestServer webOnly([](TestServer::Connection& c) { c.send(httpResponse(200, "<html>plain</html>")); });
    const ClosedPort closed;
    std::vector<std::string> proxies;
    std::multiset<std::string> want;
    for (int i = 0; i < 30; ++i) {
        std::string p;
        ProbeOutcome o;
        switch (i % 3) {
            case 0:
                p = proxy.address(), o = ProbeOutcome::Working;
                break;
            case 1:
                p = closed.address(), o = ProbeOutcome::Dead;
                break;
            default:
                p = webOnly.address(), o = ProbeOutcome::Dead;
        }
        proxies.push_back(p);
        want.insert(resultLine(o, p));
    }
    FakeRunView view;
    view.proxies.setText(lines(proxies));
    PostQueue queue;
    RunConfig config;
    config.http = std::make_shared<CurlHttpLayer>();
    config.post = queue.poster();
    config.target = Target{site.url("/"), kTestMarker};
    WindowRun run(view, config);
    run.start();
    EXPECT_EQ(view.max, "30");
    queue.runUntil(std::chrono::steady_clock::now() + 30s, [&] { return view.flag == "off"; });
    ASSERT_EQ(view.flag, "off");
    std::multiset<std::string> got;
    for (std::size_t i = 1; i < view.results.count(); ++i) got.insert(view.results.line(i));
    EXPECT_EQ(got, want);
    EXPECT_EQ(view.statusText, texts::kStatusFinished);
}

// Hundreds of checks in flight need more descriptors than a desktop's soft limit allows.
TEST(ManyChecks, TheDescriptorLimitIsRaisedToTheHardOne) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = std::min<rlim_t>(64, files.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &files);
        const ProcessSetup setup;
        rlimit after{};
        ::getrlimit(RLIMIT_NOFILE, &after);
        ::_exit(after.rlim_cur == files.rlim_max ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace

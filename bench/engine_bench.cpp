// Engine figures: memory per check in flight, and threads/descriptors left after many checks.
#include <curl/curl.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/loops/PostQueue.h"
#include "engine/rules/ProcessSetup.h"
#include "engine/threads/CurlHttp.h"
#include "engine/threads/Unit_kusith.h"
#include "engine/threads/WindowRun.h"
#include "tests/support/FakeRunView.h"
#include "tests/support/LocalProxy.h"
#include "tests/support/Marker.h"
#include "tests/support/ProcessCounts.h"
#include "tests/support/TestServer.h"

namespace {

using namespace std::chrono_literals;

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

// Runs a server in a child process, so its threads and buffers stay out of our own figures.
struct ChildServer {
    pid_t pid = -1;
    std::uint16_t port = 0;
    template <typename Handler>
    explicit ChildServer(Handler handler) {
        int fds[2];
        if (::pipe(fds) != 0) std::abort();
        pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            TestServer server(handler);
            const std::uint16_t p = server.port();
            if (::write(fds[1], &p, sizeof p) != sizeof p) ::_exit(1);
            ::pause();
            ::_exit(0);
        }
        ::close(fds[1]);
        if (::read(fds[0], &port, sizeof port) != sizeof port) std::abort();
        ::close(fds[0]);
    }
    ~ChildServer() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

// Completions counted without a window: the poster runs them on the spot under a lock.
struct Counter {
    std::mutex mutex;
    std::condition_variable changed;
    int done = 0;
    Poster poster() {
        return [this](std::function<void()> f) {
            {
                std::lock_guard lock(mutex);
                f();
            }
            changed.notify_all();
        };
    }
};

std::vector<std::unique_ptr<kusi_check_thread>> launch(int n, const std::string& proxy, const Target& target,
                                                       std::shared_ptr<const HttpLayer> http, Counter& counter) {
    std::vector<std::unique_ptr<kusi_check_thread>> checks;
    for (int i = 0; i < n; ++i) {
        checks.push_back(std::make_unique<kusi_check_thread>(i % 10 + 1, proxy, http, target, counter.poster(),
                                                             [&counter](CheckResult) { ++counter.done; }));
        checks.back()->Resume(defaultSpawner());
    }
    return checks;
}

double cpuMs() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// Blocks, like a join, so that waiting costs no CPU of its own.
void waitFor(Counter& counter, int n) {
    std::unique_lock lock(counter.mutex);
    counter.changed.wait(lock, [&] { return counter.done >= n; });
}

struct Figures {
    std::vector<std::pair<std::string, std::string>> items;
    std::map<std::string, double> values;
    void add(const std::string& name, double value, int decimals = 1) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
        items.emplace_back(name, text);
        values[name] = value;
        std::printf("%-28s %s\n", name.c_str(), text);
        std::fflush(stdout);
    }
};

// Memory per check held open by a server that answers slowly, and what is left after they are given up.
void inflight(Figures& f, int n, const std::shared_ptr<const HttpLayer>& http) {
    ChildServer slow([](TestServer::Connection& c) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        while (c.sleep(3s) && c.send("x")) {
        }
    });
    const long fdsBefore = openDescriptors();
    const long threadsBefore = liveThreads();
    const long rssBefore = residentKiB();
    Counter counter;
    {
        auto checks = launch(n, "127.0.0.1:" + std::to_string(slow.port), Target{"http://127.0.0.1:9/", kTestMarker},
                             http, counter);
        std::this_thread::sleep_for(4s);
        f.add("checks_in_flight", liveThreads() - threadsBefore, 0);
        f.add("inflight_kib_per_check", double(residentKiB() - rssBefore) / n);
        for (auto& c : checks) c->stopRequest()->abandon();
    }  // the handles wait for their threads
    f.add("leak_fds", openDescriptors() - fdsBefore, 0);
    f.add("leak_threads", liveThreads() - threadsBefore, 0);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// CPU per completed check of a 200 KB page with the marker at its end, beside a bare libcurl loop: each figure the
// median of five rounds, the ways interleaved in each, so that a noisy machine weighs on all of them alike.
void cpu(Figures& f, int n, const std::shared_ptr<const HttpLayer>& http) {
    const std::string page = std::string(200 * 1024, 'x') + kTestMarker;
    ChildServer instant([page](TestServer::Connection& c) { c.send(httpResponse(200, page)); });
    const std::string proxy = "127.0.0.1:" + std::to_string(instant.port);
    const Target target{"http://127.0.0.1:9/page", kTestMarker};

    const auto fetch = [&] {
        CURL* h = curl_easy_init();
        curl_easy_setopt(h, CURLOPT_URL, target.url.c_str());
        curl_easy_setopt(h, CURLOPT_PROXY, proxy.c_str());
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(
            h, CURLOPT_WRITEFUNCTION, +[](char*, std::size_t, std::size_t k, void*) { return k; });
        curl_easy_perform(h);
        curl_easy_cleanup(h);
    };
    const int rounds = 5;
    const int each = std::max(n / rounds, 1);  // fetches of each way in a round
    const auto perCheck = [&](const std::function<void()>& way) {
        const double start = cpuMs();
        way();
        return (cpuMs() - start) / each;
    };
    std::vector<double> bare, threaded, paced, ours, probeOnly, ratio, ratioThreaded;
    for (int round = 0; round < rounds; ++round) {
        bare.push_back(perCheck([&] {
            for (int i = 0; i < each; ++i) fetch();
        }));
        threaded.push_back(perCheck([&] {  // the same with a thread per fetch
            for (int i = 0; i < each; ++i) std::thread(fetch).join();
        }));
        paced.push_back(perCheck([&] {  // waves of ten threads every 100 ms, each joined once it is done
            for (int wave = 0; wave * 10 < each; ++wave) {
                std::vector<std::thread> threads;
                for (int i = wave * 10; i < std::min(each, wave * 10 + 10); ++i) threads.emplace_back(fetch);
                std::this_thread::sleep_for(100ms);
                for (auto& t : threads) t.join();
            }
        }));
        Counter counter;
        ours.push_back(perCheck([&] {
            for (int i = 0; i < each; ++i) {  // one at a time, as the bare loop does
                auto checks = launch(1, proxy, target, http, counter);
                waitFor(counter, i + 1);
            }
        }));
        probeOnly.push_back(perCheck([&] {
            for (int i = 0; i < each; ++i) {
                StopRequest stop;
                runProbe(*http, target, proxy, stop);
            }
        }));
        ratio.push_back(ours.back() / bare.back());
        ratioThreaded.push_back(ours.back() / threaded.back());
    }
    f.add("probe_only_cpu_ms", median(probeOnly), 3);
    f.add("cpu_ms_per_check", median(ours), 3);
    f.add("bare_cpu_ms_per_fetch", median(bare), 3);
    f.add("bare_threaded_cpu_ms", median(threaded), 3);
    f.add("bare_paced_cpu_ms", median(paced), 3);
    f.add("cpu_ratio", median(ratio), 2);
    f.add("cpu_ratio_vs_threaded", median(ratioThreaded), 2);
}

// A whole run of 200 instant proxies at the real pace, against the pace limit plus the slowest check.
void runOverhead(Figures& f, const std::shared_ptr<const HttpLayer>& http) {
    ChildServer instant([](TestServer::Connection& c) { c.send(httpResponse(200, "<p>" + kTestMarker + "</p>")); });
    const std::string proxy = "127.0.0.1:" + std::to_string(instant.port);
    const Target target{"http://127.0.0.1:9/", kTestMarker};

    double slowest = 0;
    Counter counter;
    for (int i = 0; i < 20; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        auto checks = launch(1, proxy, target, http, counter);
        waitFor(counter, i + 1);
        slowest =
            std::max(slowest, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }

    FakeRunView view;
    for (int i = 0; i < 200; ++i) view.proxies.append(proxy);
    PostQueue queue;
    RunConfig config;
    config.http = http;
    config.post = queue.poster();
    config.target = target;
    WindowRun run(view, config);
    const auto t0 = std::chrono::steady_clock::now();
    run.start();
    queue.runUntil(std::chrono::steady_clock::now() + 120s, [&] { return view.flag == "off"; });
    const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    f.add("run_200_ms", wall, 0);
    f.add("slowest_check_ms", slowest, 1);
    f.add("run_overhead", wall / (20 * 1000.0 + slowest), 4);
}

}  // namespace

int main(int argc, char** argv) {
    const int inflightChecks = argc > 1 ? std::atoi(argv[1]) : 1000;
    const ProcessSetup setup;
    auto http = std::make_shared<CurlHttpLayer>();
    Figures f;
    inflight(f, inflightChecks, http);
    cpu(f, 300, http);
    runOverhead(f, http);
    for (const auto& [name, value] : f.items) std::printf("%s=%s ", name.c_str(), value.c_str());
    std::printf("\n");
    return 0;
}

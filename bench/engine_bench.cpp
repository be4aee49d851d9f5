// Engine figures: memory per check in flight, and threads/descriptors left after many checks.
#include <curl/curl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/CurlHttp.h"
#include "engine/Unit_kusith.h"
#include "tests/support/TestServer.h"
#include "tests/support/TinyProxy.h"

namespace {

using namespace std::chrono_literals;
const std::string kMarker = "Apple Inc. All rights reserved.";

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

long entries(const char* dir) {
    long n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
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
    int done = 0;
    Poster poster() {
        return [this](std::function<void()> f) {
            std::lock_guard lock(mutex);
            f();
        };
    }
};

std::vector<std::unique_ptr<kusi_check_thread>> launch(int n, const std::string& proxy, const Target& target,
                                                       std::shared_ptr<const HttpLayer> http, Counter& counter) {
    std::vector<std::unique_ptr<kusi_check_thread>> checks;
    for (int i = 0; i < n; ++i) {
        checks.push_back(
            std::make_unique<kusi_check_thread>(i % 10 + 1, proxy, http, target, counter.poster(),
                                                [&counter](ProbeOutcome, const std::string&) { ++counter.done; }));
        checks.back()->Resume(defaultSpawner());
    }
    return checks;
}

}  // namespace

int main(int argc, char** argv) {
    const int inflight = argc > 1 ? std::atoi(argv[1]) : 1000;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    auto http = std::make_shared<CurlHttpLayer>();

    // Headers at once, then one byte every few seconds and never the marker: checks stay in their read loop.
    ChildServer slow([](TestServer::Connection& c) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        while (c.sleep(3s) && c.send("x")) {
        }
    });
    const long fdsBefore = entries("/proc/self/fd");
    const long threadsBefore = entries("/proc/self/task");
    const long rssBefore = residentKiB();
    Counter counter;
    {
        auto checks = launch(inflight, "127.0.0.1:" + std::to_string(slow.port), Target{"http://127.0.0.1:9/", kMarker},
                             http, counter);
        std::this_thread::sleep_for(4s);
        const long rssHeld = residentKiB();
        std::printf("checks in flight          %d\n", inflight);
        std::printf("threads in flight         %ld\n", entries("/proc/self/task") - threadsBefore);
        std::printf("rss added                 %ld KiB\n", rssHeld - rssBefore);
        std::printf("inflight_kib_per_check    %.1f\n", double(rssHeld - rssBefore) / inflight);
        for (auto& c : checks) c->stopRequest()->abandon();
    }  // handles join their threads
    std::printf("leak_fds=%ld leak_threads=%ld (after abandoning them)\n", entries("/proc/self/fd") - fdsBefore,
                entries("/proc/self/task") - threadsBefore);

    // 200 checks through a real tinyproxy to a page with the marker, all run to completion.
    {
        TinyProxy proxy;
        ChildServer site([](TestServer::Connection& c) { c.send(httpResponse(200, "<p>" + kMarker + "</p>")); });
        const long fds0 = entries("/proc/self/fd");
        const long threads0 = entries("/proc/self/task");
        Counter done;
        auto checks = launch(200, proxy.address(),
                             Target{"http://127.0.0.1:" + std::to_string(site.port) + "/", kMarker}, http, done);
        while (true) {
            {
                std::lock_guard lock(done.mutex);
                if (done.done == 200) break;
            }
            std::this_thread::sleep_for(10ms);
        }
        checks.clear();
        std::printf("200 checks completed: leak_fds=%ld leak_threads=%ld\n", entries("/proc/self/fd") - fds0,
                    entries("/proc/self/task") - threads0);
    }
    curl_global_cleanup();
    return 0;
}

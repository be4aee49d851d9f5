// The pool at the sizes users have: a round's verdicts, a choice under each rotation with as many live sticky pairs,
// a reload, and the status page built beside the choices. CPU time on one thread; the last line is name=value pairs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "cli/Diagnostics.h"
#include "cli/Output.h"
#include "engine/loops/ProxyPool.h"
#include "gate/Gate.h"
#include "gate/StatusPage.h"

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

std::vector<std::string> listOf(std::size_t n, std::size_t salt = 0) {
    std::vector<std::string> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        out.push_back("socks5://10." + std::to_string((i + salt) >> 16 & 255) + "." +
                      std::to_string((i + salt) >> 8 & 255) + "." + std::to_string((i + salt) & 255) + ":1080");
    return out;
}

std::size_t choicesOf(std::size_t n) {
    return std::min<std::size_t>(n, 100'000);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::stoul(argv[1]) : 100'000;
    std::string pairs;
    const auto now = Clock::now();
    Verdict works{ProbeOutcome::Working, Reason::Marker};
    works.connectMs = 40;

    for (const auto rotation : {ProxyPool::Rotation::Each, ProxyPool::Rotation::Random, ProxyPool::Rotation::Fastest}) {
        const char* name = rotation == ProxyPool::Rotation::Each     ? "each"
                           : rotation == ProxyPool::Rotation::Random ? "random"
                                                                     : "fastest";
        ProxyPool pool({rotation, std::chrono::minutes(10), 3});
        double at = cpuSeconds();
        const std::vector<std::uint64_t> ids = pool.update(listOf(n));
        const double load = cpuSeconds() - at;
        at = cpuSeconds();
        for (const std::uint64_t id : ids) pool.checked(id, works, "socks5://x:1", now);
        const double round = cpuSeconds() - at;
        for (std::size_t i = 0; i < n; ++i) pool.served(ids[i], std::chrono::milliseconds(1 + i % 300));
        // As many live sticky pairs as proxies, then choices among them and new ones.
        for (std::size_t i = 0; i < n; ++i)
            pool.choose("192.0.2." + std::to_string(i % 250), std::to_string(i), {}, now);
        const std::size_t choices = 200'000;
        at = cpuSeconds();
        for (std::size_t i = 0; i < choices; ++i)
            pool.choose("192.0.2." + std::to_string(i % 250), std::to_string(i * 7 % (2 * n)), {}, now);
        const double choice = (cpuSeconds() - at) / double(choices) * 1e6;
        at = cpuSeconds();
        pool.update(listOf(n, n / 2));  // half the lines new, half kept
        const double reload = cpuSeconds() - at;
        std::printf(
            "%-8s %zu proxies: list read %.0f ms, a round's verdicts %.0f ms (target <= 1000), a choice %.2f us "
            "with %zu sticky pairs (target <= 10), a reload of half new lines %.0f ms (target <= 1000)\n",
            name, n, load * 1e3, round * 1e3, choice, n, reload * 1e3);
        pairs += std::string(" pool_round_ms_") + name + "=" + std::to_string(long(round * 1e3)) + " pool_choice_us_" +
                 name + "=" + std::to_string(choice) + " pool_reload_ms_" + name + "=" +
                 std::to_string(long(reload * 1e3));
    }

    // What a user name asks: exits in 50 countries of three anonymities each, as many sessions as proxies kept open,
    // then choices with a country, an anonymity and a session, of a session already there and of a new one.
    {
        ProxyPool::Settings settings{ProxyPool::Rotation::Each, {}, 3};
        settings.maxSessions = 2 * n + choicesOf(n);
        ProxyPool pool(settings);
        const std::vector<std::uint64_t> ids = pool.update(listOf(n));
        const auto country = [](std::size_t i) {
            return std::string{char('A' + i % 50 / 26), char('A' + i % 50 % 26)};
        };
        for (std::size_t i = 0; i < ids.size(); ++i) {
            Verdict v = works;
            v.country = country(i);
            v.sighting = Sighting{"198.51.100.1", Anonymity(i / 50 % 3), {}};
            pool.checked(ids[i], v, "socks5://x:1", now);
        }
        ProxyPool::Want want;
        want.least = Anonymity::Anonymous;
        const auto ask = [&](std::size_t i, const std::string& prefix) {
            want.countries = {country(i)};
            want.session = prefix + std::to_string(i % n);
            return pool.choose("192.0.2.1", "h", {}, now, want);
        };
        for (std::size_t i = 0; i < n; ++i) ask(i, "u-");
        const std::size_t choices = choicesOf(n);
        double at = cpuSeconds();
        for (std::size_t i = 0; i < choices; ++i) ask(i * 7, "u-");
        const double kept = (cpuSeconds() - at) / double(choices) * 1e6;
        at = cpuSeconds();
        for (std::size_t i = 0; i < choices; ++i) ask(i, "new-");
        const double fresh = (cpuSeconds() - at) / double(choices) * 1e6;
        std::printf(
            "%zu proxies, %zu sessions: a choice with a country, an anonymity and a session %.2f us kept, "
            "%.2f us new (target <= 10)\n",
            n, pool.sessions() - choices, kept, fresh);
        pairs +=
            " pool_session_choice_us=" + std::to_string(kept) + " pool_new_session_choice_us=" + std::to_string(fresh);
    }

    // The status page built over and over beside choices: the longest a choice waited for the pool.
    ProxyPool pool({ProxyPool::Rotation::Each, {}, 3});
    for (const std::uint64_t id : pool.update(listOf(n))) pool.checked(id, works, "socks5://x:1", now);
    Diagnostics err("pool_bench");
    OutputWriter log(2, [](int) {});
    Gate gate(pool, err, log);
    std::atomic<bool> done{false};
    std::thread page([&] {
        for (int i = 0; i < 3; ++i) statusJson(pool, gate);
        done = true;
    });
    double longest = 0, idle = 1e9;
    for (int i = 0; !done; ++i) {
        const auto t = Clock::now();
        pool.choose("192.0.2.1", "h", {}, now);
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - t).count();
        longest = std::max(longest, us);
    }
    page.join();
    for (int i = 0; i < 10000; ++i) {
        const auto t = Clock::now();
        pool.choose("192.0.2.1", "h", {}, now);
        idle = std::min(idle, std::chrono::duration<double, std::micro>(Clock::now() - t).count());
    }
    std::printf("status page of %zu proxies built beside choices: the longest choice %.0f us\n", n, longest);
    std::printf("%s pool_choice_beside_status_max_us=%.0f\n", pairs.c_str() + 1, longest);
    return 0;
}

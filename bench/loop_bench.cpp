// kiriha-check's figures on one event loop, beside a bare single-loop libcurl client over the same local workload.
// The proxies are a farm of one epoll server in a child process: a closed port (refused), a port that accepts and
// never answers (silent) and one that answers every request with a page holding the marker (working).
// Arguments: the kiriha-check binary.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/rules/ProcessSetup.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Marker.h"
#include "tests/support/TestServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

int listenOn(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4096) != 0) std::abort();
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// The farm: a silent and a working port on one epoll thread, in a child so its work stays out of our figures.
struct Farm {
    std::uint16_t silent = 0, working = 0, refused = 0;
    std::uint16_t echo = 0, page = 0;  // a judge's echo, and a page of the same size with the marker at its end
    std::uint16_t stalls = 0;          // 250 KiB of an answer that never ends
    pid_t pid = -1;
    Farm() {
        refused = freePort();
        const int silentFd = listenOn(silent), workingFd = listenOn(working);
        const int echoFd = listenOn(echo), pageFd = listenOn(page), stallsFd = listenOn(stalls);
        pid = ::fork();
        if (pid == 0) {
            rlimit files{};
            ::getrlimit(RLIMIT_NOFILE, &files);
            files.rlim_cur = files.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &files);
            serve(silentFd, echoFd, {{workingFd, marked(0)}, {pageFd, marked(echoed().size())}, {stallsFd, stalling()}},
                  stallsFd);
            ::_exit(0);
        }
        ::close(silentFd), ::close(workingFd), ::close(echoFd), ::close(pageFd), ::close(stallsFd);
    }
    ~Farm() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    // A judge's echo as an env CGI writes it, about the size of busybox's; the request's query is added per request.
    static std::string echoed() {
        std::string body = "REMOTE_ADDR=127.0.0.1\nHTTP_VIA=1.1 kiriha-check\nHTTP_HOST=127.0.0.1\n";
        for (int i = 0; body.size() < 2000; ++i) body += "SERVER_VARIABLE_" + std::to_string(i) + "=some value\n";
        return body;
    }
    // The head and 250 KiB of an answer of a megabyte: the rest never comes.
    static std::string stalling() {
        return "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n{\"origin\":\"127.0.0.1\",\"headers\":{" +
               std::string(250 * 1024, ' ');
    }
    // A page with the marker at its end, of at least `size` bytes.
    static std::string marked(std::size_t size) {
        std::string body = "<html><p>" + kTestMarker + "</p></html>";
        if (body.size() < size) body.insert(0, std::string(size - body.size() - 60, 'x'));
        return httpResponse(200, body);
    }
    // The silent port, and ports that answer every request with their response.
    [[noreturn]] static void serve(int silentFd, int echoFd, std::vector<std::pair<int, std::string>> answering,
                                   int stallsFd) {
        std::unordered_map<int, bool> stalled;  // connections that were answered and are kept open
        const std::string echo = echoed();
        answering.emplace_back(echoFd, "");
        const int ep = ::epoll_create1(0);
        std::unordered_map<int, const std::string*> answers;  // listening port: what it answers
        for (const auto& [fd, answer] : answering) answers[fd] = &answer;
        std::vector<int> listening{silentFd};
        for (const auto& a : answering) listening.push_back(a.first);
        for (int fd : listening) {
            epoll_event e{EPOLLIN, {}};
            e.data.fd = fd;
            ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
        }
        std::unordered_map<int, std::pair<std::string, const std::string*>> requests;  // until their request is in
        epoll_event events[512];
        for (;;) {
            const int n = ::epoll_wait(ep, events, 512, -1);
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == silentFd || answers.contains(fd)) {
                    for (int c; (c = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                        epoll_event e{EPOLLIN | EPOLLRDHUP, {}};
                        e.data.fd = c;
                        ::epoll_ctl(ep, EPOLL_CTL_ADD, c, &e);
                        if (fd != silentFd) requests[c].second = answers[fd];
                        if (fd == stallsFd) stalled[c] = true;
                    }
                    continue;
                }
                char buf[4096];
                const ssize_t got = ::read(fd, buf, sizeof buf);
                const auto it = requests.find(fd);
                if (got <= 0) {  // the client gave up (silent) or is done
                    if (it != requests.end()) requests.erase(it);
                    ::close(fd);
                    continue;
                }
                if (it == requests.end()) continue;  // silent: never answers
                it->second.first.append(buf, std::size_t(got));
                if (it->second.first.find("\r\n\r\n") == std::string::npos) continue;
                const std::string& request = it->second.first;
                const std::string page =
                    it->second.second->empty()  // the judge: its echo shows the query
                        ? httpResponse(200, echo + "QUERY_STRING=" + request.substr(0, request.find('\r')) + "\n")
                        : *it->second.second;
                [[maybe_unused]] const ssize_t w = ::write(fd, page.data(), page.size());
                requests.erase(it);
                if (stalled.contains(fd)) {  // open, and nothing more
                    ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
                    continue;
                }
                ::close(fd);
            }
        }
    }
    // `n` proxies: 70 % refused, 20 % silent, 10 % working, interleaved.
    std::vector<std::string> mix(int n) const {
        std::vector<std::string> v;
        for (int i = 0; i < n; ++i) {
            const int k = i % 10;
            v.push_back("127.0.0.1:" + std::to_string(k < 7 ? refused : k < 9 ? silent : working));
        }
        return v;
    }
};

double cpuMs(const rusage& u) {
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

struct Run {
    double wallMs = 0, cpuMs = 0;
    long threadsPeak = 0;
    int working = 0;
    std::string err;  // what it said on standard error
};

// kiriha-check over `proxies` on its standard input; `watch` sees its process id now and then until it ends.
// `preflight`: the page is fetched directly first (the judge needs it); else the farm is the only page here.
Run command(const std::string& binary, const std::vector<std::string>& args, const std::vector<std::string>& proxies,
            const std::function<void(pid_t, Clock::duration)>& watch = {}, rlim_t files = 0, bool preflight = false) {
    Launch launch;
    launch.binary = binary;
    launch.args = args;
    if (!preflight) launch.args.push_back("--no-preflight");
    for (const auto& p : proxies) launch.input += p + "\n";
    launch.files = files;
    Run r;
    const auto t0 = Clock::now();
    const Ran ran = runProgram(launch, [&](pid_t pid, const std::string&) {
        r.threadsPeak = std::max(r.threadsPeak, procField(pid, "Threads:"));
        if (watch) watch(pid, Clock::now() - t0);
    });
    r.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    r.cpuMs = ran.cpuMs;
    std::istringstream out(ran.out);
    for (std::string line; std::getline(out, line);) r.working += line.starts_with("ＯＫ：");
    r.err = ran.err;
    return r;
}

// The floor: one thread, one multi handle, curl_multi_socket_action and epoll, fetches started at `rate` a second,
// bodies thrown away. What any single-loop libcurl client pays for the same workload.
struct Bare {
    CURLM* multi = curl_multi_init();
    int ep = ::epoll_create1(EPOLL_CLOEXEC);
    long timeoutMs = -1;
    Clock::time_point timerSet;

    static int onSocket(CURL*, curl_socket_t s, int what, void* self, void* assigned) {
        auto* b = static_cast<Bare*>(self);
        if (what == CURL_POLL_REMOVE) return ::epoll_ctl(b->ep, EPOLL_CTL_DEL, s, nullptr), 0;
        epoll_event e{(what & CURL_POLL_IN ? EPOLLIN : 0u) | (what & CURL_POLL_OUT ? EPOLLOUT : 0u), {}};
        e.data.fd = s;
        ::epoll_ctl(b->ep, assigned ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, s, &e);
        if (!assigned) curl_multi_assign(b->multi, s, b);
        return 0;
    }
    static int onTimer(CURLM*, long ms, void* self) {
        auto* b = static_cast<Bare*>(self);
        b->timeoutMs = ms;
        b->timerSet = Clock::now();
        return 0;
    }
    Run run(const std::vector<std::string>& proxies, int rate, long capMs) {
        curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &Bare::onSocket);
        curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &Bare::onTimer);
        curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        const auto t0 = Clock::now();
        std::size_t next = 0;
        int running = 0, done = 0;
        epoll_event events[512];
        while (done < int(proxies.size())) {
            const auto now = Clock::now();
            for (; next < proxies.size() && t0 + std::chrono::microseconds(1000000 * next / rate) <= now; ++next) {
                CURL* h = curl_easy_init();
                curl_easy_setopt(h, CURLOPT_URL, "http://127.0.0.1:9/");
                curl_easy_setopt(h, CURLOPT_PROXY, proxies[next].c_str());
                curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
                curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, capMs);
                curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
                curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
                curl_easy_setopt(h, CURLOPT_DNS_CACHE_TIMEOUT, 0L);
                curl_easy_setopt(
                    h, CURLOPT_WRITEFUNCTION, +[](char*, std::size_t, std::size_t k, void*) { return k; });
                curl_multi_add_handle(multi, h);
            }
            long wait = 1;
            if (timeoutMs >= 0)
                wait = std::min<long>(
                    wait,
                    std::max<long>(
                        0, timeoutMs -
                               std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - timerSet).count()));
            const int n = ::epoll_wait(ep, events, 512, int(wait));
            for (int i = 0; i < n; ++i) {
                int mask = (events[i].events & EPOLLIN ? CURL_CSELECT_IN : 0) |
                           (events[i].events & EPOLLOUT ? CURL_CSELECT_OUT : 0) |
                           (events[i].events & (EPOLLERR | EPOLLHUP) ? CURL_CSELECT_ERR : 0);
                curl_multi_socket_action(multi, events[i].data.fd, mask, &running);
            }
            if (timeoutMs >= 0 && Clock::now() - timerSet >= std::chrono::milliseconds(timeoutMs)) {
                timeoutMs = -1;
                curl_multi_socket_action(multi, CURL_SOCKET_TIMEOUT, 0, &running);
            }
            std::vector<CURL*> finished;
            int left = 0;
            while (CURLMsg* m = curl_multi_info_read(multi, &left))
                if (m->msg == CURLMSG_DONE) finished.push_back(m->easy_handle);
            for (CURL* h : finished) {
                curl_multi_remove_handle(multi, h);
                curl_easy_cleanup(h);
                ++done;
            }
        }
        Run r;
        r.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        ::getrusage(RUSAGE_SELF, &after);
        r.cpuMs = cpuMs(after) - cpuMs(before);
        return r;
    }
    ~Bare() {
        curl_multi_cleanup(multi);
        ::close(ep);
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void add(std::vector<std::pair<std::string, std::string>>& out, const std::string& name, double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    std::printf("%-28s %s\n", name.c_str(), text);
    std::fflush(stdout);
    out.emplace_back(name, text);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string binary = argv[1];
    const ProcessSetup setup;
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    Farm farm;
    std::vector<std::pair<std::string, std::string>> figures;

    // CPU per check: 10,000 mixed at 1,000 a second with a 10 s cap, interleaved with the bare loop.
    const auto mixed = farm.mix(10000);
    std::vector<double> ours, bare, ratios, json;
    long threadsPeak = 0;
    int working = 0;
    for (int round = 0; round < 3; ++round) {
        const Run c = command(binary, {"-q", "--rate=1000", "--timeout=10"}, mixed);
        const Run b = Bare().run(mixed, 1000, 10000);
        // The same with a JSON object per check: reasons and timers cost what they cost.
        const Run j = command(binary, {"-q", "--rate=1000", "--timeout=10", "--json"}, mixed);
        ours.push_back(c.cpuMs / 10000), bare.push_back(b.cpuMs / 10000), ratios.push_back(c.cpuMs / b.cpuMs);
        json.push_back(j.cpuMs / c.cpuMs);
        threadsPeak = std::max(threadsPeak, c.threadsPeak);
        working = c.working;
    }
    add(figures, "cli_cpu_ms_per_check", median(ours), 3);
    add(figures, "bare_loop_cpu_ms_per_check", median(bare), 3);
    add(figures, "cli_cpu_ratio_vs_loop", median(ratios), 2);
    add(figures, "cli_json_cpu_ratio_vs_text", median(json), 2);
    add(figures, "cli_working_of_1000", working, 0);

    // A judge's echo read whole and classified, beside plain checks of a page of the same size with the marker at
    // its end: 5,000 working proxies at 1,000 a second, median of interleaved repeats.
    {
        const std::string echoUrl = "--judge=http://127.0.0.1:" + std::to_string(farm.echo) + "/";
        const std::string pageUrl = "--url=http://127.0.0.1:" + std::to_string(farm.page) + "/";
        const std::vector<std::string> echoes(5000, "127.0.0.1:" + std::to_string(farm.echo));
        const std::vector<std::string> pages(5000, "127.0.0.1:" + std::to_string(farm.page));
        std::vector<double> ratios;
        int judged = 0;
        for (int round = 0; round < 3; ++round) {
            const Run plain =
                command(binary, {"-q", "--rate=1000", pageUrl, "--expect=" + kTestMarker}, pages, {}, 0, true);
            const Run judge = command(binary, {"-q", "--rate=1000", echoUrl}, echoes, {}, 0, true);
            ratios.push_back(judge.cpuMs / plain.cpuMs);
            judged = judge.working;
        }
        add(figures, "judge_cpu_ratio_vs_plain", median(ratios), 2);
        add(figures, "judge_working_of_5000", judged, 0);
    }

    // Proxies named by host name: each look-up is a thread of libcurl's resolver while it runs. 2,000 working ones
    // at 2,000 a second, answered by a hosts file of the bench's own (mounted over /etc/hosts in a private mount
    // namespace: root only), every name distinct or one name repeated, beside the same as addresses; median of
    // interleaved repeats.
    if (::geteuid() == 0 && std::filesystem::exists("/usr/bin/unshare")) {
        const std::string hosts = (std::filesystem::temp_directory_path() / "kiriha-bench-hosts").string();
        const std::string port = std::to_string(farm.working);
        std::ofstream out(hosts);
        out << "127.0.0.1 localhost\n";
        std::vector<std::string> distinct, repeated, addresses;
        for (int i = 0; i < 2000; ++i) {
            out << "127.0.0.1 p" << i << ".proxies.test\n";
            distinct.push_back("p" + std::to_string(i) + ".proxies.test:" + port);
            repeated.push_back("p7.proxies.test:" + port);
            addresses.push_back("127.0.0.1:" + port);
        }
        out.close();
        const auto named = [&](const std::vector<std::string>& proxies) {
            return command("/usr/bin/unshare",
                           {"-m", "/bin/sh", "-c", "mount --bind \"$0\" /etc/hosts && exec \"$@\"", hosts, binary, "-q",
                            "--rate=2000", "--timeout=10"},
                           proxies);
        };
        std::vector<double> distinctRatio, repeatedRatio;
        long distinctThreads = 0, repeatedThreads = 0;
        for (int round = 0; round < 3; ++round) {
            const Run a = named(addresses), d = named(distinct), r = named(repeated);
            distinctRatio.push_back(d.cpuMs / a.cpuMs), repeatedRatio.push_back(r.cpuMs / a.cpuMs);
            distinctThreads = std::max(distinctThreads, d.threadsPeak);
            repeatedThreads = std::max(repeatedThreads, r.threadsPeak);
        }
        std::filesystem::remove(hosts);
        add(figures, "names_distinct_threads_peak", double(distinctThreads), 0);
        add(figures, "names_repeated_threads_peak", double(repeatedThreads), 0);
        add(figures, "names_distinct_cpu_ratio", median(distinctRatio), 2);
        add(figures, "names_repeated_cpu_ratio", median(repeatedRatio), 2);
    }

    // Memory and descriptors per check in flight: 2,000 silent proxies at 1,000 a second, between 1,000 and 2,000
    // in flight.
    long rssEarly = 0, fdsEarly = 0, rssFull = 0, fdsFull = 0;
    const std::vector<std::string> silent(2000, "127.0.0.1:" + std::to_string(farm.silent));
    const Run held = command(binary, {"-q", "--rate=1000", "--timeout=10"}, silent, [&](pid_t pid, Clock::duration t) {
        if (t >= 1100ms && !rssEarly) rssEarly = procField(pid, "VmRSS:"), fdsEarly = fdsOf(pid);
        if (t >= 2600ms && !rssFull) {
            rssFull = procField(pid, "VmRSS:"), fdsFull = fdsOf(pid);
            ::kill(pid, SIGKILL);
        }
    });
    threadsPeak = std::max(threadsPeak, held.threadsPeak);
    add(figures, "cli_kib_per_check", double(rssFull - rssEarly) / 1000, 1);
    add(figures, "cli_fds_per_check", double(fdsFull - fdsEarly) / 1000, 2);

    // A judged check in flight beside a plain one: 600 proxies that send 250 KiB of an answer and stall. What is kept
    // of an echo is bounded, so the peak differs little.
    const auto peakKiB = [&](const std::vector<std::string>& args, bool preflight) {
        long peak = 0;
        const std::vector<std::string> stalling(600, "127.0.0.1:" + std::to_string(farm.stalls));
        command(
            binary, args, stalling,
            [&](pid_t pid, Clock::duration t) {
                // Read on every look: a run whose checks all end early has its peak from the last one.
                peak = std::max(peak, procField(pid, "VmHWM:"));
                if (t >= 2000ms) ::kill(pid, SIGKILL);
            },
            0, preflight);
        return peak;
    };
    const std::string echoPage = "http://127.0.0.1:" + std::to_string(farm.echo) + "/";
    const long plainPeak = peakKiB({"-q", "--rate=1000", "--url=" + echoPage, "--expect=no such text"}, false);
    const long judgedPeak = peakKiB({"-q", "--rate=1000", "--judge=" + echoPage}, true);
    add(figures, "stalled_600_plain_mib", double(plainPeak) / 1024, 1);
    add(figures, "stalled_600_judged_mib", double(judgedPeak) / 1024, 1);
    add(figures, "stalled_judged_vs_plain", double(judgedPeak) / double(std::max(plainPeak, 1L)), 2);

    // A whole run of 60,000 mixed at 5,000 a second against its bound: N / rate + the slowest check (the 10 s cap).
    const Run big = command(binary, {"-q", "--rate=5000", "--timeout=10"}, farm.mix(60000));
    threadsPeak = std::max(threadsPeak, big.threadsPeak);
    add(figures, "cli_run_60000_ms", big.wallMs, 0);
    add(figures, "cli_run_overhead", big.wallMs / (60000.0 / 5000 * 1000 + 10000), 4);
    add(figures, "cli_working_of_6000", big.working, 0);
    add(figures, "cli_threads_peak", double(threadsPeak), 0);

    // Under a descriptor limit of 1,024: 10,000 mixed at 5,000 a second.
    const Run limited = command(binary, {"--rate=5000", "--timeout=10"}, farm.mix(10000), {}, 1024);
    add(figures, "cli_fd1024_working_of_1000", limited.working, 0);
    add(figures, "cli_fd1024_noted", limited.err.find("descriptor limit holds back") != std::string::npos, 0);

    // Overload: 10,000 a second asked of 60,000 mixed while two processes keep both cores busy.
    std::vector<pid_t> hogs;
    for (int i = 0; i < 2; ++i)
        if (const pid_t hog = ::fork(); hog == 0) {
            volatile unsigned long spins = 0;
            for (;;) spins = spins + 1;
        } else {
            hogs.push_back(hog);
        }
    const Run overload = command(binary, {"--rate=10000", "--timeout=10"}, farm.mix(60000));
    for (pid_t hog : hogs) ::kill(hog, SIGKILL), ::waitpid(hog, nullptr, 0);
    add(figures, "cli_overload_working_of_6000", overload.working, 0);
    add(figures, "cli_overload_noted", overload.err.find("does not keep up") != std::string::npos, 0);
    add(figures, "cli_overload_run_ms", overload.wallMs, 0);
    for (const auto& [name, value] : figures) std::printf("%s=%s ", name.c_str(), value.c_str());
    std::printf("\n");
    return 0;
}

// kiriha-gate's figures beside npm's proxy-chain, the anchor, on the same rotation over the same three SOCKS5
// upstreams; all on loopback. A farm of one epoll process plays the upstreams and the sites: a small page, a page of
// a gibibyte, and a port that holds connections open. A client of one epoll process opens connections at a steady
// rate.
// Arguments: the kiriha-gate binary, and the folder proxy-chain is installed in (npm install --prefix FOLDER).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "gate/ClientRequest.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CountryDbWriter.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint64_t kGibibyte = 1ULL << 30;

// Ten thousand tunnels hold thirty thousand descriptors in the farm: as root, the hard limit is raised too.
void raiseLimit() {
    rlimit files{1 << 20, 1 << 20};
    if (::setrlimit(RLIMIT_NOFILE, &files) == 0) return;
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
}

int listenOn(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 65535) != 0) std::abort();
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

int connectTo(std::uint16_t port, std::uint32_t host = INADDR_LOOPBACK) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(host);
    a.sin_port = htons(port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

// The farm's connections: each a small state machine on one epoll.
struct Farm {
    enum Role { Socks, Http, Page, Bulk, Hold };
    std::uint16_t socks[3] = {}, http[3] = {}, page = 0, bulk = 0, hold = 0;
    std::vector<pid_t> pids;  // a process per upstream, one for the sites and one that holds: each within the limit

    Farm() {
        std::vector<std::vector<std::pair<int, Role>>> groups;
        for (auto& p : socks) groups.push_back({{listenOn(p), Socks}});
        for (auto& p : http) groups.push_back({{listenOn(p), Http}});
        groups.push_back({{listenOn(page), Page}, {listenOn(bulk), Bulk}});
        groups.push_back({{listenOn(hold), Hold}});
        for (const auto& group : groups) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                raiseLimit();
                serve(group);
            }
            pids.push_back(pid);
        }
        for (const auto& group : groups)
            for (const auto& [fd, role] : group) ::close(fd);
    }
    ~Farm() {
        for (const pid_t pid : pids) ::kill(pid, SIGKILL);
        for (const pid_t pid : pids) ::waitpid(pid, nullptr, 0);
    }

    struct Conn {
        Conn(int f, Role r, int s = 0) : fd(f), role(r), stage(s) {}
        int fd;
        Role role;
        int stage;
        std::string in{}, out{};
        std::uint64_t left = 0;  // bulk: bytes still to send
        Conn* peer = nullptr;    // socks: the other side
    };

    [[noreturn]] static void serve(const std::vector<std::pair<int, Role>>& listeners) {
        const int ep = ::epoll_create1(0);
        std::unordered_map<int, Role> listening;
        for (auto& [fd, role] : listeners) {
            if (role == Hold) {  // a thread that only takes connections and keeps them: never a full queue
                std::thread([fd = fd] {
                    ::fcntl(fd, F_SETFL, 0);
                    while (::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC) >= 0) {
                    }
                }).detach();
                continue;
            }
            listening[fd] = role;
            epoll_event e{EPOLLIN, {}};
            e.data.fd = fd;
            ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
        }
        std::unordered_map<int, Conn*> conns;
        const auto watch = [&](Conn* c, std::uint32_t ev) {
            epoll_event e{ev, {}};
            e.data.fd = c->fd;
            if (::epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &e) != 0) ::epoll_ctl(ep, EPOLL_CTL_ADD, c->fd, &e);
        };
        const auto drop = [&](Conn* c) {
            Conn* peer = c->peer;
            for (Conn* x : {c, peer}) {
                if (!x) continue;
                ::close(x->fd);
                conns.erase(x->fd);
                delete x;
            }
        };
        static char zeros[1 << 16];
        epoll_event events[1024];
        for (;;) {
            const int n = ::epoll_wait(ep, events, 1024, -1);
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (const auto l = listening.find(fd); l != listening.end()) {
                    for (int c; (c = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                        auto* conn = new Conn(c, l->second);
                        conns[c] = conn;
                        watch(conn, l->second == Hold ? 0u : EPOLLIN);
                    }
                    continue;
                }
                const auto it = conns.find(fd);
                if (it == conns.end()) continue;
                Conn* c = it->second;
                if (c->role == Socks && c->stage == 2) {  // relaying, either side; a send may wait a moment for
                    char buf[1 << 16];                    // a loopback peer, not for one that stopped reading
                    const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
                    bool ok = got > 0;
                    for (ssize_t sent = 0; ok && sent < got;) {
                        const ssize_t w = ::send(c->peer->fd, buf + sent, std::size_t(got - sent), MSG_NOSIGNAL);
                        if (w > 0) {
                            sent += w;
                            continue;
                        }
                        pollfd room{c->peer->fd, POLLOUT, 0};
                        ok = w < 0 && errno == EAGAIN && ::poll(&room, 1, 1000) > 0;
                    }
                    if (!ok) drop(c);
                    continue;
                }
                char buf[4096];
                const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
                if (got > 0) c->in.append(buf, std::size_t(got));
                if (c->role == Socks) {
                    if (c->stage == 0 && c->in.size() >= 2 && c->in.size() >= 2 + std::size_t(std::uint8_t(c->in[1]))) {
                        ::send(fd, "\x05\x00", 2, MSG_NOSIGNAL);
                        c->in.erase(0, 2 + std::size_t(std::uint8_t(c->in[1])));
                        c->stage = 1;
                    }
                    if (c->stage == 1 && c->in.size() >= 10) {
                        std::uint16_t port = 0;
                        std::memcpy(&port, c->in.data() + 8, 2);
                        auto* out = new Conn(connectTo(ntohs(port)), Socks, 2);
                        // Connected on loopback at once, near enough: the reply goes before the first byte.
                        pollfd p{out->fd, POLLOUT, 0};
                        ::poll(&p, 1, 1000);
                        out->peer = c;
                        c->peer = out;
                        c->stage = 2;
                        conns[out->fd] = out;
                        ::send(fd, "\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10, MSG_NOSIGNAL);
                        watch(out, EPOLLIN);
                    }
                    if (got <= 0) drop(c);
                    continue;
                }
                if (c->role == Http) {  // a request in absolute form to the page: sent on as it came, then relayed
                    const auto head = c->in.find("\r\n\r\n"), at = c->in.find("127.0.0.1:");
                    if (head != std::string::npos && at != std::string::npos) {
                        auto* out = new Conn(connectTo(std::uint16_t(std::atoi(c->in.c_str() + at + 10))), Socks, 2);
                        pollfd p{out->fd, POLLOUT, 0};
                        ::poll(&p, 1, 1000);
                        ::send(out->fd, c->in.data(), c->in.size(), MSG_NOSIGNAL);
                        out->peer = c;
                        c->peer = out;
                        c->role = Socks;
                        c->stage = 2;
                        conns[out->fd] = out;
                        watch(out, EPOLLIN);
                    }
                    if (got <= 0) drop(c);
                    continue;
                }
                if (got <= 0 && !(events[i].events & EPOLLOUT)) {
                    ::close(fd), conns.erase(fd), delete c;
                    continue;
                }
                if (c->stage == 0 && c->in.find("\r\n\r\n") != std::string::npos) {
                    c->stage = 1;
                    if (c->role == Page) {
                        const char page[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
                        ::send(fd, page, sizeof page - 1, MSG_NOSIGNAL);
                        ::close(fd), conns.erase(fd), delete c;
                        continue;
                    }
                    c->out = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kGibibyte) +
                             "\r\nConnection: close\r\n\r\n";
                    c->left = kGibibyte;
                    watch(c, EPOLLOUT);
                }
                if (c->role == Bulk && c->stage == 1) {
                    if (!c->out.empty()) {
                        const ssize_t w = ::send(fd, c->out.data(), c->out.size(), MSG_NOSIGNAL);
                        if (w > 0) c->out.erase(0, std::size_t(w));
                    }
                    while (c->out.empty() && c->left > 0) {
                        const ssize_t w =
                            ::send(fd, zeros, std::min<std::uint64_t>(sizeof zeros, c->left), MSG_NOSIGNAL);
                        if (w <= 0) break;
                        c->left -= std::uint64_t(w);
                    }
                    if (c->left == 0 && c->out.empty()) ::shutdown(fd, SHUT_WR), watch(c, EPOLLIN);
                }
            }
        }
    }
};

long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stol(f);
        if (i == 15) stime = std::stol(f);
    }
    return utime + stime;
}
double cpuMs(pid_t pid) {
    return double(cpuTicks(pid)) * 1000.0 / double(::sysconf(_SC_CLK_TCK));
}

// A proxy under test: the gate or proxy-chain, a process of its own.
struct Proxy {
    pid_t pid = -1;
    std::uint16_t port = 0;
    Proxy(const std::vector<std::string>& args, std::uint16_t p, const std::string& ready,
          std::chrono::seconds patience = 30s)
        : port(p) {
        int err[2];
        ::pipe(err);
        pid = ::fork();
        if (pid == 0) {
            raiseLimit();
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0), ::dup2(err[1], 1), ::dup2(err[1], 2);
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(err[1]);
        std::string said;
        char buf[4096];
        // Without a word to wait for, it is ready once its port takes a connection.
        for (const auto until = Clock::now() + 30s; ready.empty() && Clock::now() < until;
             std::this_thread::sleep_for(20ms)) {
            const int fd = connectTo(port);
            pollfd p{fd, POLLOUT, 0};
            int error = 1;
            socklen_t length = sizeof error;
            const bool up =
                ::poll(&p, 1, 1000) > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
            ::close(fd);
            if (up) return;
        }
        for (const auto until = Clock::now() + patience;
             said.find(ready) == std::string::npos && Clock::now() < until;) {
            pollfd p{err[0], POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = ::read(err[0], buf, sizeof buf);
            if (n <= 0) break;
            said.append(buf, std::size_t(n));
        }
        if (said.find(ready) == std::string::npos) {
            std::fprintf(stderr, "%s did not get ready:\n%s\n", args[0].c_str(), said.c_str());
            std::exit(1);
        }
        // The rest of what it says is read by nobody: to /dev/null from here on would need its descriptor moved.
        std::thread([fd = err[0]] {
            char b[4096];
            while (::read(fd, b, sizeof b) > 0) {
            }
            ::close(fd);
        }).detach();
    }
    ~Proxy() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

std::uint16_t freePort() {
    std::uint16_t port = 0;
    ::close(listenOn(port));
    return port;
}

// Connections through `proxy` at `rate` a second for `seconds`: each a CONNECT to the page, a request, its answer;
// or, `plain`, the request in absolute form and its answer.
struct Load {
    long done = 0, failed = 0;
    double seconds = 0;
};
// With `user`, each CONNECT gives it as its credentials, "-session-N" added (N from 0 to 999).
Load load(std::uint16_t proxy, std::uint16_t page, int rate, double seconds, bool plain = false,
          const std::string& user = "") {
    const int ep = ::epoll_create1(0);
    struct C {
        int stage = 0;
        std::string in;
    };
    std::unordered_map<int, C> live;
    Load out;
    const std::string connect = "CONNECT 127.0.0.1:" + std::to_string(page) + " HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string get = "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    const std::string absolute = "GET http://127.0.0.1:" + std::to_string(page) +
                                 "/ HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(page) +
                                 "\r\nConnection: close\r\n\r\n";
    const auto start = Clock::now();
    const auto period = std::chrono::duration<double>(1.0 / rate);
    long started = 0;
    const long total = long(rate * seconds);
    epoll_event events[512];
    while (started < total || !live.empty()) {
        const auto now = Clock::now();
        while (started < total && start + std::chrono::duration_cast<Clock::duration>(period * started) <= now) {
            const int fd = connectTo(proxy);
            epoll_event e{EPOLLOUT, {}};
            e.data.fd = fd;
            ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
            live[fd] = C{};
            ++started;
        }
        if (now - start > std::chrono::duration<double>(seconds + 20)) break;
        const int n = ::epoll_wait(ep, events, 512, 1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            C& c = live[fd];
            bool over = false, ok = false;
            if (c.stage == 0) {
                std::string first = plain ? absolute : connect;
                if (!user.empty())
                    first.insert(first.size() - 2,
                                 "Proxy-Authorization: Basic " +
                                     basicCredentials(user + "-session-" + std::to_string(fd % 1000) + ":") + "\r\n");
                ::send(fd, first.data(), first.size(), MSG_NOSIGNAL);
                c.stage = plain ? 2 : 1;
                epoll_event e{EPOLLIN, {}};
                e.data.fd = fd;
                ::epoll_ctl(ep, EPOLL_CTL_MOD, fd, &e);
                continue;
            }
            char buf[4096];
            const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
            if (got > 0) c.in.append(buf, std::size_t(got));
            if (c.stage == 1 && c.in.find("\r\n\r\n") != std::string::npos) {
                if (c.in.compare(9, 3, "200") != 0) {
                    over = true;
                } else {
                    c.in.clear();
                    c.stage = 2;
                    ::send(fd, get.data(), get.size(), MSG_NOSIGNAL);
                }
            } else if (got <= 0) {
                over = true;
                ok = c.stage == 2 && c.in.ends_with("ok");
            }
            if (over) {
                ++(ok ? out.done : out.failed);
                ::close(fd);
                live.erase(fd);
            }
        }
    }
    out.failed += long(live.size());
    out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(ep);
    return out;
}

// A gibibyte through `socks` (directly, or through `http` first): the seconds it took.
double bulk(std::uint16_t bulkPort, std::uint16_t http) {
    const int fd = connectTo(http);
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, 5000);
    ::fcntl(fd, F_SETFL, 0);
    const std::string connect =
        "CONNECT 127.0.0.1:" + std::to_string(bulkPort) + " HTTP/1.1\r\n\r\n" + "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    const auto start = Clock::now();
    ::send(fd, connect.data(), connect.size(), MSG_NOSIGNAL);
    std::vector<char> buf(1 << 20);
    std::uint64_t got = 0;
    for (ssize_t n; (n = ::recv(fd, buf.data(), buf.size(), 0)) > 0;) got += std::uint64_t(n);
    ::close(fd);
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    return got >= kGibibyte ? s : -1;
}

// What a blocking client is answered, to the end: `ask` sent to `port`, the answer read until the peer closes.
std::string fetch(std::uint16_t port, const std::string& ask) {
    const int fd = connectTo(port);
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, 5000);
    ::fcntl(fd, F_SETFL, 0);
    ::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL);
    std::string got;
    char buf[1 << 16];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) got.append(buf, std::size_t(n));
    ::close(fd);
    return got;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    raiseLimit();
    ::signal(SIGPIPE, SIG_IGN);
    const std::string gateBinary = argv[1];
    const std::string chainDir = argc > 2 ? argv[2] : "";
    Farm farm;
    std::vector<std::string> upstreams;
    for (const auto p : farm.socks) upstreams.push_back("socks5://127.0.0.1:" + std::to_string(p));
    const std::string list = "/tmp/kiriha-gate-bench.list";
    {
        std::ofstream out(list);
        for (const auto& u : upstreams) out << u << "\n";
    }
    const std::string check = "--url=http://127.0.0.1:" + std::to_string(farm.page) + "/";
    const auto startGate = [&] {
        const std::uint16_t port = freePort();
        return std::make_unique<Proxy>(
            std::vector<std::string>{gateBinary, "--listen=127.0.0.1:" + std::to_string(port), check, "--expect=ok",
                                     "--log=/dev/null", list},
            port, "3 proxies checked: 3 working");
    };
    std::string script;
    const bool anchored = !chainDir.empty() && std::filesystem::exists(chainDir + "/node_modules/proxy-chain");
    if (anchored) {
        script = "/tmp/kiriha-gate-bench-chain.js";
        std::ofstream(script) << "const ProxyChain = require(process.argv[2] + '/node_modules/proxy-chain');\n"
                                 "const ups = process.argv.slice(4); let i = 0;\n"
                                 "const server = new ProxyChain.Server({ port: +process.argv[3], host: '127.0.0.1',\n"
                                 "  prepareRequestFunction: () => ({ upstreamProxyUrl: ups[i++ % ups.length] }) });\n"
                                 "server.listen(() => console.log('listening'));\n";
    }
    const auto startChain = [&] {
        const std::uint16_t port = freePort();
        std::vector<std::string> args{"node", script, chainDir, std::to_string(port)};
        args.insert(args.end(), upstreams.begin(), upstreams.end());
        return std::make_unique<Proxy>(args, port, "listening");
    };

    // KIRIHA_BENCH_ONLY=cpu, params, haproxy, status, gib or idle runs that figure alone.
    const std::string only = std::getenv("KIRIHA_BENCH_ONLY") ? std::getenv("KIRIHA_BENCH_ONLY") : "";
    const auto wanted = [&](const char* figure) { return only.empty() || only == figure; };
    std::printf("%-44s %s\n", "figure", "value");
    // CPU per client connection at 2,000 new connections a second, interleaved with the anchor: tunnels (CONNECT, as
    // browsers make for https), and plain http requests.
    constexpr int kRate = 2000;
    constexpr double kSeconds = 10;
    std::string figures;
    for (const bool plain : {false, true}) {
        if (!wanted("cpu")) break;
        std::vector<double> ratios, gateCpu, chainCpu, gateRates, farmCpu;
        long failedThrough = 0;
        for (int round = 0; round < 3; ++round) {
            {
                const auto gate = startGate();
                const auto farmNow = [&] {
                    double ms = 0;
                    for (const pid_t pid : farm.pids) ms += cpuMs(pid);
                    return ms;
                };
                const double before = cpuMs(gate->pid), farmBefore = farmNow();
                const Load l = load(gate->port, farm.page, kRate, kSeconds, plain);
                gateCpu.push_back((cpuMs(gate->pid) - before) / double(std::max(l.done, 1L)));
                farmCpu.push_back((farmNow() - farmBefore) / double(std::max(l.done, 1L)));
                gateRates.push_back(double(l.done) / l.seconds);
                failedThrough += l.failed;
            }
            if (anchored) {
                const auto chain = startChain();
                const double before = cpuMs(chain->pid);
                const Load l = load(chain->port, farm.page, kRate, kSeconds, plain);
                chainCpu.push_back((cpuMs(chain->pid) - before) / double(std::max(l.done, 1L)));
                ratios.push_back(gateCpu.back() / chainCpu.back());
            }
        }
        const std::string what = plain ? "plain http" : "tunnels";
        std::printf("%-44s %.3f ms\n", ("gate CPU per connection, " + what).c_str(), median(gateCpu));
        std::printf("%-44s %.3f ms\n", ("  a bare SOCKS5 relay and the site, " + what).c_str(), median(farmCpu));
        if (anchored) {
            std::printf("%-44s %.3f ms\n", ("  proxy-chain CPU per connection, " + what).c_str(), median(chainCpu));
            std::printf("%-44s %.3fx (median of 3 interleaved; target <= 0.2x)\n", "  gate / proxy-chain",
                        median(ratios));
        }
        std::printf("%-44s %.0f a second (%ld failed; target >= 2000)\n", "  gate connections completed",
                    median(gateRates), failedThrough);
        const std::string key = plain ? "plain" : "tunnel";
        char line[256];
        std::snprintf(line, sizeof line,
                      "gate_%s_cpu_ms=%.3f relay_%s_cpu_ms=%.3f chain_%s_cpu_ms=%.3f gate_vs_chain_%s=%.3f "
                      "gate_%s_rate=%.0f gate_%s_failed=%ld ",
                      key.c_str(), median(gateCpu), key.c_str(), median(farmCpu), key.c_str(),
                      anchored ? median(chainCpu) : 0.0, key.c_str(), anchored ? median(ratios) : 0.0, key.c_str(),
                      median(gateRates), key.c_str(), failedThrough);
        figures += line;
    }

    // CPU per tunnel whose user name asks for a country and a session, beside the same tunnels asking nothing:
    // interleaved, the median of 3.
    if (wanted("params")) {
        const std::string db = "/tmp/kiriha-gate-bench-countries.mmdb";
        writeCountryDb(db, "Kiriha-Country", {{"127.0.0.0/8", "JP"}});
        std::vector<double> ratios, plainCpu, askedCpu;
        for (int round = 0; round < 3; ++round)
            for (const bool asked : {false, true}) {
                const std::uint16_t port = freePort();
                const Proxy gate({gateBinary, "--listen=127.0.0.1:" + std::to_string(port), check, "--expect=ok",
                                  "--geoip=" + db, "--log=/dev/null", list},
                                 port, "3 proxies checked: 3 working");
                const double before = cpuMs(gate.pid);
                const Load l = load(gate.port, farm.page, kRate, kSeconds, false, asked ? "u-country-jp" : "");
                (asked ? askedCpu : plainCpu).push_back((cpuMs(gate.pid) - before) / double(std::max(l.done, 1L)));
                if (asked) ratios.push_back(askedCpu.back() / plainCpu.back());
            }
        std::printf("%-44s %.3f ms, asking nothing %.3f ms: %.2fx (median of 3 interleaved; target <= 1.1x)\n",
                    "CPU per tunnel asking a country and session", median(askedCpu), median(plainCpu), median(ratios));
        char line[160];
        std::snprintf(line, sizeof line, "gate_params_cpu_ms=%.3f gate_noparams_cpu_ms=%.3f params_vs_none=%.2f ",
                      median(askedCpu), median(plainCpu), median(ratios));
        figures += line;
    }

    // Beside HAProxy in tcp mode, round robin over three HTTP upstreams, plain http at 1,000 a second: it only forwards
    // bytes, where the gate reads each request and chooses from a checked pool.
    double haproxyRatio = 0, gateHttpCpu = 0, haproxyCpu = 0;
    if (wanted("haproxy") && ::access("/usr/sbin/haproxy", X_OK) == 0) {
        const std::string httpList = "/tmp/kiriha-gate-bench-http.list", config = "/tmp/kiriha-gate-bench-haproxy.cfg";
        {
            std::ofstream out(httpList);
            for (const auto p : farm.http) out << "http://127.0.0.1:" << p << "\n";
        }
        std::vector<double> ratios, g, h;
        for (int round = 0; round < 3; ++round) {
            {
                const std::uint16_t port = freePort();
                const Proxy gate({gateBinary, "--listen=127.0.0.1:" + std::to_string(port), check, "--expect=ok",
                                  "--log=/dev/null", httpList},
                                 port, "3 proxies checked: 3 working");
                const double before = cpuMs(gate.pid);
                const Load l = load(gate.port, farm.page, 1000, kSeconds, true);
                g.push_back((cpuMs(gate.pid) - before) / double(std::max(l.done, 1L)));
            }
            const std::uint16_t port = freePort();
            {
                std::ofstream out(config);
                out << "global\n  maxconn 8000\ndefaults\n  mode tcp\n  timeout connect 5s\n  timeout client 30s\n"
                       "  timeout server 30s\nfrontend in\n  bind 127.0.0.1:"
                    << port << "\n  default_backend ups\nbackend ups\n  balance roundrobin\n";
                for (int i = 0; i < 3; ++i) out << "  server u" << i << " 127.0.0.1:" << farm.http[i] << "\n";
            }
            const Proxy haproxy({"/usr/sbin/haproxy", "-db", "-f", config}, port, "");
            const double before = cpuMs(haproxy.pid);
            const Load l = load(haproxy.port, farm.page, 1000, kSeconds, true);
            h.push_back((cpuMs(haproxy.pid) - before) / double(std::max(l.done, 1L)));
            ratios.push_back(g.back() / h.back());
        }
        gateHttpCpu = median(g);
        haproxyCpu = median(h);
        haproxyRatio = median(ratios);
        std::printf("%-44s %.3f ms, HAProxy %.3f ms: %.2fx (median of 3 interleaved; aim <= 1x)\n",
                    "CPU per plain request over HTTP upstreams", gateHttpCpu, haproxyCpu, haproxyRatio);
        char line[160];
        std::snprintf(line, sizeof line, "gate_http_cpu_ms=%.3f haproxy_cpu_ms=%.3f gate_vs_haproxy=%.2f ", gateHttpCpu,
                      haproxyCpu, haproxyRatio);
        figures += line;
    }

    // A status page of 100,000 proxies asked again and again: tunnels' round trips (a CONNECT, a request, its answer,
    // one at a time) beside those while the page is idle.
    double idleRtt = 0, busyRtt = 0;
    if (wanted("status")) {
        const std::string bigList = "/tmp/kiriha-gate-bench-big.list";
        {
            std::ofstream out(bigList);
            for (int i = 0; i < 100'000; ++i) out << "socks5://u" << i << ":p@127.0.0.1:" << farm.socks[i % 3] << "\n";
        }
        const std::uint16_t port = freePort(), statusPort = freePort();
        const Proxy gate({gateBinary, "--listen=127.0.0.1:" + std::to_string(port),
                          "--status=127.0.0.1:" + std::to_string(statusPort), check, "--expect=ok", "--rate=10000",
                          "--recheck=1h", "--log=/dev/null", bigList},
                         port, "100000 proxies checked", 300s);
        const std::string ask = "CONNECT 127.0.0.1:" + std::to_string(farm.page) +
                                " HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        const auto roundTrips = [&] {
            std::vector<double> ms;
            for (const auto until = Clock::now() + 5s; Clock::now() < until;) {
                const auto start = Clock::now();
                if (!fetch(port, ask).ends_with("ok")) continue;
                ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            }
            return ms.empty() ? -1.0 : median(ms);
        };
        idleRtt = roundTrips();
        std::atomic<bool> stop{false};
        std::atomic<long> pages{0};
        std::thread asker([&] {
            while (!stop) pages += fetch(statusPort, "GET / HTTP/1.1\r\n\r\n").size() > 1000000;
        });
        busyRtt = roundTrips();
        stop = true;
        asker.join();
        std::printf("%-44s %.2f ms idle, %.2f ms while it is asked (%ld pages): %.2fx (target <= 2x)\n",
                    "round trip beside a page of 100,000 proxies", idleRtt, busyRtt, pages.load(), busyRtt / idleRtt);
        char line[128];
        std::snprintf(line, sizeof line, "status_idle_rtt_ms=%.2f status_busy_rtt_ms=%.2f ", idleRtt, busyRtt);
        figures += line;
    }

    // A gibibyte through a tunnel, beside the same upstream straight: the gate's tunnel, then the upstream as an HTTP
    // CONNECT proxy is not what it speaks, so the straight path is the upstream's SOCKS5 from the client.
    double through = -1, straight = -1, gibRatio = 0;
    if (wanted("gib")) {
        const auto gate = startGate();
        std::vector<double> t, s, ratios;
        for (int i = 0; i < 5; ++i) {
            t.push_back(bulk(farm.bulk, gate->port));
            // Straight: SOCKS5 to the upstream ourselves.
            const int fd = connectTo(farm.socks[0]);
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 5000);
            ::fcntl(fd, F_SETFL, 0);
            const auto start = Clock::now();
            std::uint16_t port = htons(farm.bulk);
            std::string hello("\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01", 11);
            hello.append(reinterpret_cast<const char*>(&port), 2);
            ::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
            char reply[12];
            ::recv(fd, reply, 12, MSG_WAITALL);
            const std::string get = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
            ::send(fd, get.data(), get.size(), MSG_NOSIGNAL);
            std::vector<char> buf(1 << 20);
            std::uint64_t got = 0;
            for (ssize_t n; (n = ::recv(fd, buf.data(), buf.size(), 0)) > 0;) got += std::uint64_t(n);
            ::close(fd);
            s.push_back(got >= kGibibyte ? std::chrono::duration<double>(Clock::now() - start).count() : -1);
            ratios.push_back(s.back() / t.back());
        }
        through = median(t);
        straight = median(s);
        gibRatio = median(ratios);
    }
    if (wanted("gib"))
        std::printf(
            "%-44s %.0f MiB/s through the gate, %.0f MiB/s straight: %.2fx (median of 5 interleaved; target "
            ">= 0.9x)\n",
            "a GiB through one tunnel", 1024 / through, 1024 / straight, gibRatio);

    // Ten thousand idle tunnels: the gate's memory and descriptors beyond its start.
    long rssMiB = 0, fdsEach100 = 0;
    if (wanted("idle")) {
        const auto gate = startGate();
        std::this_thread::sleep_for(500ms);
        const long rss0 = procField(gate->pid, "VmRSS:"), fds0 = fdsOf(gate->pid);
        std::vector<int> open;
        const std::string connect = "CONNECT 127.0.0.1:" + std::to_string(farm.hold) + " HTTP/1.1\r\n\r\n";
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        const int tunnels = int(std::min<rlim_t>(10000, (files.rlim_cur - 200) / 2));  // the gate holds two each
        for (int i = 0; i < tunnels; ++i) {
            const int fd = connectTo(gate->port);
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 5000);
            ::send(fd, connect.data(), connect.size(), MSG_NOSIGNAL);
            open.push_back(fd);
        }
        int established = 0;
        const auto until = Clock::now() + 60s;
        for (const int fd : open) {
            pollfd p{fd, POLLIN, 0};
            char buf[64];
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (::poll(&p, 1, int(std::max<long>(left, 0))) > 0 && ::recv(fd, buf, sizeof buf, 0) > 0) ++established;
        }
        std::this_thread::sleep_for(500ms);
        rssMiB = (procField(gate->pid, "VmRSS:") - rss0) / 1024;
        fdsEach100 = (fdsOf(gate->pid) - fds0) * 100 / std::max(established, 1);
        std::printf("%-44s %d tunnels: %ld MiB beyond its start, %.2f descriptors each (target <= 64 MiB, <= 3)\n",
                    "idle tunnels", established, rssMiB, double(fdsEach100) / 100);
        for (const int fd : open) ::close(fd);
    }
    std::printf("%sgib_through_s=%.2f gib_straight_s=%.2f gib_ratio=%.2f idle_rss_mib=%ld idle_fds_each=%.2f\n",
                figures.c_str(), through, straight, gibRatio, rssMiB, double(fdsEach100) / 100);
    return 0;
}

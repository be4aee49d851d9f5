// kiriha-gate end to end: the real binary between real clients (curl, Chromium, raw sockets) and real upstream
// proxies (tinyproxy, squid, microsocks, dante), each upstream leaving from a loopback address of its own, so that the
// origin can tell which served.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "gate/ClientRequest.h"
#include "sys/UniqueFd.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CountryDbWriter.h"
#include "tests/support/LocalProxy.h"
#include "tests/support/Marker.h"
#include "tests/support/NamedCase.h"
#include "tests/support/StructuredFields.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCa.h"
#include "tests/support/TestServer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A kiriha-gate of the test's own on a port of its own, its standard error read as it comes; ended with SIGKILL
// if the test did not stop it.
class GateProcess {
  public:
    // `wrapper`: what runs the gate (ending in the gate's own path), instead of the gate itself.
    explicit GateProcess(std::vector<std::string> args, rlim_t files = 0, std::vector<std::string> wrapper = {}) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            // Not a port the arguments name already (a status page's, taken a moment before).
            do port = freePort();
            while (std::any_of(args.begin(), args.end(),
                               [&](const std::string& a) { return a.ends_with(":" + std::to_string(port)); }));
            std::vector<std::string> all = wrapper.empty() ? std::vector<std::string>{KIRIHA_GATE_BINARY} : wrapper;
            if (std::none_of(args.begin(), args.end(), [](const auto& a) { return a.starts_with("--listen"); }))
                all.push_back("--listen=127.0.0.1:" + std::to_string(port));
            all.insert(all.end(), args.begin(), args.end());
            start(all, files);
            // Under a Japanese locale (a wrapper that sets it), the same line in Japanese.
            const bool ja = std::find(wrapper.begin(), wrapper.end(), "LC_ALL=ja_JP.UTF-8") != wrapper.end();
            if (waitFor(ja ? "で待ち受け中" : "listening on") ||
                !waitFor(ja ? "で待ち受けできない" : "cannot listen", 0ms))
                return;
            stop(SIGKILL);  // the port was taken meanwhile
        }
    }
    ~GateProcess() {
        if (pid_ > 0) stop(SIGKILL);
    }

    std::string proxy() const { return "127.0.0.1:" + std::to_string(port); }
    pid_t pid() const { return pid_; }
    std::string err() const {
        std::lock_guard lock(mutex_);
        return err_;
    }
    // True once standard error holds `text`, or `count` times.
    bool waitFor(const std::string& text, std::chrono::milliseconds limit = 30s, int count = 1) const {
        for (const auto until = Clock::now() + limit;; std::this_thread::sleep_for(10ms)) {
            const std::string e = err();
            int seen = 0;
            for (auto at = e.find(text); at != std::string::npos; at = e.find(text, at + 1)) ++seen;
            if (seen >= count) return true;
            if (Clock::now() >= until || ended_) return false;
        }
    }
    // Its exit status once `signal` ended it (-1: it did not end within 30 s).
    int stop(int signal = SIGTERM) {
        if (pid_ <= 0) return status_;
        ::kill(pid_, signal);
        int status = 0;
        for (const auto until = Clock::now() + 30s; Clock::now() < until; std::this_thread::sleep_for(10ms))
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                pid_ = -1;
                ended_ = true;
                reader_.join();
                return status_;
            }
        return -1;
    }

    std::uint16_t port = 0;

  private:
    void start(const std::vector<std::string>& args, rlim_t files) {
        if (reader_.joinable()) reader_.join();
        int err[2];
        if (::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        ended_ = false;
        err_.clear();
        std::vector<char*> argv;  // before the fork, as runProgram does
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0), ::dup2(null, 1), ::dup2(err[1], 2);
            if (files) {
                const rlimit limit{files, files};
                ::setrlimit(RLIMIT_NOFILE, &limit);
            }
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(err[1]);
        reader_ = std::thread([this, fd = err[0]] {
            char buf[4096];
            for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) {
                std::lock_guard lock(mutex_);
                err_.append(buf, std::size_t(n));
            }
            ::close(fd);
            ended_ = true;
        });
    }

    pid_t pid_ = -1;
    int status_ = -1;
    mutable std::mutex mutex_;
    std::string err_;
    std::atomic<bool> ended_{false};
    std::thread reader_;
};

std::string freeAddress() {
    return "127.0.0.1:" + std::to_string(freePort());
}

// What curl said: its exit code, what it wrote, and the HTTP status it saw.
struct Fetched {
    int exit = -1;
    std::string body;
    int http = 0;
};
Fetched curl(std::vector<std::string> args) {
    Launch l;
    l.binary = "/usr/bin/curl";
    l.args = {"-s", "--max-time", "10", "-w", "\n%{http_code}"};
    l.args.insert(l.args.end(), args.begin(), args.end());
    const Ran ran = runProgram(l);
    Fetched f{ran.status, ran.out};
    if (const auto nl = f.body.rfind('\n'); nl != std::string::npos) {
        f.http = std::atoi(f.body.c_str() + nl + 1);
        f.body.erase(nl);
    }
    return f;
}

// The sites the clients ask for: a page and a TLS page that say whom they saw, a page for the checks (its own, so
// that the gate's direct fetch is not among the site's connections), and a site that holds a connection open and
// sends back what it gets.
struct Origins {
    TestCa ca;
    TestServer page{[](TestServer::Connection& c) { c.send(httpResponse(200, "seen from " + c.peer())); }};
    TestServer tls{[this](TestServer::Connection& c) {
                       const std::string peer = c.peer();
                       serveTls(c.fd(), ca.cert(), ca.key(), [&](const std::string&) {
                           return httpResponse(200, "<p>seen from " + peer + " over TLS</p>");
                       });
                   },
                   false};
    TestServer check{[](TestServer::Connection& c) { c.send(httpResponse(200, "<p>" + kTestMarker + "</p>")); }};
    TestServer echo{[](TestServer::Connection& c) {  // a line back for each, until the client closes
                        char buf[4096];
                        for (ssize_t n; (n = ::recv(c.fd(), buf, sizeof buf, 0)) > 0;)
                            if (!c.send(std::string(buf, std::size_t(n)))) return;
                    },
                    false};
    TestServer tally{[](TestServer::Connection& c) {  // all the client sends, counted once it has ended its side
                         std::size_t got = 0;
                         char buf[4096];
                         for (ssize_t n; (n = ::recv(c.fd(), buf, sizeof buf, 0)) > 0;) got += std::size_t(n);
                         c.send("got " + std::to_string(got) + " bytes");
                     },
                     false};
    TestServer flood{[](TestServer::Connection& c) {  // a download larger than any pipe, until the client stops
                         const std::string block(64 * 1024, 'F');
                         for (int i = 0; i < 256 && c.send(block);) ++i;
                     },
                     false};
    std::string https() const { return "https://" + tls.address() + "/"; }
};

// An HTTP proxy of the test's own that records the request heads it is sent and answers by the path asked for: the
// checks' page with the marker, /unavailable the site's own 503, /silent nothing at all, /garbage no HTTP.
struct RecordingProxy {
    mutable std::mutex mutex;  // before the server, whose threads use them
    std::vector<std::string> heads;
    TestServer server{[this](TestServer::Connection& c) {
        const std::string line = c.request().substr(0, c.request().find("\r\n"));
        {
            std::lock_guard lock(mutex);
            heads.push_back(line);
        }
        if (line.find("/unavailable") != std::string::npos)
            c.send(httpResponse(503, "the site says no"));
        else if (line.find("/silent") != std::string::npos)
            c.sleep(20s);
        else if (line.find("/garbage") != std::string::npos)
            c.send("SSH-2.0-OpenSSH_9.2\r\n\r\n");
        else if (line.starts_with("CONNECT ") && c.send("HTTP/1.1 200 Connection established\r\n\r\npartial"))
            c.sleep(100ms), c.abort();  // a tunnel, cut
        else
            c.send(httpResponse(200, "<p>" + kTestMarker + "</p>"));
    }};
    // The heads that asked for `path`, or for anything but the checks' page.
    int asked(const std::string& path = "") const {
        std::lock_guard lock(mutex);
        return int(std::count_if(heads.begin(), heads.end(), [&](const std::string& h) {
            return path.empty() ? !h.ends_with("/ HTTP/1.1") : h.find(path) != std::string::npos;
        }));
    }
};

// The upstreams, each leaving from its own address; squid with Debian's rules, which refuse CONNECT to any port but
// 443, so that a plain request must go to it in absolute form.
struct Upstreams {
    TinyProxy tiny{"", "127.0.0.31"};
    LocalProxy squid{LocalProxy::Kind::Squid,
                     "acl SSL_ports port 443\nacl CONNECT method CONNECT\nhttp_access deny CONNECT !SSL_ports\n", 0,
                     "127.0.0.32"};
    LocalProxy microsocks{LocalProxy::Kind::Microsocks, "", 0, "127.0.0.33"};
    LocalProxy dante{LocalProxy::Kind::Danted, "", 0, "127.0.0.34"};
    LocalProxy locked{LocalProxy::Kind::Microsocks, "kiriha secret", 0, "127.0.0.35"};
};

Origins* origins = nullptr;
Upstreams* upstreams = nullptr;

class Gate : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        origins = new Origins;
        upstreams = new Upstreams;
    }
    static void TearDownTestSuite() {
        delete upstreams;
        delete origins;
        upstreams = nullptr;
        origins = nullptr;
    }

  public:
    // A gate over `proxies`, its checks against the check page; started and serving once each was checked.
    std::unique_ptr<GateProcess> gate(const std::vector<std::string>& proxies, std::vector<std::string> args = {},
                                      rlim_t files = 0) {
        args.insert(args.begin(), {"--url=" + origins->check.url("/"), "--expect=" + kTestMarker,
                                   "--cacert=" + origins->ca.caFile()});
        return checkedGate(proxies, std::move(args), files);
    }
    // The same, its checks as `args` say.
    std::unique_ptr<GateProcess> checkedGate(const std::vector<std::string>& proxies, std::vector<std::string> args,
                                             rlim_t files = 0) {
        std::string text;
        for (const std::string& p : proxies) text += p + "\n";
        list = dir.file("list.txt", text);
        args.push_back(list);
        auto g = std::make_unique<GateProcess>(args, files);
        const std::string checked =
            std::to_string(proxies.size()) + (proxies.size() == 1 ? " proxy" : " proxies") + " checked";
        EXPECT_TRUE(g->waitFor(checked)) << g->err();
        return g;
    }
    TempDir dir;
    std::string list;
};

std::string socks5(const LocalProxy& p) {
    return "socks5://" + p.address();
}

// The exit each answer names: "seen from 127.0.0.31".
std::string exitOf(const std::string& body) {
    const auto at = body.find("seen from ");
    return at == std::string::npos ? "" : body.substr(at + 10, body.find_first_of(" <", at + 10) - at - 10);
}

// Each kind of client through a gate over one kind of upstream: the answer comes from the upstream's address. The
// squid keeps Debian's rule: no CONNECT but to 443, so only a plain request from an HTTP client goes through it.
struct UpstreamCase : NamedCase {
    std::function<std::string()> proxy;
    std::string exit;
    bool tunnels = true;  // it makes tunnels to the origins' ports
};
class ThroughEveryUpstream : public Gate, public ::testing::WithParamInterface<UpstreamCase> {};

TEST_P(ThroughEveryUpstream, EveryKindOfClient) {
    const UpstreamCase& c = GetParam();
    const auto g = gate({c.proxy()});
    const std::string http = "http://" + g->proxy();
    const std::string ca = origins->ca.caFile();
    const std::vector<std::pair<std::string, Fetched>> asked = {
        {"http client, plain page", curl({"-x", http, origins->page.url("/")})},
        {"http client, https page", curl({"-x", http, "--cacert", ca, origins->https()})},
        {"socks5 client, https page", curl({"--socks5-hostname", g->proxy(), "--cacert", ca, origins->https()})},
        {"socks4a client, plain page", curl({"--socks4a", g->proxy(), origins->page.url("/")})},
    };
    for (const auto& [what, f] : asked) {
        const bool plainHttp = what == "http client, plain page";
        if (c.tunnels || plainHttp) {
            EXPECT_EQ(f.exit, 0) << what << ": " << g->err();
            EXPECT_EQ(exitOf(f.body), c.exit) << what << ": " << f.body;
        } else {
            EXPECT_NE(f.exit, 0) << what << ": " << f.body;  // refused, and said why: never sent directly
            if (f.http) {
                EXPECT_EQ(f.http, 502) << what;
                EXPECT_NE(f.body.find("proxy-denied"), std::string::npos) << f.body;
            }
        }
    }
    EXPECT_EQ(g->stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    All, ThroughEveryUpstream,
    ::testing::Values(
        UpstreamCase{{"Tinyproxy"}, [] { return upstreams->tiny.address(); }, "127.0.0.31"},
        UpstreamCase{{"SquidThatRefusesConnect"}, [] { return upstreams->squid.address(); }, "127.0.0.32", false},
        UpstreamCase{{"Microsocks"}, [] { return socks5(upstreams->microsocks); }, "127.0.0.33"},
        UpstreamCase{{"Dante"}, [] { return socks5(upstreams->dante); }, "127.0.0.34"},
        UpstreamCase{
            {"WithCredentials"}, [] { return "socks5h://kiriha:secret@" + upstreams->locked.address(); }, "127.0.0.35"},
        // The sellers' form, as the checks read it.
        UpstreamCase{{"TheSellersForm"}, [] { return upstreams->tiny.address() + ":u:p"; }, "127.0.0.31"}),
    caseName);

// A real browser: headless Chromium loads the suite's TLS page through the gate.
TEST_F(Gate, ChromiumLoadsAPageThroughIt) {
    if (::access("/usr/bin/chromium", X_OK) != 0)
        GTEST_SKIP() << "chromium is not installed (scripts/dev.sh installs it)";
    const auto g = gate({socks5(upstreams->dante)});
    Launch l;
    l.binary = "/usr/bin/chromium";
    l.args = {"--headless",
              "--no-sandbox",
              "--disable-gpu",
              "--disable-quic",
              "--no-first-run",
              "--disable-background-networking",
              "--disable-component-update",
              "--disable-sync",
              "--user-data-dir=" + dir.str() + "/chromium",
              "--proxy-server=http://" + g->proxy(),
              "--proxy-bypass-list=<-loopback>",
              "--ignore-certificate-errors",
              "--dump-dom",
              origins->https()};
    const Ran ran = runProgram(l);
    EXPECT_NE(ran.out.find("<p>seen from 127.0.0.34 over TLS</p>"), std::string::npos) << ran.out << g->err();
}

// Rotation: each in turn spreads thirty connections over three upstreams ten each; --sticky keeps one client on one.
TEST_F(Gate, EachInTurnAndSticky) {
    const std::vector<std::string> three = {upstreams->tiny.address(), socks5(upstreams->microsocks),
                                            socks5(upstreams->dante)};
    const auto g = gate(three);
    std::map<std::string, int> exits;
    for (int i = 0; i < 30; ++i) ++exits[exitOf(curl({"-x", "http://" + g->proxy(), origins->page.url("/")}).body)];
    EXPECT_EQ(exits, (std::map<std::string, int>{{"127.0.0.31", 10}, {"127.0.0.33", 10}, {"127.0.0.34", 10}}));
    const auto sticky = gate(three, {"--sticky=1m"});
    std::map<std::string, int> stuck;
    for (int i = 0; i < 10; ++i)
        ++stuck[exitOf(curl({"--socks5-hostname", sticky->proxy(), origins->page.url("/")}).body)];
    EXPECT_EQ(stuck.size(), 1u) << ::testing::PrintToString(stuck);
}

// A SOCKS5 proxy of the test's own that takes its time over the greeting: the slow one for --rotate=fastest.
void playSlowSocks5(TestServer::Connection& c) {
    char b[262];
    if (::recv(c.fd(), b, 3, MSG_WAITALL) != 3) return;
    c.sleep(300ms);
    c.send(std::string("\x05\x00", 2));
    if (::recv(c.fd(), b, 4, MSG_WAITALL) != 4 || b[3] != 1 || ::recv(c.fd(), b + 4, 6, MSG_WAITALL) != 6) return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_addr, b + 4, 4);
    std::memcpy(&to.sin_port, b + 8, 2);
    const UniqueFd out(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.36", &from.sin_addr);
    if (::bind(out.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(out.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        return;
    c.send(std::string("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10));
    pollfd fds[2] = {{c.fd(), POLLIN, 0}, {out.get(), POLLIN, 0}};
    for (char buf[16384]; ::poll(fds, 2, 5000) > 0;)
        for (int k = 0; k < 2; ++k)
            if (fds[k].revents) {
                const ssize_t n = ::recv(fds[k].fd, buf, sizeof buf, 0);
                if (n <= 0 || ::send(fds[1 - k].fd, buf, std::size_t(n), MSG_NOSIGNAL) != n) return;
            }
}

TEST_F(Gate, FastestPrefersTheFastOne) {
    TestServer slow(playSlowSocks5, false);
    const auto g = gate({"socks5://" + slow.address(), socks5(upstreams->microsocks)}, {"--rotate=fastest"});
    std::map<std::string, int> exits;
    for (int i = 0; i < 30; ++i) ++exits[exitOf(curl({"--socks5-hostname", g->proxy(), origins->page.url("/")}).body)];
    EXPECT_GE(exits["127.0.0.33"], 24) << ::testing::PrintToString(exits);
    EXPECT_EQ(exits["127.0.0.33"] + exits["127.0.0.36"], 30);
}

nlohmann::json status(const std::string& address) {
    const Fetched f = curl({"http://" + address + "/"});
    return nlohmann::json::parse(f.body, nullptr, false);
}
std::string stateOf(const nlohmann::json& s, const std::string& proxy) {
    for (const auto& p : s["proxies"])
        if (p["proxy"] == proxy) return p["state"];
    return "";
}

// An upstream killed mid-run: no client fails while another works, the status shows it resting, and once it runs
// again a re-check brings it back.
TEST_F(Gate, FailoverAndBack) {
    const std::string page = "127.0.0.1:" + std::to_string(freePort());
    const std::string killed = socks5(upstreams->microsocks);
    const auto g = gate({upstreams->tiny.address(), killed, socks5(upstreams->dante)},
                        {"--status=" + page, "--recheck=3s", "--max-errors=1"});
    std::map<std::string, int> exits;
    for (int i = 0; i < 18; ++i) {
        if (i == 4) upstreams->microsocks.kill();
        const Fetched f = curl({"--socks5-hostname", g->proxy(), origins->page.url("/")});
        EXPECT_EQ(f.exit, 0) << i << ": " << g->err();
        ++exits[exitOf(f.body)];
    }
    EXPECT_EQ(exits["127.0.0.31"] + exits["127.0.0.33"] + exits["127.0.0.34"], 18);
    const nlohmann::json seen = status(page);
    EXPECT_EQ(stateOf(seen, killed), "resting") << seen.dump();
    EXPECT_GE(seen["failovers"].get<int>(), 1);
    upstreams->microsocks.restart();
    bool back = false;
    for (const auto until = Clock::now() + 20s; !back && Clock::now() < until; std::this_thread::sleep_for(100ms))
        back = stateOf(status(page), killed) == "working";
    EXPECT_TRUE(back) << status(page).dump();
    const Fetched metrics = curl({"http://" + page + "/metrics"});
    EXPECT_NE(metrics.body.find("kiriha_gate_proxies{state=\"working\"} 3"), std::string::npos) << metrics.body;
}

// Never direct: with every upstream dead, every client gets its refusal at once, and the site sees no connection from
// any address but the upstreams'.
TEST_F(Gate, NeverDirect) {
    const auto g = gate({upstreams->tiny.address(), socks5(upstreams->dante)}, {"--max-errors=1"});
    const std::size_t before = origins->page.peers().size();
    EXPECT_EQ(curl({"-x", "http://" + g->proxy(), origins->page.url("/")}).exit, 0);
    upstreams->tiny.kill();
    upstreams->dante.kill();
    for (int i = 0; i < 6; ++i) {
        const Fetched http = curl({"-x", "http://" + g->proxy(), origins->page.url("/")});
        EXPECT_TRUE(http.http == 502 || http.http == 503) << http.http << " " << http.body;
        const Fetched socks = curl({"--socks5-hostname", g->proxy(), origins->page.url("/")});
        EXPECT_EQ(socks.exit, 97) << socks.body;  // the SOCKS failure, not curl's time-out (28)
    }
    EXPECT_TRUE(g->waitFor("no proxy works: clients are refused")) << g->err();
    const std::vector<std::string> peers = origins->page.peers();
    for (std::size_t i = before; i < peers.size(); ++i)
        EXPECT_TRUE(peers[i] == "127.0.0.31" || peers[i] == "127.0.0.34") << peers[i];
    upstreams->tiny.restart();
    upstreams->dante.restart();
}

// Who may use it: any address but loopback needs credentials, and wrong ones get 407 or the SOCKS failure.
TEST_F(Gate, OnlyThoseWithTheCredentials) {
    Launch open;
    open.binary = KIRIHA_GATE_BINARY;
    open.args = {"--listen=0.0.0.0:" + std::to_string(freePort()), dir.file("l", "")};
    const Ran refused = runProgram(open);
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("needs --auth or --auth-file: the gate never starts an open proxy"), std::string::npos)
        << refused.err;
    const auto g = gate({socks5(upstreams->dante)}, {"--auth=kiriha:secret"});
    EXPECT_EQ(curl({"-x", "http://kiriha:wrong@" + g->proxy(), origins->page.url("/")}).http, 407);
    EXPECT_EQ(curl({"-x", "http://" + g->proxy(), origins->page.url("/")}).http, 407);
    EXPECT_EQ(curl({"-x", "http://kiriha:secret@" + g->proxy(), origins->page.url("/")}).http, 200);
    EXPECT_EQ(curl({"-x", "socks5h://kiriha:secret@" + g->proxy(), origins->page.url("/")}).http, 200);
    EXPECT_EQ(curl({"-x", "socks5h://kiriha:wrong@" + g->proxy(), origins->page.url("/")}).exit, 97);
    EXPECT_NE(curl({"--socks4a", g->proxy(), origins->page.url("/")}).exit, 0);  // SOCKS4 carries no password
}

// A raw client of the test's own.
struct Raw {
    UniqueFd fd{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    explicit Raw(std::uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        timeval t{15, 0};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
        ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    void send(const std::string& bytes) const { ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    std::string readExactly(std::size_t n) const {  // no byte more
        std::string got(n, '\0');
        std::size_t at = 0;
        for (ssize_t k; at < n && (k = ::recv(fd.get(), got.data() + at, n - at, 0)) > 0;) at += std::size_t(k);
        got.resize(at);
        return got;
    }
    std::string readHead() const {  // up to the end of an answer's head
        std::string got;
        char c;
        while (!got.ends_with("\r\n\r\n") && ::recv(fd.get(), &c, 1, 0) == 1) got += c;
        return got;
    }
    std::string local() const {  // 127.0.0.1:port, as the gate sees it
        sockaddr_in a{};
        socklen_t n = sizeof a;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &n);
        return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }
    std::string read(std::size_t at_most = 1 << 20) const {  // until the gate ends it, or 15 s
        std::string got;
        char buf[4096];
        for (ssize_t n; got.size() < at_most && (n = ::recv(fd.get(), buf, sizeof buf, 0)) > 0;)
            got.append(buf, std::size_t(n));
        return got;
    }
};

// Hostile clients, each followed by a well-formed one that is served: the gate stays up.
struct HostileCase : NamedCase {
    std::function<std::string(std::uint16_t gate)> play;  // what the client was told, to its end
    std::string told;
    bool whole = false;  // `told` is all of it, not its start
};
class HostileClients : public Gate, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileClients, TheNextIsServed) {
    const auto g = gate({socks5(upstreams->dante)});
    const std::string told = GetParam().play(g->port);
    if (GetParam().whole)
        EXPECT_EQ(told, GetParam().told);
    else
        EXPECT_TRUE(told.starts_with(GetParam().told)) << ::testing::PrintToString(told.substr(0, 200));
    if (told.starts_with("HTTP/1.1 4") || told.starts_with("HTTP/1.1 5")) {
        EXPECT_EQ(sf::proxyStatusProblem(told), "");
    }
    const Fetched next = curl({"-x", "http://" + g->proxy(), origins->page.url("/")});
    EXPECT_EQ(next.exit, 0) << g->err();
    EXPECT_EQ(exitOf(next.body), "127.0.0.34");
    EXPECT_EQ(g->stop(), 0);
}

std::string asked(std::uint16_t gate, const std::string& bytes) {
    const Raw r(gate);
    r.send(bytes);
    return r.read();
}

INSTANTIATE_TEST_SUITE_P(
    All, HostileClients,
    ::testing::Values(
        HostileCase{{"GarbageFirst"}, [](std::uint16_t g) { return asked(g, "\x16\x03\x01\x02\x00 hello"); }, "", true},
        HostileCase{{"ConnectToPortZero"},
                    [](std::uint16_t g) { return asked(g, "CONNECT 127.0.0.1:0 HTTP/1.1\r\n\r\n"); },
                    "HTTP/1.1 400 "},
        HostileCase{{"ConnectToAMalformedHost"},
                    [](std::uint16_t g) { return asked(g, "CONNECT 127.0.0.1:80x HTTP/1.1\r\n\r\n"); },
                    "HTTP/1.1 400 "},
        HostileCase{{"Socks5WithLyingLengths"},
                    [](std::uint16_t g) {
                        const Raw r(g);
                        r.send(std::string("\x05\xff\x00", 3));  // 255 methods promised, one sent, then gone
                        ::shutdown(r.fd.get(), SHUT_WR);
                        return r.read();
                    },
                    "",
                    true},
        // A site that refuses, as the upstream says: the SOCKS reply that it refused, not that it is not allowed.
        HostileCase{{"Socks5ToAClosedPort"},
                    [](std::uint16_t g) {
                        static const ClosedPort closed;
                        const std::string port = closed.address().substr(closed.address().rfind(':') + 1);
                        const int p = std::stoi(port);
                        return asked(g, std::string("\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01", 11) + char(p >> 8) +
                                            char(p & 0xff));
                    },
                    std::string("\x05\x00\x05\x05", 4)},
        HostileCase{
            {"Socks5WithADomainOfNothing"},
            [](std::uint16_t g) { return asked(g, std::string("\x05\x01\x00\x05\x01\x00\x03\x00\x00\x50", 10)); },
            std::string("\x05\x00\x05\x01", 4)},
        HostileCase{{"SmugglingContentLengthAndChunked"},
                    [](std::uint16_t g) {
                        return asked(g, "POST " + origins->page.url("/") +
                                            " HTTP/1.1\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n"
                                            "0\r\n\r\nGET /admin HTTP/1.1\r\n\r\n");
                    },
                    "HTTP/1.1 400 "},
        HostileCase{{"SmugglingTwoLengths"},
                    [](std::uint16_t g) {
                        return asked(g, "POST " + origins->page.url("/") +
                                            " HTTP/1.1\r\nContent-Length: 0\r\nContent-Length: 30\r\n\r\n");
                    },
                    "HTTP/1.1 400 "},
        HostileCase{{"SmugglingByFolding"},
                    [](std::uint16_t g) {
                        return asked(g, "GET " + origins->page.url("/") +
                                            " HTTP/1.1\r\nX: a\r\n Transfer-Encoding: chunked\r\n\r\n");
                    },
                    "HTTP/1.1 400 "},
        // A request after the first rides on no tunnel: only the first goes on, and the connection ends with it.
        HostileCase{{"APipelinedSecondRequest"},
                    [](std::uint16_t g) {
                        const std::string get = "GET " + origins->page.url("/") + " HTTP/1.1\r\nHost: x\r\n\r\n";
                        const std::string told = asked(g, get + get);
                        return told.find("seen from", told.find("seen from") + 1) == std::string::npos ? told : "both";
                    },
                    "HTTP/1.1 200 "},
        HostileCase{{"AHeadOfAMegabyte"},
                    [](std::uint16_t g) {
                        return asked(g,
                                     "GET " + origins->page.url("/") + " HTTP/1.1\r\nX: " + std::string(1 << 20, 'x'));
                    },
                    "HTTP/1.1 431 "},  // its bytes read while it still sends: the refusal is read, not reset
        HostileCase{{"AHeadAByteASecond"},
                    [](std::uint16_t g) {
                        const Raw r(g);
                        const std::string head = "GET " + origins->page.url("/") + " HTTP/1.1\r\n\r\n";
                        std::atomic<bool> done{false};
                        std::thread slow([&] {
                            for (std::size_t i = 0; i < head.size() && !done; ++i) {
                                r.send(head.substr(i, 1));
                                std::this_thread::sleep_for(1s);
                            }
                        });
                        const std::string told = r.read();  // dropped after 10 s, before the head is whole
                        done = true;
                        slow.join();
                        return told;
                    },
                    "",
                    true},
        // An end of stream goes through the tunnel: the site gets it, answers, and the answer comes back.
        HostileCase{{"AHalfClosedTunnel"},
                    [](std::uint16_t g) {
                        const Raw r(g);
                        r.send("CONNECT " + origins->tally.address() + " HTTP/1.1\r\n\r\n");
                        const std::string ready = r.read(39);
                        r.send("twelve bytes");
                        ::shutdown(r.fd.get(), SHUT_WR);
                        return ready + r.read();
                    },
                    "HTTP/1.1 200 Connection established\r\n\r\ngot 12 bytes"},
        // ... and so does one that came before the tunnel was there.
        HostileCase{{"HalfClosedBeforeTheTunnel"},
                    [](std::uint16_t g) {
                        const Raw r(g);
                        r.send("CONNECT " + origins->tally.address() + " HTTP/1.1\r\n\r\ntwelve bytes");
                        ::shutdown(r.fd.get(), SHUT_WR);
                        return r.read();
                    },
                    "HTTP/1.1 200 Connection established\r\n\r\ngot 12 bytes"}),
    caseName);

// Five thousand clients at once under a low descriptor limit: accepting pauses, said once, and the next well-formed
// client is served once they are gone.
TEST_F(Gate, FiveThousandClientsUnderALowLimit) {
    const auto g = gate({socks5(upstreams->dante)}, {}, 256);
    // Its sockets (listening, loops, status): each client's and tunnel's go with it; pipes are kept for reuse.
    const auto sockets = [&] {
        long n = 0;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(g->pid()) + "/fd", ec))
            n += std::filesystem::read_symlink(e.path(), ec).string().starts_with("socket:");
        return n;
    };
    const long before = sockets();
    std::vector<std::unique_ptr<Raw>> crowd;
    for (int i = 0; i < 5000; ++i) {
        crowd.push_back(std::make_unique<Raw>(g->port));
        ::fcntl(crowd.back()->fd.get(), F_SETFL, O_NONBLOCK);
        crowd.back()->send("CONNECT " + origins->echo.address() + " HTTP/1.1\r\n\r\n");
    }
    EXPECT_TRUE(g->waitFor("the descriptor limit (ulimit -n) holds new clients back")) << g->err();
    crowd.clear();
    Fetched next;
    for (const auto until = Clock::now() + 30s; next.exit != 0 && Clock::now() < until;)
        next = curl({"-x", "http://" + g->proxy(), origins->page.url("/")});
    EXPECT_EQ(exitOf(next.body), "127.0.0.34") << g->err().substr(0, 2000);
    for (const auto until = Clock::now() + 10s; sockets() > before && Clock::now() < until;)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sockets(), before);
    EXPECT_EQ(g->stop(), 0);
}

// Open tunnels through the upstream that was listed.
std::vector<std::unique_ptr<Raw>> tunnels(const GateProcess& g, int n) {
    std::vector<std::unique_ptr<Raw>> open;
    for (int i = 0; i < n; ++i) {
        open.push_back(std::make_unique<Raw>(g.port));
        open.back()->send("CONNECT " + origins->echo.address() + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(open.back()->read(39), "HTTP/1.1 200 Connection established\r\n\r\n");
    }
    return open;
}
bool stillThrough(const Raw& r, const std::string& word) {
    r.send(word);
    return r.read(word.size()) == word;
}

// The lists edited while a hundred tunnels are open: none is cut; the new line serves once its check passed, and the
// line gone takes no new connection.
TEST_F(Gate, AReloadCutsNoTunnel) {
    const auto g = gate({socks5(upstreams->dante)});
    const auto open = tunnels(*g, 100);
    const std::string edited = dir.file("edited", socks5(upstreams->microsocks) + "\n");
    std::filesystem::rename(edited, list);  // as an editor replaces a file
    EXPECT_TRUE(g->waitFor("lists read again: 1 proxy, 1 new")) << g->err();
    EXPECT_TRUE(g->waitFor("1 proxy checked: 1 working")) << g->err();
    for (const auto& t : open) EXPECT_TRUE(stillThrough(*t, "ping\n"));
    EXPECT_EQ(exitOf(curl({"-x", "http://" + g->proxy(), origins->page.url("/")}).body), "127.0.0.33");
    ::kill(g->pid(), SIGHUP);  // read again on request, too
    EXPECT_TRUE(g->waitFor("lists read again: 1 proxy, 0 new")) << g->err();
}

// SIGTERM with tunnels open: no new client, the open tunnels go on for the drain, then the gate ends them and exits 0.
TEST_F(Gate, DrainsOnSigterm) {
    const auto g = gate({socks5(upstreams->dante)}, {"--drain=2s"});
    const auto open = tunnels(*g, 5);
    ::kill(g->pid(), SIGTERM);
    std::this_thread::sleep_for(200ms);
    for (const auto& t : open) EXPECT_TRUE(stillThrough(*t, "still\n"));
    EXPECT_NE(curl({"-x", "http://" + g->proxy(), origins->page.url("/")}).exit, 0);  // no longer accepted
    EXPECT_EQ(g->stop(0), 0);                             // it ends of itself once the drain is over
    for (const auto& t : open) EXPECT_EQ(t->read(), "");  // ended by it
    EXPECT_NE(g->err().find("stopped: "), std::string::npos) << g->err();
}

// As the README has it: the lists and the default address, and curl pointed at it.
TEST_F(Gate, AsTheReadmeSays) {
    Launch busy;
    busy.binary = "/bin/sh";
    busy.args = {"-c", "grep -q ':1F90 ' /proc/net/tcp"};  // 8080 taken: not ours to test on
    if (runProgram(busy).status == 0) GTEST_SKIP() << "127.0.0.1:8080 is taken";
    const std::string file = dir.file("list.txt", socks5(upstreams->dante) + "\n");
    GateProcess g({"--listen=127.0.0.1:8080", "--url=" + origins->check.url("/"), "--expect=" + kTestMarker, file});
    ASSERT_TRUE(g.waitFor("1 proxy checked: 1 working")) << g.err();
    const Fetched f = curl({"-x", "http://127.0.0.1:8080", "--cacert", origins->ca.caFile(), origins->https()});
    EXPECT_EQ(exitOf(f.body), "127.0.0.34") << g.err();
}

// The gate's CPU time so far, in seconds, from /proc.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / double(::sysconf(_SC_CLK_TCK));
}

// A client that stops reading, then resets with a download still on its way: what was left in the gate's pipe never
// reaches a later client, in either direction, and later tunnels are not wedged by it.
TEST_F(Gate, NoClientGetsAnothersBytes) {
    const auto g = gate({socks5(upstreams->dante)});
    for (int i = 0; i < 8; ++i) {
        Raw hostile(g->port);
        hostile.send("CONNECT " + origins->flood.address() + " HTTP/1.1\r\n\r\n");
        ASSERT_EQ(hostile.readExactly(39), "HTTP/1.1 200 Connection established\r\n\r\n");
        std::this_thread::sleep_for(200ms);  // the gate's pipe fills, the client reads nothing more
        const linger now{1, 0};
        ::setsockopt(hostile.fd.get(), SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }
    for (int i = 0; i < 16; ++i) {
        const Raw r(g->port);
        r.send("CONNECT " + origins->echo.address() + " HTTP/1.1\r\n\r\n");
        ASSERT_EQ(r.read(39), "HTTP/1.1 200 Connection established\r\n\r\n") << i;
        const std::string mine = "mine " + std::to_string(i) + "\n";
        EXPECT_TRUE(stillThrough(r, mine)) << i;
    }
}

// A client slower than its site, and one that resets while a plain answer is on its way: the gate's loops wake only
// for what can move, so a stalled download costs next to no CPU.
TEST_F(Gate, ASlowReaderCostsNoCpu) {
    const auto g = gate({socks5(upstreams->dante)});
    Raw slow(g->port);
    slow.send("CONNECT " + origins->flood.address() + " HTTP/1.1\r\n\r\n");
    ASSERT_EQ(slow.readExactly(39), "HTTP/1.1 200 Connection established\r\n\r\n");
    std::this_thread::sleep_for(300ms);
    const double before = cpuSeconds(g->pid());
    std::this_thread::sleep_for(2s);
    EXPECT_LT(cpuSeconds(g->pid()) - before, 0.5);
    EXPECT_GT(slow.read(1 << 16).size(), 0u);  // and it still moves when read
}

// Any client may ask for a closed port: the proxies' refusals of it rest none of them, even at one error a rest.
TEST_F(Gate, NoClientRestsTheProxies) {
    const std::string page = "127.0.0.1:" + std::to_string(freePort());
    const std::vector<std::string> three = {upstreams->tiny.address(), socks5(upstreams->microsocks),
                                            "socks4://" + upstreams->dante.address()};
    const auto g = gate(three, {"--max-errors=1", "--status=" + page});
    const ClosedPort closed;
    for (int i = 0; i < 9; ++i) {
        const Fetched f = curl({"-x", "http://" + g->proxy(), "http://" + closed.address() + "/"});
        EXPECT_NE(f.http, 200) << f.body;
    }
    const nlohmann::json seen = status(page);
    for (const std::string& p : three) EXPECT_EQ(stateOf(seen, p), "working") << p << " " << seen.dump();
    EXPECT_EQ(curl({"-x", "http://" + g->proxy(), origins->page.url("/")}).exit, 0) << g->err();
}

// Plain requests through an HTTP proxy that answers for the site, stays silent, or speaks no HTTP: a request that
// may not be sent twice is sent once and its answer passed on; any may be sent through another proxy where it can be
// sent twice; silence ends at the checks' idle limit with 504.
struct AnswerCase : NamedCase {
    std::string method, path;
    int status;         // what the client is told
    int asked;          // how many times the site's request reached the proxies
    std::string text;   // in the body the client gets
    bool gates = true;  // the gate made the answer: its Proxy-Status says why
};
class Answers : public Gate, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(Answers, SentOnlyAsOftenAsItMayBe) {
    const AnswerCase& c = GetParam();
    RecordingProxy one, two, three;
    const auto g = gate({one.server.address(), two.server.address(), three.server.address()},
                        {"--idle-timeout=1", "--max-errors=1"});
    const Fetched f =
        curl({"-i", "-x", "http://" + g->proxy(), "-X", c.method, "-d", "x=1", origins->page.url(c.path)});
    EXPECT_EQ(f.http, c.status) << f.body << g->err();
    EXPECT_NE(f.body.find(c.text), std::string::npos) << f.body;
    EXPECT_EQ(sf::proxyStatusProblem(f.body), c.gates ? "" : "no Proxy-Status") << f.body;
    EXPECT_EQ(one.asked(c.path) + two.asked(c.path) + three.asked(c.path), c.asked);
}

INSTANTIATE_TEST_SUITE_P(
    All, Answers,
    ::testing::Values(AnswerCase{{"APostTheSiteRefuses"}, "POST", "/unavailable", 503, 1, "the site says no", false},
                      AnswerCase{{"APutTheSiteRefuses"}, "PUT", "/unavailable", 502, 3, "proxy-denied"},
                      AnswerCase{{"APostToASilentProxy"}, "POST", "/silent", 504, 1, "no answer in time"},
                      AnswerCase{{"APutToSilentProxies"}, "PUT", "/silent", 502, 3, "idle-timeout"},
                      AnswerCase{{"APostAnsweredWithNoHttp"}, "POST", "/garbage", 502, 1, "no HTTP answer"}),
    caseName);

// Heads two hops could frame differently are refused with 400, and nothing of them reaches the proxy.
TEST_F(Gate, NothingIsSmuggled) {
    RecordingProxy recorder;
    const std::string page = freeAddress();
    const auto g = gate({recorder.server.address()}, {"--status=" + page});
    const std::string url = origins->page.url("/smuggled");
    const std::vector<std::string> heads = {
        "POST " + url +
            " HTTP/1.1\r\nContent-Length: 24\r\nConnection: Content-Length\r\n\r\nGET /admin HTTP/1.1\r\n\r\n",
        "POST " + url + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\nConnection: Transfer-Encoding\r\n\r\n0\r\n\r\n",
        "POST " + url + " HTTP/1.1\r\nTransfer-Encoding: identity\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
        "POST " + url + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3;a\nb\r\nabc\r\n0\r\n\r\n",
        "POST " + url + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX: \x01\r\n\r\n",
        "POST " + url + " HTTP/1.1\r\nContent-Length: 18446744073709551615\r\n\r\nabc",
        "POST " + url + " HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc",
        "GET " + url + "\x01 HTTP/1.1\r\n\r\n",
        "GET " + url + " HTTP/1.1\r\nX: a\x1b[2J\r\n\r\n",
        "get " + url + " HTTP/1.1\r\n\r\n",
        "\r\nGET " + url + " HTTP/1.1\r\n\r\n",
        "POST " + url + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nxyz\r\n",
    };
    for (const std::string& head : heads)
        EXPECT_TRUE(asked(g->port, head).starts_with("HTTP/1.1 400 ")) << ::testing::PrintToString(head);
    EXPECT_EQ(recorder.asked("/smuggled"), 0);
    // Each counted among the refused.
    const std::string metrics = curl({"http://" + page + "/metrics"}).body;
    EXPECT_NE(metrics.find("kiriha_gate_refused_total " + std::to_string(heads.size()) + "\n"), std::string::npos)
        << metrics;
    EXPECT_EQ(curl({"-x", "http://" + g->proxy(), origins->page.url("/after")}).http, 200);  // the next is served
}

// https:// proxies are checked, never served: a pool of them alone refuses with 503, and the status page says so.
TEST_F(Gate, HttpsProxiesAreCheckedNotServed) {
    LocalProxy https{LocalProxy::Kind::Stunnel, "cert = " + origins->ca.cert() + "\nkey = " + origins->ca.key(),
                     upstreams->tiny.port()};
    const std::string page = "127.0.0.1:" + std::to_string(freePort());
    const std::string proxy = "https://" + https.address();
    const auto g = gate({proxy}, {"--status=" + page});
    const Fetched f = curl({"-x", "http://" + g->proxy(), origins->page.url("/")});
    EXPECT_EQ(f.http, 503) << f.body;
    const nlohmann::json seen = status(page);
    ASSERT_EQ(seen["proxies"].size(), 1u) << seen.dump();
    EXPECT_EQ(seen["proxies"][0]["state"], "working");
    EXPECT_EQ(seen["proxies"][0]["serves"], false);
}

// Credentials of the upstreams are shown nowhere: not on the status page, not in a refusal, not in the log.
TEST_F(Gate, NoSecretIsShown) {
    const std::string page = "127.0.0.1:" + std::to_string(freePort());
    const std::string url = "socks5h://kiriha:secret@" + upstreams->locked.address();
    const std::string seller = upstreams->tiny.address() + ":kiriha:secret";
    const ClosedPort closed;
    const auto g = gate({url, seller, "socks5://kiriha:secret@" + closed.address()}, {"--status=" + page});
    const Fetched through = curl({"-x", "http://" + g->proxy(), origins->page.url("/")});
    upstreams->locked.kill();
    upstreams->tiny.kill();
    const Fetched refused = curl({"-x", "http://" + g->proxy(), origins->page.url("/")});
    const std::string seen = curl({"http://" + page + "/"}).body + curl({"http://" + page + "/metrics"}).body;
    upstreams->locked.restart();
    upstreams->tiny.restart();
    EXPECT_EQ(through.exit, 0);
    for (const std::string& text : {seen, refused.body, g->err()})
        EXPECT_EQ(text.find("secret"), std::string::npos) << text;
    EXPECT_NE(seen.find(upstreams->locked.address()), std::string::npos) << seen;  // shown, without them
}

// An upstream that resets a tunnel mid-download: the client sees a reset, never a clean end that makes a cut download
// look whole.
TEST_F(Gate, AResetIsPassedOn) {
    RecordingProxy resets;
    const auto g = gate({resets.server.address()});
    const Raw r(g->port);
    r.send("CONNECT " + origins->echo.address() + " HTTP/1.1\r\n\r\n");
    ASSERT_EQ(r.readExactly(39), "HTTP/1.1 200 Connection established\r\n\r\n");
    char buf[64];
    ssize_t n = 0;
    std::string got;
    while ((n = ::recv(r.fd.get(), buf, sizeof buf, 0)) > 0) got.append(buf, std::size_t(n));
    EXPECT_EQ(got, "partial");
    EXPECT_EQ(n, -1);
    EXPECT_EQ(errno, ECONNRESET);
}

// What the gate refuses to start with, each with exit 2 and a word why: a list it would wait on, an address another
// holds or its own status page holds, a name that stands for more than loopback, a status page open to all.
struct StartCase : NamedCase {
    std::function<std::vector<std::string>(Gate& t, const GateProcess& other)> args;
    std::string said;
    std::string ja;             // the same under a Japanese locale
    bool privateHosts = false;  // in a mount namespace of its own whose hosts file maps localhost to every address
};
class StartRefusals : public Gate, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartRefusals, ExitTwoAndSayWhy) {
    const StartCase& c = GetParam();
    if (c.privateHosts && ::geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
    const GateProcess other({dir.file("other.txt", socks5(upstreams->dante) + "\n")});
    Launch l;
    l.binary = KIRIHA_GATE_BINARY;
    l.args = c.args(*this, other);
    if (c.privateHosts) {
        const std::string hosts = dir.file("hosts", "0.0.0.0 localhost\n");
        l.args.insert(l.args.begin(),
                      {"--mount", "--propagation", "private", "/bin/sh", "-c",
                       "mount --bind " + hosts + " /etc/hosts && exec \"$0\" \"$@\"", KIRIHA_GATE_BINARY});
        l.binary = "/usr/bin/unshare";
    }
    // Under C, and under a Japanese locale: the words change, the exit status does not.
    for (const auto& [locale, said] :
         {std::pair(std::string("C"), c.said), std::pair(std::string("ja_JP.UTF-8"), c.ja)}) {
        l.env = {"LC_ALL=" + locale, "TEXTDOMAINDIR=" KIRIHA_BUILD_DIR "/share/locale"};
        const Ran ran = runProgram(l);
        EXPECT_EQ(ran.status, 2) << ran.err;
        EXPECT_NE(ran.err.find(said), std::string::npos) << ran.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, StartRefusals,
    ::testing::Values(
        StartCase{{"AFifoForAList"},
                  [](Gate& t, const GateProcess&) {
                      const std::string fifo = t.dir.str() + "/fifo";
                      ::mkfifo(fifo.c_str(), 0600);
                      return std::vector<std::string>{"--listen=" + freeAddress(), fifo};
                  },
                  "not a regular file",
                  "通常のファイルではない"},
        StartCase{{"APortAnotherGateHolds"},
                  [](Gate& t, const GateProcess& other) {
                      return std::vector<std::string>{"--listen=" + other.proxy(), t.dir.file("l", "")};
                  },
                  "Address already in use",
                  "で待ち受けできない: アドレスは既に使用中です"},
        StartCase{{"TheStatusPageOnTheListenAddress"},
                  [](Gate& t, const GateProcess&) {
                      const std::string at = freeAddress();
                      return std::vector<std::string>{"--listen=" + at, "--status=" + at, t.dir.file("l", "")};
                  },
                  "--status and --listen name the same address",
                  "--status と --listen が同じアドレスを指している"},
        StartCase{{"TheStatusPageOnTheListenPortByName"},
                  [](Gate& t, const GateProcess&) {
                      const std::string port = std::to_string(freePort());
                      return std::vector<std::string>{"--listen=127.0.0.1:" + port, "--status=localhost:" + port,
                                                      t.dir.file("l", "")};
                  },
                  "Address already in use",
                  "アドレスは既に使用中です"},
        StartCase{
            {"AStatusPageOpenToAll"},
            [](Gate& t, const GateProcess&) {
                return std::vector<std::string>{"--status=0.0.0.0:" + std::to_string(freePort()), t.dir.file("l", "")};
            },
            "needs --auth or --auth-file",
            "を出すには --auth か --auth-file が必要"},
        StartCase{{"LocalhostThatIsNotLoopback"},
                  [](Gate& t, const GateProcess&) {
                      return std::vector<std::string>{"--listen=localhost:" + std::to_string(freePort()),
                                                      t.dir.file("l", "")};
                  },
                  "needs --auth or --auth-file: it names an address that is not loopback",
                  "で待ち受けるには --auth か --auth-file が必要: ループバックではないアドレスを指している",
                  true}),
    caseName);

// A list that becomes a FIFO is never waited on: SIGTERM still ends the gate at once. A list that is a symbolic link
// is read again when the file it names is edited.
TEST_F(Gate, ListsAreNeverWaitedOn) {
    const std::string target = dir.file("target.txt", socks5(upstreams->dante) + "\n");
    const std::string link = dir.str() + "/link.txt";
    std::filesystem::create_symlink(target, link);
    GateProcess g({"--url=" + origins->check.url("/"), "--expect=" + kTestMarker, link});
    ASSERT_TRUE(g.waitFor("1 proxy checked: 1 working")) << g.err();
    const std::string edited = dir.file("edited.txt", socks5(upstreams->microsocks) + "\n");
    std::filesystem::rename(edited, target);
    EXPECT_TRUE(g.waitFor("lists read again: 1 proxy, 1 new")) << g.err();
    std::filesystem::remove(link);
    ::mkfifo(link.c_str(), 0600);
    ::kill(g.pid(), SIGHUP);
    EXPECT_TRUE(g.waitFor("not a regular file")) << g.err();
    EXPECT_EQ(g.stop(), 0);
}

// The status page's clients are bounded: three hundred that say nothing hold neither it nor the gate's accepts, and
// off loopback it wants the gate's credentials.
TEST_F(Gate, TheStatusPageHoldsUnderSilentClients) {
    const std::string page = freeAddress();
    const auto g = gate({socks5(upstreams->dante)}, {"--status=" + page}, 256);
    std::vector<std::unique_ptr<Raw>> silent;
    const auto port = std::uint16_t(std::stoi(page.substr(page.rfind(':') + 1)));
    for (int i = 0; i < 300; ++i) silent.push_back(std::make_unique<Raw>(port));
    EXPECT_EQ(curl({"-x", "http://" + g->proxy(), origins->page.url("/")}).exit, 0) << g->err();
    const Fetched f = curl({"--max-time", "30", "http://" + page + "/metrics"});
    EXPECT_EQ(f.http, 200) << f.body;
    const std::string wide = "0.0.0.0:" + std::to_string(freePort());
    const auto locked = gate({socks5(upstreams->dante)}, {"--auth=kiriha:secret", "--status=" + wide});
    const std::string url = "http://127.0.0.1:" + wide.substr(wide.rfind(':') + 1) + "/";
    EXPECT_EQ(curl({url}).http, 401);
    EXPECT_EQ(curl({"-u", "kiriha:wrong", url}).http, 401);
    EXPECT_EQ(curl({"-u", "kiriha:secret", url}).http, 200);
}

// A name server of the test's own on a loopback address that notes each name asked and never answers: the slowest
// resolver there is.
struct SilentNameServer {
    UniqueFd fd{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    std::mutex mutex;
    std::vector<std::string> asked;
    std::atomic<bool> stop{false};
    std::thread thread;
    bool bound = false;
    SilentNameServer() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        ::inet_pton(AF_INET, "127.0.0.77", &a.sin_addr);
        bound = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        const timeval t{0, 100'000};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
        thread = std::thread([this] {
            unsigned char q[512];
            while (!stop) {
                const ssize_t n = ::recv(fd.get(), q, sizeof q, 0);
                std::string name;
                for (ssize_t at = 12; at < n && q[at] != 0 && at + q[at] < n; at += q[at] + 1)
                    name += (name.empty() ? "" : ".") + std::string(reinterpret_cast<char*>(q) + at + 1, q[at]);
                if (n > 12) {
                    std::lock_guard lock(mutex);
                    asked.push_back(name);
                }
            }
        });
    }
    ~SilentNameServer() {
        stop = true;
        thread.join();
    }
    bool wasAsked(const std::string& name) {
        std::lock_guard lock(mutex);
        return std::find(asked.begin(), asked.end(), name) != asked.end();
    }
};

// With the name server silent: a client that leaves while its name is looked up never holds up its loop (the other
// clients' tunnels go on meanwhile), and a name given for a SOCKS5 upstream goes to it unasked here.
TEST_F(Gate, ASlowLookUpHoldsNoLoopUp) {
    if (::geteuid() != 0) GTEST_SKIP() << "a private mount namespace and port 53 need root";
    SilentNameServer names;
    ASSERT_TRUE(names.bound);
    const std::string list = dir.file("list.txt", "socks4://" + upstreams->dante.address() + "\n");
    const std::string resolv = dir.file("resolv.conf", "nameserver 127.0.0.77\noptions timeout:30 attempts:1\n");
    GateProcess g({"--url=" + origins->check.url("/"), "--expect=" + kTestMarker, "--drain=1s", list}, 0,
                  {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                   "mount --bind " + resolv + " /etc/resolv.conf && exec \"$0\" \"$@\"", KIRIHA_GATE_BINARY});
    ASSERT_TRUE(g.waitFor("1 proxy checked: 1 working")) << g.err();
    const auto open = tunnels(g, 8);
    for (int i = 0; i < 4; ++i) {
        const Raw leaving(g.port);
        leaving.send("CONNECT slow" + std::to_string(i) + ".example:80 HTTP/1.1\r\n\r\n");
        for (const auto until = Clock::now() + 10s; !names.wasAsked("slow" + std::to_string(i) + ".example");)
            ASSERT_LT(Clock::now(), until) << "never looked up";
    }  // each leaves while its name is still being looked up
    for (const auto& t : open) EXPECT_TRUE(stillThrough(*t, "still here\n"));
    EXPECT_EQ(g.stop(), 0);
    // Through a SOCKS5 upstream the name goes to the proxy: this machine's name server never hears of it.
    const std::string five = dir.file("five.txt", socks5(upstreams->dante) + "\n");
    GateProcess h({"--url=" + origins->check.url("/"), "--expect=" + kTestMarker, "--connect-timeout=2", five}, 0,
                  {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                   "mount --bind " + resolv + " /etc/resolv.conf && exec \"$0\" \"$@\"", KIRIHA_GATE_BINARY});
    ASSERT_TRUE(h.waitFor("1 proxy checked: 1 working")) << h.err();
    const Raw r(h.port);
    r.send("CONNECT leak.example:80 HTTP/1.1\r\n\r\n");
    r.read();
    EXPECT_FALSE(names.wasAsked("leak.example"));
}

// A second SIGTERM ends the gate at once, but not before the log has the line of a tunnel that ended during the drain.
TEST_F(Gate, ASecondSignalLosesNoLogLine) {
    const std::string log = dir.str() + "/gate.log";
    const auto g = gate({socks5(upstreams->dante)}, {"--log=" + log, "--drain=20s"});
    auto open = tunnels(*g, 2);
    ::kill(g->pid(), SIGTERM);
    std::this_thread::sleep_for(100ms);  // taken: the drain waits for the tunnels
    open.front().reset();                // one ends, its line waits for the next batch
    std::this_thread::sleep_for(20ms);
    ::kill(g->pid(), SIGTERM);
    EXPECT_EQ(g->stop(0), 0);
    std::ifstream in(log);
    int lines = 0;
    for (std::string line; std::getline(in, line);) lines += line.find(" end=closed") != std::string::npos;
    EXPECT_EQ(lines, 1);
}

// Exits in three countries, each leaving from a loopback address of its own that the suite's country database
// places, and a real judge that tells what each hides: the ways out a client's user name chooses among.
struct Exits {
    TempDir dir;
    LocalProxy judge{LocalProxy::Kind::EnvJudge, "", 0, "127.0.0.9"};
    TinyProxy jpElite{"", "127.0.0.41"};
    TinyProxy jpAnonymous{"DisableViaHeader No\n", "127.0.0.42"};
    LocalProxy usOne{LocalProxy::Kind::Microsocks, "", 0, "127.0.0.43"};
    LocalProxy usTwo{LocalProxy::Kind::Danted, "", 0, "127.0.0.44"};
    LocalProxy deTransparent{LocalProxy::Kind::Squid, "", 0, "127.0.0.45"};  // its X-Forwarded-For tells us
    std::string countries = dir.str() + "/countries.mmdb";
    Exits() {
        writeCountryDb(countries, "Kiriha-Country",
                       {{"127.0.0.41/32", "JP"},
                        {"127.0.0.42/32", "JP"},
                        {"127.0.0.43/32", "US"},
                        {"127.0.0.44/32", "US"},
                        {"127.0.0.45/32", "DE"}});
    }
    std::vector<std::string> list() const {
        return {jpElite.address(), jpAnonymous.address(), socks5(usOne), socks5(usTwo), deTransparent.address()};
    }
    LocalProxy& leavingFrom(const std::string& exit) {
        return exit == "127.0.0.41"   ? jpElite
               : exit == "127.0.0.42" ? jpAnonymous
               : exit == "127.0.0.43" ? usOne
                                      : usTwo;
    }
};
Exits& exits() {
    static Exits all;
    return all;
}

class WaysOut : public Gate {
  public:
    // A gate over the exits, judged, with the countries' database.
    std::unique_ptr<GateProcess> judged(std::vector<std::string> args = {}) {
        args.insert(args.begin(),
                    {"--judge=http://" + exits().judge.address() + "/cgi-bin/env", "--geoip=" + exits().countries});
        auto g = checkedGate(exits().list(), args);
        EXPECT_TRUE(g->waitFor("5 proxies checked: 5 working")) << g->err();
        return g;
    }
    // The exit a plain page was fetched from, through an HTTP client with `user`.
    std::string http(const GateProcess& g, const std::string& user) {
        return exitOf(curl({"-x", "http://" + g.proxy(), "--proxy-user", user, origins->page.url("/")}).body);
    }
    // The same through a SOCKS5 client, its names resolved by the proxy, over TLS.
    std::string socks(const GateProcess& g, const std::string& user) {
        return exitOf(curl({"--socks5-hostname", g.proxy(), "--proxy-user", user, "--cacert", origins->ca.caFile(),
                            origins->https()})
                          .body);
    }
};

std::string python(const std::string& proxy, const std::string& url) {
    Launch l;
    l.binary = "/usr/bin/python3";
    l.args = {"-c",
              "import sys, urllib.request as u\n"
              "o = u.build_opener(u.ProxyHandler({'http': sys.argv[1]}))\n"
              "print(o.open(sys.argv[2], timeout=10).read().decode(), end='')",
              proxy, url};
    return runProgram(l).out;
}

// Each client names a country, an anonymity or both in its user name, and leaves only where it asked; what nothing
// matches is refused with 503 and its Proxy-Status, and the site sees nothing of it.
TEST_F(WaysOut, OnlyWhereTheClientAsked) {
    const std::string status = freeAddress();
    const auto g = judged({"--status=" + status});
    std::set<std::string> jp, jpElite, jpAnonymous, us;
    for (int i = 0; i < 6; ++i) {
        jp.insert(http(*g, "u-country-jp:"));
        jpElite.insert(http(*g, "u-Country-JP-anonymity-elite:"));
        jpAnonymous.insert(http(*g, "u-country-jp-anonymity-anonymous:"));
        us.insert(socks(*g, "u-country-us:any"));
    }
    EXPECT_EQ(jp, (std::set<std::string>{"127.0.0.41", "127.0.0.42"})) << g->err();
    EXPECT_EQ(jpElite, std::set<std::string>{"127.0.0.41"});
    EXPECT_EQ(jpAnonymous, (std::set<std::string>{"127.0.0.41", "127.0.0.42"}));  // at least as hidden
    EXPECT_EQ(us, (std::set<std::string>{"127.0.0.43", "127.0.0.44"}));
    EXPECT_EQ(exitOf(python("http://u-country-de:x@" + g->proxy(), origins->page.url("/"))), "127.0.0.45");

    const int seen = origins->page.connections();
    const Fetched none = curl(
        {"-i", "-x", "http://" + g->proxy(), "--proxy-user", "u-country-de-anonymity-elite:", origins->page.url("/")});
    EXPECT_EQ(none.http, 503);
    EXPECT_NE(none.body.find("no working proxy for country=DE anonymity=elite"), std::string::npos) << none.body;
    EXPECT_EQ(sf::proxyStatusProblem(none.body), "");
    const auto members = sf::parseList(sf::fieldOf(none.body, "Proxy-Status"));
    ASSERT_TRUE(members && members->size() == 1);
    EXPECT_EQ(members->front().params.at("error"), "destination_not_found");
    EXPECT_NE(curl({"--socks5-hostname", g->proxy(), "--proxy-user", "u-country-fr:", origins->page.url("/")}).exit, 0);
    EXPECT_EQ(origins->page.connections(), seen);  // never direct, never elsewhere

    // What it cannot read is refused, and the one running the gate is told why.
    EXPECT_EQ(curl({"-x", "http://" + g->proxy(), "--proxy-user", "u-city-tokyo:", origins->page.url("/")}).http, 407);
    EXPECT_TRUE(g->waitFor("unknown key 'city'")) << g->err();
    const std::string metrics = curl({"http://" + status + "/metrics"}).body;
    for (const std::string_view line : {"kiriha_gate_working_proxies{country=\"JP\",anonymity=\"elite\"} 1",
                                        "kiriha_gate_working_proxies{country=\"US\",anonymity=\"elite\"} 2",
                                        "kiriha_gate_working_proxies{country=\"DE\",anonymity=\"transparent\"} 1",
                                        "kiriha_gate_unmatched_total{reason=\"country_anonymity\"} 1",
                                        "kiriha_gate_unmatched_total{reason=\"country\"} 1"})
        EXPECT_NE(metrics.find(line), std::string::npos) << line << "\n" << metrics;
}

// A session keeps its exit; when its proxy dies, it moves to another that matches, and the log says so; a strict
// session fails instead, and keeps failing until it ends.
TEST_F(WaysOut, ASessionKeepsItsExitUntilItsProxyDies) {
    const auto g = judged();
    const std::string kept = http(*g, "u-country-jp-session-s1:");
    for (int i = 0; i < 4; ++i) EXPECT_EQ(http(*g, "u-country-jp-session-s1:"), kept);
    LocalProxy& dies = exits().leavingFrom(kept);
    dies.kill();
    const std::string moved = http(*g, "u-country-jp-session-s1:");
    EXPECT_TRUE(moved == "127.0.0.41" || moved == "127.0.0.42") << moved;
    EXPECT_NE(moved, kept);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(http(*g, "u-country-jp-session-s1:"), moved);
    EXPECT_TRUE(g->waitFor("session=u-s1 moved=1")) << g->err();
    dies.restart();

    const std::string strict = socks(*g, "u-country-us-session-s2-strict-sesstime-30:");
    ASSERT_TRUE(strict == "127.0.0.43" || strict == "127.0.0.44") << strict << g->err();
    LocalProxy& gone = exits().leavingFrom(strict);
    gone.kill();
    for (int i = 0; i < 2; ++i) {
        const Fetched f = curl({"-i", "-x", "http://" + g->proxy(), "--proxy-user",
                                "u-country-us-session-s2-strict:", origins->page.url("/")});
        EXPECT_EQ(f.http, 502) << f.body;
        EXPECT_NE(f.body.find("lost its proxy"), std::string::npos) << f.body;
        EXPECT_EQ(sf::proxyStatusProblem(f.body), "");
    }
    EXPECT_EQ(curl({"--socks5-hostname", g->proxy(), "--proxy-user",
                    "u-country-us-session-s2-strict:", origins->page.url("/")})
                  .exit,
              97);                                        // host unreachable, as a SOCKS client is told
    EXPECT_NE(http(*g, "u-country-us-session-s3:"), "");  // another session leaves through the other
    gone.restart();
}

// --disclose: the CONNECT's answer and a plain request's answer name the proxy and the exit; a SOCKS client finds its
// own at the status page.
TEST_F(WaysOut, DiscloseNamesTheProxyAndTheExit) {
    const std::string status = freeAddress();
    const auto g = judged({"--disclose", "--status=" + status});
    const Raw tunnel(g->port);
    tunnel.send("CONNECT " + origins->echo.address() + " HTTP/1.1\r\nProxy-Authorization: Basic " +
                basicCredentials("u-country-jp-anonymity-elite-session-d1:") + "\r\n\r\n");
    const std::string head = tunnel.readHead();
    ASSERT_TRUE(head.starts_with("HTTP/1.1 200 ")) << head;
    const auto served = sf::parseList(sf::fieldOf(head, "Proxy-Status"));
    ASSERT_TRUE(served && served->size() == 1) << head;
    EXPECT_EQ(served->front().params.at("next-hop"), "http://" + exits().jpElite.address());
    const auto exit = sf::parseDictionary(sf::fieldOf(head, "X-Kiriha-Exit"));
    ASSERT_TRUE(exit) << head;
    EXPECT_EQ(exit->at("address").value, "127.0.0.41");
    EXPECT_EQ(exit->at("country").value, "JP");
    EXPECT_EQ(exit->at("anonymity").value, "elite");
    EXPECT_EQ(exit->at("session").value, "u-d1");
    tunnel.send("ping\n");
    EXPECT_EQ(tunnel.readExactly(5), "ping\n");

    const Fetched plain =
        curl({"-i", "-x", "http://" + g->proxy(), "--proxy-user", "u-country-de:", origins->page.url("/")});
    EXPECT_EQ(sf::parseDictionary(sf::fieldOf(plain.body, "X-Kiriha-Exit"))->at("address").value, "127.0.0.45");
    EXPECT_EQ(sf::parseList(sf::fieldOf(plain.body, "Proxy-Status"))->front().params.at("next-hop"),
              "http://" + exits().deTransparent.address());

    const auto open = nlohmann::json::parse(curl({"http://" + status + "/connections"}).body, nullptr, false);
    ASSERT_TRUE(open.is_array()) << open.dump();
    bool listed = false;
    for (const auto& c : open)
        if (c["client"] == tunnel.local())
            listed = c["exit"] == "127.0.0.41" && c["country"] == "JP" && c["session"] == "u-d1" &&
                     c["proxy"] == exits().jpElite.address();
    EXPECT_TRUE(listed) << open.dump() << tunnel.local();
}

// A client's word that a site refuses a proxy rests that proxy for the site, for as long as it says; a session on it
// moves. Words the page cannot take are refused.
TEST_F(WaysOut, AClientsWordRestsAProxyForOneSite) {
    const std::string status = freeAddress();
    const auto g = judged({"--status=" + status});
    const auto tell = [&](const std::string& json) {
        return curl({"-H", "Content-Type: application/json", "--data-binary", json, "http://" + status + "/feedback"});
    };
    const Raw tunnel(g->port);
    tunnel.send("CONNECT " + origins->echo.address() + " HTTP/1.1\r\nProxy-Authorization: Basic " +
                basicCredentials("u-country-jp:") + "\r\n\r\n");
    ASSERT_TRUE(tunnel.readHead().starts_with("HTTP/1.1 200 "));
    const Fetched told = tell(R"({"client":")" + tunnel.local() + R"(","verdict":"blocked","for":"3s"})");
    ASSERT_EQ(told.http, 200) << told.body;
    const std::string rested = nlohmann::json::parse(told.body)["proxy"];
    const std::string restedExit = rested == exits().jpElite.address() ? "127.0.0.41" : "127.0.0.42";
    std::set<std::string> during, after;
    for (int i = 0; i < 6; ++i) during.insert(http(*g, "u-country-jp:"));  // the same site: the origins' host
    EXPECT_EQ(during.size(), 1u);
    EXPECT_FALSE(during.contains(restedExit));
    std::this_thread::sleep_for(3s);
    for (int i = 0; i < 6; ++i) after.insert(http(*g, "u-country-jp:"));
    EXPECT_EQ(after, (std::set<std::string>{"127.0.0.41", "127.0.0.42"}));

    const std::string before = http(*g, "u-country-jp-session-f1:");
    ASSERT_EQ(tell(R"({"session":"u-f1","verdict":"blocked"})").http, 200);
    const std::string now = http(*g, "u-country-jp-session-f1:");
    EXPECT_NE(now, before);
    EXPECT_TRUE(g->waitFor("session=u-f1 moved=1")) << g->err();

    EXPECT_EQ(tell("{}").http, 400);
    EXPECT_EQ(tell(R"({"client":"127.0.0.1:1","verdict":"blocked"})").http, 404);
    EXPECT_EQ(tell(R"({"session":"u-f1","verdict":"blocked","for":"2d"})").http, 400);
    EXPECT_EQ(tell(R"({"session":"u-f1","verdict":"slow"})").http, 400);
}

// Under a Japanese locale the gate speaks Japanese to the person running it and to a person reading its refusals;
// what programs read (the log's key=value lines, Proxy-Status, the status page) stays as it is.
TEST_F(Gate, SpeaksJapaneseWhereItsUserDoes) {
    const std::string status = freeAddress();
    const std::string file = dir.file("list.txt", socks5(upstreams->dante) + "\n");
    GateProcess g(
        {"--url=" + origins->check.url("/"), "--expect=" + kTestMarker, "--status=" + status, file}, 0,
        {"/usr/bin/env", "LC_ALL=ja_JP.UTF-8", "TEXTDOMAINDIR=" KIRIHA_BUILD_DIR "/share/locale", KIRIHA_GATE_BINARY});
    ASSERT_TRUE(g.waitFor("1 件のプロクシをチェックした: 生存 1 件")) << g.err();
    EXPECT_NE(g.err().find("中継開始: 最初の生存プロクシが見つかった"), std::string::npos) << g.err();
    const Fetched refused =
        curl({"-i", "-x", "http://" + g.proxy(), "--proxy-user", "u-city-tokyo:", origins->page.url("/")});
    EXPECT_EQ(refused.http, 407);
    EXPECT_NE(refused.body.find("kiriha-gate: ユーザー名 'u-city-tokyo': 不明なキー 'city'"), std::string::npos)
        << refused.body;
    EXPECT_EQ(sf::proxyStatusProblem(refused.body), "");
    EXPECT_NE(sf::fieldOf(refused.body, "Proxy-Status").find("unknown key 'city'"), std::string::npos) << refused.body;
    EXPECT_TRUE(g.waitFor("不明なキー 'city'")) << g.err();
    const Fetched none =
        curl({"-i", "-x", "http://" + g.proxy(), "--proxy-user", "u-country-jp:", origins->page.url("/")});
    EXPECT_NE(none.body.find("国が指定されたが、ゲートに国のデータベースがない"), std::string::npos) << none.body;
    EXPECT_EQ(curl({"-x", "http://" + g.proxy(), origins->page.url("/")}).http, 200);
    EXPECT_TRUE(g.waitFor(" end=closed")) << g.err();
    EXPECT_NE(g.err().find(" end=refused why=user-name-refused"), std::string::npos) << g.err();
    const nlohmann::json seen = nlohmann::json::parse(curl({"http://" + status + "/"}).body, nullptr, false);
    EXPECT_EQ(stateOf(seen, socks5(upstreams->dante)), "working") << seen.dump();
    EXPECT_EQ(g.stop(), 0);
    EXPECT_NE(g.err().find("停止した: 3 件の接続を中継した"), std::string::npos) << g.err();
}

}  // namespace

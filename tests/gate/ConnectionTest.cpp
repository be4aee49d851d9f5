// One client connection's life on a real loop, with a clock of the test's and a proxy of its own that plays the site
// behind it too: each phase (handshake, opening, answer, relay, refusing) met with each event (the client's data,
// end, reset and silence; the proxy's data, end, reset and silence; the time running out; the drain), and what the
// client is told and the log's end= for each.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "cli/Diagnostics.h"
#include "cli/Output.h"
#include "engine/loops/CommandLoop.h"
#include "engine/loops/ProxyPool.h"
#include "gate/LoopGate.h"
#include "sys/UniqueFd.h"
#include "tests/support/NamedCase.h"
#include "tests/support/StructuredFields.h"
#include "tests/support/TestServer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The proxy's part, given the request head it read (and the site's part behind it).
using Play = std::function<void(TestServer::Connection&)>;

// A tunnel made, then `then`.
Play tunnel(std::function<void(TestServer::Connection&)> then, std::chrono::milliseconds before = 0ms) {
    return [=](TestServer::Connection& c) {
        c.sleep(before);
        if (c.send("HTTP/1.1 200 Connection established\r\n\r\n")) then(c);
    };
}
void echo(TestServer::Connection& c) {
    char buf[4096];
    for (ssize_t n; (n = ::recv(c.fd(), buf, sizeof buf, 0)) > 0;)
        if (!c.send(std::string(buf, std::size_t(n)))) return;
}
void tally(TestServer::Connection& c) {  // counts what came before the client's end, then says so
    std::size_t got = c.request().size() - c.request().find("\r\n\r\n") - 4;
    char buf[4096];
    for (ssize_t n; (n = ::recv(c.fd(), buf, sizeof buf, 0)) > 0;) got += std::size_t(n);
    c.send("got " + std::to_string(got));
}
void silent(TestServer::Connection& c) {
    c.sleep(20s);
}

// The gate's part for one loop, a client of the test's, and the log as it is written.
struct Life {
    explicit Life(const std::string& proxy) {
        gate.clock = [this] { return Clock::now() + std::chrono::nanoseconds(skipped.load()); };
        gate.budget.set(1000);
        gate.curl.limits = CheckLimits{5s, 30s, 60s};
        const auto ids = pool.update({proxy});
        pool.checked(ids[0], Verdict{ProbeOutcome::Working, Reason::Marker}, proxy, gate.now());
        home = std::make_unique<LoopGate>(loop, gate);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const UniqueFd listening(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        socklen_t length = sizeof a;
        ::bind(listening.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listening.get(), 1);
        ::getsockname(listening.get(), reinterpret_cast<sockaddr*>(&a), &length);
        ::connect(client.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        const timeval t{15, 0};
        ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
        auto served =
            std::make_shared<UniqueFd>(::accept4(listening.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        gate.budget.take(kSetupDescriptors);
        loop.post([this, served] { home->adopt(std::move(*served), "127.0.0.1:5"); });
    }
    ~Life() {
        std::atomic<bool> closed{false};
        loop.post([&] { home->close(), closed = true; });
        while (!closed) std::this_thread::sleep_for(1ms);
    }

    void send(const std::string& bytes) const { ::send(client.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    std::string readExactly(std::size_t n) const {
        std::string got(n, '\0');
        std::size_t at = 0;
        for (ssize_t k; at < n && (k = ::recv(client.get(), got.data() + at, n - at, 0)) > 0;) at += std::size_t(k);
        return got.substr(0, at);
    }
    std::string readToEnd() {
        std::string got;
        char buf[4096];
        for (ssize_t n; (n = ::recv(client.get(), buf, sizeof buf, 0)) > 0;) got.append(buf, std::size_t(n));
        return got;
    }
    void resetClient() {
        const linger now{1, 0};
        ::setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &now, sizeof now);
        client.reset();
    }
    // Time runs on by `by`, and the loop looks at its deadlines.
    void skip(std::chrono::nanoseconds by) {
        // On the loop's thread, after whatever it is doing: what it did just now happened before the time ran on.
        loop.post([this, by] {
            skipped += by.count();
            home->tick();
        });
    }
    void drain() {
        loop.post([this] { home->endAll(); });
    }
    // The log's line for the connection, once it has ended.
    std::string logged() {
        std::string got;
        char buf[4096];
        for (const auto until = Clock::now() + 10s; got.find('\n') == std::string::npos && Clock::now() < until;) {
            loop.post([this] { home->flushLog(); });
            const ssize_t n = ::read(logPipe[0].get(), buf, sizeof buf);
            if (n > 0)
                got.append(buf, std::size_t(n));
            else
                std::this_thread::sleep_for(5ms);
        }
        return got;
    }

    UniqueFd logPipe[2] = {UniqueFd(-1), UniqueFd(-1)};
    int made = [this] {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
        logPipe[0].reset(fds[0]);
        logPipe[1].reset(fds[1]);
        return 0;
    }();
    Diagnostics err{"kiriha-gate"};
    OutputWriter log{logPipe[1].get(), [](int) {}};
    ProxyPool pool{ProxyPool::Settings{}};
    Gate gate{pool, err, log};
    std::atomic<std::int64_t> skipped{0};
    std::unique_ptr<LoopGate> home;  // after the loop, whose ticks it gets
    CommandLoop loop;
    UniqueFd client{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
};

enum class After { Sending, TheTunnel, TheProxyAsked };  // when the event comes
struct LifeCase : NamedCase {
    std::string request;  // what the client sends first
    Play proxy;
    After after;
    std::function<void(Life&)> event;
    std::string told;  // the start of what the client reads to its end; "-": not read (the client reset)
    std::string end;
};
class ConnectionLife : public ::testing::TestWithParam<LifeCase> {};

TEST_P(ConnectionLife, EachPhaseMeetsEachEvent) {
    const LifeCase& c = GetParam();
    std::atomic<bool> asked{false};
    TestServer proxy([&](TestServer::Connection& conn) {
        asked = true;
        c.proxy(conn);
    });
    Life life("http://" + proxy.address());
    life.send(c.request);
    std::string told;
    if (c.after == After::TheTunnel) told = life.readExactly(39);
    if (c.after == After::TheProxyAsked)
        for (const auto until = Clock::now() + 10s; !asked && Clock::now() < until;) std::this_thread::sleep_for(1ms);
    c.event(life);
    if (c.told != "-") {
        told += life.readToEnd();
        EXPECT_TRUE(told.starts_with(c.told)) << ::testing::PrintToString(told.substr(0, 300));
        // The gate's own refusals, not a proxy's answer passed on, say why in Proxy-Status.
        if ((told.starts_with("HTTP/1.1 4") || told.starts_with("HTTP/1.1 5")) &&
            told.find("\r\n\r\nkiriha-gate: ") != std::string::npos) {
            EXPECT_EQ(sf::proxyStatusProblem(told), "") << told;
        }
        life.client.reset();  // its end, after the gate's
    }
    const std::string line = life.logged();
    EXPECT_NE(line.find(" end=" + c.end), std::string::npos) << line;
}

const std::string kConnect = "CONNECT site.example:443 HTTP/1.1\r\n\r\n";
const std::string kReady = "HTTP/1.1 200 Connection established\r\n\r\n";
const std::string kPost = "POST http://site.example/ HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi";
const std::string kGet = "GET http://site.example/ HTTP/1.1\r\n\r\n";

void nothing(Life&) {}
void clientEnds(Life& l) {
    ::shutdown(l.client.get(), SHUT_WR);
}
void clientResets(Life& l) {
    l.resetClient();
}

INSTANTIATE_TEST_SUITE_P(
    All, ConnectionLife,
    ::testing::Values(
        // The handshake.
        LifeCase{{"HandshakeThenSilence"},
                 "CONNECT site",
                 silent,
                 After::Sending,
                 [](Life& l) { l.skip(11s); },
                 "",
                 "timeout"},
        LifeCase{{"HandshakeThenTheClientEnds"}, "CONNECT site", silent, After::Sending, clientEnds, "", "gone"},
        LifeCase{{"HandshakeThenTheClientResets"}, "CONNECT site", silent, After::Sending, clientResets, "-", "gone"},
        // The tunnel being made.
        LifeCase{{"OpeningThenTheClientsData"},
                 kConnect + "hello",
                 tunnel(echo, 300ms),
                 After::Sending,
                 clientEnds,
                 kReady + "hello",
                 "closed"},
        LifeCase{{"OpeningThenTheClientEnds"},
                 kConnect + "twelve bytes",
                 tunnel(tally, 300ms),
                 After::Sending,
                 clientEnds,
                 kReady + "got 12",
                 "closed"},
        LifeCase{
            {"OpeningThenTheClientResets"}, kConnect, tunnel(echo, 500ms), After::Sending, clientResets, "-", "gone"},
        LifeCase{{"OpeningThenTheDrain"},
                 kConnect,
                 tunnel(echo, 2s),
                 After::TheProxyAsked,
                 [](Life& l) { l.drain(); },
                 "",
                 "stopped"},
        // A plain request's answer awaited.
        LifeCase{{"AnswerPassedOnAsItCame"},
                 kPost,
                 [](TestServer::Connection& c) { c.send(httpResponse(503, "no")); },
                 After::Sending,
                 nothing,
                 "HTTP/1.1 503 ",
                 "closed"},
        LifeCase{{"AnswerNeverComesForAPost"},
                 kPost,
                 silent,
                 After::TheProxyAsked,
                 [](Life& l) { l.skip(31s); },
                 "HTTP/1.1 504 ",
                 "timeout"},
        LifeCase{{"AnswerNeverComesForAGet"},
                 kGet,
                 silent,
                 After::TheProxyAsked,
                 [](Life& l) { l.skip(31s); },
                 "HTTP/1.1 502 ",
                 "failed"},
        LifeCase{{"AnswerThatIsNoHttp"},
                 kPost,
                 [](TestServer::Connection& c) { c.send("SSH-2.0-x\r\n\r\n"); },
                 After::Sending,
                 nothing,
                 "HTTP/1.1 502 ",
                 "failed"},
        LifeCase{{"AnswerCutByAReset"},
                 kPost,
                 [](TestServer::Connection& c) { c.abort(); },
                 After::Sending,
                 nothing,
                 "HTTP/1.1 502 ",
                 "failed"},
        LifeCase{{"AnswerAwaitedThenTheClientResets"}, kGet, silent, After::TheProxyAsked, clientResets, "-", "gone"},
        // The relay.
        LifeCase{{"RelayThenTheClientEnds"},
                 kConnect,
                 tunnel(echo),
                 After::TheTunnel,
                 [](Life& l) { l.send("ping"), clientEnds(l); },
                 kReady + "ping",
                 "closed"},
        LifeCase{{"RelayThenTheSiteEnds"},
                 kConnect,
                 tunnel([](TestServer::Connection& c) { c.send("bye"); }),
                 After::TheTunnel,
                 nothing,
                 kReady + "bye",
                 "closed"},
        LifeCase{{"RelayThenTheSiteResets"},
                 kConnect,
                 tunnel([](TestServer::Connection& c) { c.send("partial"), c.sleep(100ms), c.abort(); }),
                 After::TheTunnel,
                 nothing,
                 kReady + "partial",
                 "reset"},
        LifeCase{{"RelayThenTheClientResets"}, kConnect, tunnel(silent), After::TheTunnel, clientResets, "-", "reset"},
        LifeCase{{"RelayThenSilence"},
                 kConnect,
                 tunnel(silent),
                 After::TheTunnel,
                 [](Life& l) { l.skip(6min); },
                 kReady,
                 "idle"},
        LifeCase{{"RelayThenTheDrain"},
                 kConnect,
                 tunnel(silent),
                 After::TheTunnel,
                 [](Life& l) { l.drain(); },
                 kReady,
                 "stopped"},
        // A refusal on its way.
        LifeCase{{"RefusedThenTheClientEnds"},
                 "GET / HTTP/1.1\r\n\r\n",
                 silent,
                 After::Sending,
                 clientEnds,
                 "HTTP/1.1 400 ",
                 "refused"},
        LifeCase{{"RefusedThenTheClientKeepsSending"},
                 "get http://site.example/ HTTP/1.1\r\n\r\n",
                 silent,
                 After::Sending,
                 [](Life& l) { l.send(std::string(100'000, 'x')), clientEnds(l); },
                 "HTTP/1.1 400 ",
                 "refused"},
        LifeCase{{"RefusedThenSilence"},
                 "GET / HTTP/1.1\r\n\r\n",
                 silent,
                 After::Sending,
                 [](Life& l) { l.skip(3s); },
                 "HTTP/1.1 400 ",
                 "refused"}),
    caseName);

}  // namespace

namespace {

// A plain request's own way to an HTTP proxy named by its address: refused, it is the proxy's failure (held against
// it, and said), never the gate's.
TEST(ConnectionToAProxy, RefusedIsTheProxysFailure) {
    const ClosedPort closed;
    Life life("http://" + closed.address());
    life.send(kGet);
    const std::string told = life.readToEnd();
    EXPECT_TRUE(told.starts_with("HTTP/1.1 502 ")) << told;
    EXPECT_NE(told.find("refused"), std::string::npos) << told;
    // Its Proxy-Status names the proxy, refused: RFC 9209's connection_refused.
    const auto members = sf::parseList(sf::fieldOf(told, "Proxy-Status"));
    ASSERT_TRUE(members && members->size() == 1) << told;
    EXPECT_EQ(members->front().params.at("error"), "connection_refused");
    life.client.reset();
    EXPECT_NE(life.logged().find(" end=failed why=refused"), std::string::npos);
    EXPECT_EQ(life.pool.views().at(0).failures, 1u);
}

}  // namespace

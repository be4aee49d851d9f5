#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <mutex>

#include "engine/rules/Urls.h"
#include "engine/threads/CurlHttp.h"
#include "engine/threads/Probe.h"
#include "tests/support/LocalProxy.h"
#include "tests/support/Marker.h"
#include "tests/support/NamedCase.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"

namespace {

std::string requestPath(const std::string& request) {
    const auto start = request.find(' ') + 1;
    std::string target = request.substr(start, request.find(' ', start) - start);
    if (target.starts_with("http://")) target = target.substr(target.find('/', 7));
    return target;
}

// The test page's site: /page has the marker, /plain not, /redirect leads to /page.
void origin(TestServer::Connection& c) {
    const std::string path = requestPath(c.request());
    if (path == "/page")
        c.send(httpResponse(200, "<html><p>" + kTestMarker + "</p></html>"));
    else if (path == "/plain")
        c.send(httpResponse(200, "<html>no marker</html>"));
    else if (path == "/redirect")
        c.send(httpResponse(302, "moved", "Location: /page\r\n"));
    else if (path == "/big")
        c.send(httpResponse(200, std::string(200 * 1024, 'x') + kTestMarker));
    else
        c.send(httpResponse(404, "not found"));
}

class CurlProbe : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        proxy_ = new TinyProxy;
        site_ = new TestServer(origin);
    }
    static void TearDownTestSuite() {
        delete site_;
        delete proxy_;
    }

    Verdict probe(const std::string& proxyText, const std::string& path) {
        const CurlHttpLayer http(CheckLimits{std::chrono::milliseconds(2000), std::chrono::milliseconds(700),
                                             std::chrono::milliseconds(5000)});
        StopRequest stop;
        return runProbe(http, Target{site_->url(path), kTestMarker}, proxyText, stop);
    }

    static TinyProxy* proxy_;
    static TestServer* site_;

  public:
    static std::string proxyAddress() { return proxy_->address(); }
};
TinyProxy* CurlProbe::proxy_ = nullptr;
TestServer* CurlProbe::site_ = nullptr;

// Through a real tinyproxy to the site's pages, or to nothing that proxies.
// The window's checks give the command's reasons too.
struct PageCase : NamedCase {
    std::function<std::string()> proxy;
    const char* path;
    ProbeOutcome outcome;
    Reason reason;
};
class Pages : public CurlProbe, public ::testing::WithParamInterface<PageCase> {};

TEST_P(Pages, GiveTheVerdict) {
    const Verdict v = probe(GetParam().proxy(), GetParam().path);
    EXPECT_EQ(v.outcome, GetParam().outcome);
    EXPECT_EQ(reasonName(v.reason), reasonName(GetParam().reason));
}

std::string tinyproxy() {
    return CurlProbe::proxyAddress();
}

INSTANTIATE_TEST_SUITE_P(
    All, Pages,
    ::testing::Values(
        PageCase{"MarkerThroughTinyproxyWorks", tinyproxy, "/page", ProbeOutcome::Working, Reason::Marker},
        PageCase{"PageWithoutMarkerIsDead", tinyproxy, "/plain", ProbeOutcome::Dead, Reason::NoMarker},
        PageCase{"RedirectToTheMarkerWorks", tinyproxy, "/redirect", ProbeOutcome::Working, Reason::Marker},
        PageCase{"MarkerAtTheEndOfALongPageWorks", tinyproxy, "/big", ProbeOutcome::Working, Reason::Marker},
        PageCase{"ClosedPortIsDead",
                 [] {
                     static const ClosedPort closed;
                     return closed.address();
                 },
                 "/page", ProbeOutcome::Dead, Reason::Refused},
        PageCase{"LeadingBlankIsPassedAsWrittenAndFails", [] { return " " + tinyproxy(); }, "/page", ProbeOutcome::Dead,
                 Reason::ProxyName},
        PageCase{"ASocksTextWithAPathIsRefusedUnasked", [] { return "socks5://127.0.0.1/run/x.sock"; }, "/page",
                 ProbeOutcome::Dead, Reason::Unsupported}),
    caseName);

TEST_F(CurlProbe, ServerThatNeverAnswersIsDeadAfterTheIdleTimeout) {
    TestServer silent([](TestServer::Connection& c) { c.sleep(std::chrono::seconds(30)); });
    const Verdict v = probe(silent.address(), "/page");
    EXPECT_EQ(v.outcome, ProbeOutcome::Dead);
    EXPECT_EQ(reasonName(v.reason), "idle-timeout");
    EXPECT_EQ(silent.connections(), 1);
}

TEST_F(CurlProbe, NonProxyAnsweringItsOwnPageIsDeadAndSawOnlyTheAgent) {
    std::mutex m;
    std::string seen;
    TestServer web([&](TestServer::Connection& c) {
        std::lock_guard lock(m);
        seen = c.request();
        c.send(httpResponse(200, "<html>a web server, not a proxy</html>"));
    });
    EXPECT_EQ(probe(web.address(), "/page").reason, Reason::NoMarker);
    std::lock_guard lock(m);
    EXPECT_NE(seen.find("GET " + site_->url("/page") + " HTTP/1.1\r\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("User-Agent: Mozilla/4.0 (compatible; MSIE 5.01; Windows 98)\r\n"), std::string::npos);
    EXPECT_EQ(seen.find("Accept-Encoding"), std::string::npos);
    EXPECT_EQ(seen.find("Cookie"), std::string::npos);
}

TEST_F(CurlProbe, HostWithoutPeriodBypassesTheProxy) {
    const CurlHttpLayer http;
    StopRequest stop;
    const Target local{"http://localhost:" + std::to_string(site_->port()) + "/page", kTestMarker};
    const ClosedPort closed;
    EXPECT_EQ(runProbe(http, local, closed.address(), stop).outcome, ProbeOutcome::Working);
    EXPECT_TRUE(isLocalHost("http://intranet/"));
    EXPECT_FALSE(isLocalHost("http://www.apple.com/"));
}

// Proxy lists come from the internet: no proxy text may turn the check on a local Unix socket.
TEST_F(CurlProbe, ASocksProxyTextWithAPathReachesNoUnixSocket) {
    const TempDir dir;
    const std::string path = dir.str() + "/app.sock";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 16), 0);
    for (const std::string& text :
         {"socks5h://localhost" + path, "socks5://localhost" + path, "SOCKS5H://LocalHost" + path,
          "socks4a://localhost" + path, "socks4://localhost" + path, "socks5h://localhost:1080" + path,
          "socks5h://%6Cocalhost" + path, "socks5h://localhost/%2F" + path.substr(1)}) {
        EXPECT_TRUE(reachesUnixSocket(text)) << text;
        EXPECT_EQ(probe(text, "/page").outcome, ProbeOutcome::Dead) << text;
    }
    pollfd p{listener, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 200), 0) << "the socket saw a connection";
    ::close(listener);
    // The forms that name a host and port stay as they were.
    for (const std::string text :
         {"127.0.0.1:3128", "proxy.example:8080", "http://127.0.0.1:3128/", "https://127.0.0.1:3128",
          "socks5://127.0.0.1:1080", "socks5h://127.0.0.1:1080/", "socks4a://localhost:1080"})
        EXPECT_FALSE(reachesUnixSocket(text)) << text;
}

}  // namespace

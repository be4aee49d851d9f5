// The path a working verdict takes on the internet, all on 127.0.0.1: a plain GET through the proxy, a 301 to
// https, CONNECT (or SOCKS) to the TLS origin through the same proxy, the certificate verified against the
// suite's own CA, and a chunked page of about 250 KB with the marker in its last kilobyte.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "engine/threads/CurlHttp.h"
#include "engine/threads/WindowRun.h"
#include "tests/support/LocalProxy.h"
#include "tests/support/Marker.h"
#include "tests/support/NamedCase.h"
#include "tests/support/RunHarness.h"
#include "tests/support/TestCa.h"
#include "tests/support/TestServer.h"

namespace {

using namespace std::chrono_literals;

struct Servers {
    TestCa ca;
    const std::string page = std::string(249 * 1024, 'x') + "<p>" + kTestMarker + "</p>" + std::string(900, 'y');
    TestServer tlsOrigin{[this](TestServer::Connection& c) {
                             serveTls(c.fd(), ca.cert(), ca.key(),
                                      [this](const std::string&) { return chunkedResponse(page); });
                         },
                         false};
    TestServer httpOrigin{[this](TestServer::Connection& c) {
        c.send(httpResponse(301, "moved", "Location: https://" + tlsOrigin.address() + "/\r\n"));
    }};
    TinyProxy tinyproxy;
    TinyProxy refusesConnect{"ConnectPort 1\n"};  // CONNECT to port 1 only
    LocalProxy squid{LocalProxy::Kind::Squid};
    LocalProxy microsocks{LocalProxy::Kind::Microsocks};
    LocalProxy dante{LocalProxy::Kind::Danted};
    LocalProxy httpsProxy{LocalProxy::Kind::Stunnel, "cert = " + ca.cert() + "\nkey = " + ca.key(), tinyproxy.port()};
    // Says yes to CONNECT, then answers TLS itself with a certificate nobody trusts.
    TestServer interceptor{[this](TestServer::Connection& c) {
        if (!c.request().starts_with("CONNECT ")) return;
        c.send("HTTP/1.1 200 Connection established\r\n\r\n");
        serveTls(c.fd(), ca.untrustedCert(), ca.untrustedKey(),
                 [this](const std::string&) { return chunkedResponse(page); });
    }};
};

struct PathCase : NamedCase {
    std::function<std::string(const Servers&)> proxy;
    ProbeOutcome outcome;
};

class RealPath : public ::testing::TestWithParam<PathCase> {
  protected:
    static void SetUpTestSuite() { servers_ = new Servers; }
    static void TearDownTestSuite() {
        delete servers_;
        servers_ = nullptr;
    }

    // One line through the window's check run, or through the command's event loops; the result line it gives.
    static std::string check(const std::string& proxy, bool looped) {
        const CheckSettings curl{{5000ms, 5000ms, 20000ms}, servers_->ca.caFile()};
        const Target target{servers_->httpOrigin.url("/"), kTestMarker};
        std::vector<std::string> lines;
        if (looped) {
            CommandRunConfig config;
            config.curl = curl;
            config.target = target;
            lines = checkThroughLoops({proxy}, config, 30s);
        } else {
            RunConfig config;
            config.http = std::make_shared<CurlHttpLayer>(curl);
            config.target = target;
            config.wavePause = 1ms;
            lines = checkThroughRun({proxy}, config, 30s);
        }
        return lines.size() == 1 ? lines[0] : "(no verdict)";
    }

    static Servers* servers_;
};
Servers* RealPath::servers_ = nullptr;

TEST_P(RealPath, GivesTheVerdict) {
    const std::string proxy = GetParam().proxy(*servers_);
    for (const bool looped : {false, true}) {
        const int pagesBefore = servers_->tlsOrigin.connections();
        EXPECT_EQ(check(proxy, looped), resultLine(GetParam().outcome, proxy)) << (looped ? "event loops" : "thread");
        if (GetParam().outcome == ProbeOutcome::Working) {
            EXPECT_GT(servers_->tlsOrigin.connections(), pagesBefore);  // the page came over TLS
        }
    }
}

std::string at(std::string scheme, const LocalProxy& p) {
    return scheme + p.address();
}

INSTANTIATE_TEST_SUITE_P(
    All, RealPath,
    ::testing::Values(
        PathCase{"Tinyproxy", [](const Servers& s) { return s.tinyproxy.address(); }, ProbeOutcome::Working},
        PathCase{"TinyproxyWithScheme", [](const Servers& s) { return at("http://", s.tinyproxy); },
                 ProbeOutcome::Working},
        PathCase{"Squid", [](const Servers& s) { return s.squid.address(); }, ProbeOutcome::Working},
        PathCase{"Socks5", [](const Servers& s) { return at("socks5://", s.microsocks); }, ProbeOutcome::Working},
        PathCase{"Socks5h", [](const Servers& s) { return at("socks5h://", s.microsocks); }, ProbeOutcome::Working},
        PathCase{"Socks4", [](const Servers& s) { return at("socks4://", s.dante); }, ProbeOutcome::Working},
        PathCase{"Socks5ThroughDante", [](const Servers& s) { return at("socks5h://", s.dante); },
                 ProbeOutcome::Working},
        PathCase{"HttpsProxy", [](const Servers& s) { return at("https://", s.httpsProxy); }, ProbeOutcome::Working},
        PathCase{"RefusesConnect", [](const Servers& s) { return s.refusesConnect.address(); }, ProbeOutcome::Dead},
        PathCase{"AnswersConnectWithItsOwnCertificate", [](const Servers& s) { return s.interceptor.address(); },
                 ProbeOutcome::Dead}),
    caseName);

}  // namespace

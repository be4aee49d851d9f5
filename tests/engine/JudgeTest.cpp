// How a judge's echo is read and what it says of a proxy: both forms, and addresses matched whole.
#include <gtest/gtest.h>

#include "engine/rules/Judge.h"
#include "tests/support/NamedCase.h"

namespace {

struct EchoCase : NamedCase {
    std::string body;
    std::string anonymity;  // empty: no judge's echo
    std::vector<std::string> leaks = {};
    std::string exit = "198.51.100.7";
};

class EchoTable : public ::testing::TestWithParam<EchoCase> {};

TEST_P(EchoTable, SaysWhatTheFarEndSaw) {
    const EchoCase& c = GetParam();
    const std::optional<Echo> echo = readEcho(c.body);
    ASSERT_EQ(echo.has_value(), !c.anonymity.empty());
    if (!echo) return;
    const Sighting seen = classify(*echo, {"10.0.0.1", "2001:db8::1"});
    EXPECT_EQ(anonymityName(seen.anonymity), c.anonymity);
    EXPECT_EQ(seen.leaks, c.leaks);
    EXPECT_EQ(seen.exit, c.exit);
}

const std::string kPeer = "REMOTE_ADDR=198.51.100.7\n";

INSTANTIATE_TEST_SUITE_P(
    All, EchoTable,
    ::testing::Values(
        EchoCase{{"AnEnvDumpWithAVia"},
                 "PATH=/bin\n" + kPeer + "HTTP_VIA=1.1 cache\nHTTP_ACCEPT=*/*\n",
                 "anonymous",
                 {"Via"}},
        EchoCase{{"ThePhpFormWithBreaks"},
                 "REMOTE_ADDR = 198.51.100.7<br>\r\nHTTP_X_FORWARDED_FOR = 10.0.0.1<br />\r\n",
                 "transparent",
                 {"X-Forwarded-For"}},
        // An address is matched whole: 10.0.0.11 is not 10.0.0.1.
        EchoCase{{"AnotherAddressThatHoldsOursAsText"},
                 kPeer + "HTTP_X_FORWARDED_FOR=10.0.0.11, 110.0.0.1\n",
                 "anonymous",
                 {"X-Forwarded-For"}},
        EchoCase{
            {"OursWithAPort"}, kPeer + "HTTP_FORWARDED=for=10.0.0.1:4711;proto=http\n", "transparent", {"Forwarded"}},
        EchoCase{
            {"OursInIpv6Brackets"}, kPeer + "HTTP_FORWARDED=for=\"[2001:db8::1]:80\"\n", "transparent", {"Forwarded"}},
        EchoCase{{"OursIpv4Mapped"}, kPeer + "HTTP_X_REAL_IP=::ffff:10.0.0.1\n", "transparent", {"X-Real-Ip"}},
        EchoCase{{"TheJudgeSawUs"}, "REMOTE_ADDR=10.0.0.1\n", "transparent", {"REMOTE_ADDR"}, "10.0.0.1"},
        // Host names the judge as we asked for it: on our own machine, that is no leak.
        EchoCase{{"AHostOfOurs"}, kPeer + "HTTP_HOST=10.0.0.1:8080\nHTTP_USER_AGENT=Mozilla/4.0\n", "elite"},
        EchoCase{{"HttpbinsForm"},
                 R"({"args":{},"headers":{"Host":"x","Via":"1.1 squid"},"origin":"198.51.100.7","url":"x"})",
                 "anonymous",
                 {"Via"}},
        // httpbin names the forwarded addresses as its origin: the exit is the nearest.
        EchoCase{{"HttpbinsOriginFromAForwardedFor"},
                 R"({"headers":{"X-Forwarded-For":"10.0.0.1"},"origin":"10.0.0.1, 198.51.100.7"})",
                 "transparent",
                 {"origin", "X-Forwarded-For"}},
        EchoCase{{"HttpbinsOriginThatIsNoAddress"},
                 R"({"headers":{"X-Forwarded-For":"unknown"},"origin":"unknown"})",
                 "anonymous",
                 {"X-Forwarded-For"},
                 ""},
        EchoCase{{"AnHtmlPage"}, "<html><body>Example Domain</body></html>", ""},
        EchoCase{{"NoRemoteAddress"}, "HTTP_VIA=1.1 cache\n", ""},
        EchoCase{{"ARemoteAddressThatIsNone"}, "REMOTE_ADDR=localhost\n", ""},
        EchoCase{{"JsonWithoutAnOrigin"}, R"({"headers":{"Via":"x"}})", ""}),
    caseName);

}  // namespace

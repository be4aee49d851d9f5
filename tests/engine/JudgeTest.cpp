// How a judge's echo is read and what it says of a proxy: both forms, addresses matched whole, and what the judge's
// own front adds told apart from what a proxy adds.
#include <gtest/gtest.h>

#include "engine/rules/Judge.h"
#include "tests/support/NamedCase.h"

namespace {

struct EchoCase : NamedCase {
    std::string body;
    std::string anonymity;  // empty: no judge's echo
    std::vector<std::string> leaks = {};
    std::string exit = "198.51.100.7";
    EchoFault fault = EchoFault::None;
};

class EchoTable : public ::testing::TestWithParam<EchoCase> {};

TEST_P(EchoTable, SaysWhatTheFarEndSaw) {
    const EchoCase& c = GetParam();
    const EchoRead read = readEcho(c.body);
    ASSERT_EQ(read.echo.has_value(), !c.anonymity.empty());
    EXPECT_EQ(read.fault, c.fault);
    if (!read.echo) return;
    const Sighting seen = classify(*read.echo, JudgeBaseline{"", {"10.0.0.1", "2001:db8::1"}, {}, false});
    EXPECT_EQ(anonymityName(seen.anonymity), c.anonymity);
    EXPECT_EQ(seen.leaks, c.leaks);
    EXPECT_EQ(seen.exit, c.exit);
}

const std::string kPeer = "REMOTE_ADDR=198.51.100.7\n";

std::string manyHeaders(int n) {
    std::string json = R"({"origin":"198.51.100.7","headers":{)";
    for (int i = 0; i < n; ++i) json += "\"X-" + std::to_string(i) + "\":\"v\",";
    return json + R"("X-0":"10.0.0.1"}})";  // a duplicate last: the first stands
}

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
        // The common PHP judge writes every variable on one line.
        EchoCase{{"ThePhpFormOnOneLine"},
                 "REMOTE_ADDR = 198.51.100.7<br>HTTP_VIA = 1.1 cache<BR/>HTTP_HOST = j.example<br >",
                 "anonymous",
                 {"Via"}},
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
        // httpbin takes its origin from an X-Forwarded-For a proxy sent: then it names no exit, ours least of all.
        EchoCase{{"HttpbinsOriginFromAForwardedFor"},
                 R"({"headers":{"X-Forwarded-For":"10.0.0.1, 198.51.100.9"},"origin":"10.0.0.1, 198.51.100.9"})",
                 "transparent",
                 {"X-Forwarded-For"},
                 ""},
        EchoCase{{"HttpbinsOriginThatIsNoAddress"},
                 R"({"headers":{"X-Forwarded-For":"unknown"},"origin":"unknown"})",
                 "anonymous",
                 {"X-Forwarded-For"},
                 ""},
        // A value in an array has no header name: not the last key's.
        EchoCase{{"AnArrayOfHeadersNamesNone"}, R"({"origin":"198.51.100.7","headers":["10.0.0.1"]})", "elite"},
        EchoCase{{"ThousandsOfHeaderNamesTheFirstStands"}, manyHeaders(2000), "elite"},
        EchoCase{{"AnHtmlPage"}, "<html><body>Example Domain</body></html>", "", {}, "", EchoFault::NoAddress},
        EchoCase{{"NoRemoteAddress"}, "HTTP_VIA=1.1 cache\n", "", {}, "", EchoFault::NoAddress},
        EchoCase{{"ARemoteAddressThatIsNone"}, "REMOTE_ADDR=localhost\n", "", {}, "", EchoFault::NoAddress},
        EchoCase{{"JsonWithoutAnOrigin"}, R"({"headers":{"Via":"x"}})", "", {}, "", EchoFault::NoAddress},
        EchoCase{{"LongerThanAJudgeWrites"},
                 kPeer + "HTTP_X=" + std::string(kMaxEcho, 'x') + "\n",
                 "",
                 {},
                 "",
                 EchoFault::TooLong},
        EchoCase{{"NestedDeeperThanAJudgeWrites"},
                 R"({"origin":"198.51.100.7","x":)" + std::string(kMaxEchoDepth, '[') +
                     std::string(kMaxEchoDepth, ']') + "}",
                 "",
                 {},
                 "",
                 EchoFault::TooDeep},
        EchoCase{{"JsonThatEndsTooSoon"}, R"({"origin":"198.51.100.7","headers":{)", "", {}, "", EchoFault::Malformed}),
    caseName);

// What the judge's front adds to a request straight from us is no proxy's doing: only what a proxy adds beyond it
// counts.
struct FrontCase : NamedCase {
    std::string direct;  // the echo of the preflight, sent with our Via
    std::string proxied;
    std::string anonymity;  // empty: the preflight refuses the judge, saying `problem`
    std::vector<std::string> leaks = {};
    std::string exit = "";
    std::string problem = "";
};

class FrontTable : public ::testing::TestWithParam<FrontCase> {};

TEST_P(FrontTable, OnlyWhatAProxyAddsCounts) {
    const FrontCase& c = GetParam();
    const EchoRead direct = readEcho(c.direct);
    ASSERT_TRUE(direct.echo);
    const Learnt learnt = learnBaseline(*direct.echo, "n0nce", {"2001:db8::1"});
    ASSERT_EQ(learnt.baseline.has_value(), !c.anonymity.empty()) << learnt.problem;
    if (!learnt.baseline) {
        EXPECT_TRUE(learnt.problem.starts_with(c.problem)) << learnt.problem;
        return;
    }
    const EchoRead proxied = readEcho(c.proxied);
    ASSERT_TRUE(proxied.echo);
    const Sighting seen = classify(*proxied.echo, *learnt.baseline);
    EXPECT_EQ(anonymityName(seen.anonymity), c.anonymity);
    EXPECT_EQ(seen.leaks, c.leaks);
    EXPECT_EQ(seen.exit, c.exit);
}

// A judge behind a front at 10.9.9.9 that adds a Via and an X-Forwarded-For of its own.
const std::string kFronted =
    "REMOTE_ADDR=10.9.9.9\nHTTP_VIA=1.1 kiriha-check, 1.1 front\nHTTP_X_FORWARDED_FOR=10.0.0.1\n";

INSTANTIATE_TEST_SUITE_P(
    All, FrontTable,
    ::testing::Values(
        FrontCase{{"AnEliteProxyBehindAFront"},
                  kFronted,
                  "REMOTE_ADDR=10.9.9.9\nHTTP_VIA=1.1 front\nHTTP_X_FORWARDED_FOR=198.51.100.7\n",
                  "elite",
                  {},
                  "198.51.100.7"},
        FrontCase{{"AProxysViaBeforeTheFronts"},
                  kFronted,
                  "REMOTE_ADDR=10.9.9.9\nHTTP_VIA=1.1 tinyproxy, 1.1 front\nHTTP_X_FORWARDED_FOR=198.51.100.7\n",
                  "anonymous",
                  {"Via"},
                  "198.51.100.7"},
        FrontCase{{"ATransparentProxyBehindAFront"},
                  kFronted,
                  "REMOTE_ADDR=10.9.9.9\nHTTP_VIA=1.1 squid, 1.1 front\nHTTP_X_FORWARDED_FOR=10.0.0.1, 198.51.100.7\n",
                  "transparent",
                  {"X-Forwarded-For"},
                  "198.51.100.7"},
        FrontCase{{"NoFront"},
                  "REMOTE_ADDR=10.0.0.1\nHTTP_VIA=1.1  Kiriha-Check\n",
                  "REMOTE_ADDR=198.51.100.7\nHTTP_X_FORWARDED_FOR=10.0.0.1\n",
                  "transparent",
                  {"X-Forwarded-For"},
                  "198.51.100.7"},
        FrontCase{{"AFrontThatReplacesOurVia"},
                  "REMOTE_ADDR=10.9.9.9\nHTTP_VIA=1.1 front\n",
                  "",
                  "",
                  {},
                  "",
                  "the judge does not show the Via header it was sent"},
        FrontCase{{"AFrontThatSaysNothingOfUs"},
                  "REMOTE_ADDR=10.9.9.9\nHTTP_VIA=1.1 kiriha-check, 1.1 front\n",
                  "",
                  "",
                  {},
                  "",
                  "the judge names no address it saw the request come from"}),
    caseName);

TEST(Anonymity, IsRankedByWhatItShows) {
    EXPECT_TRUE(hidesAtLeast(Anonymity::Elite, Anonymity::Anonymous));
    EXPECT_TRUE(hidesAtLeast(Anonymity::Anonymous, Anonymity::Anonymous));
    EXPECT_FALSE(hidesAtLeast(Anonymity::Transparent, Anonymity::Anonymous));
    EXPECT_FALSE(hidesAtLeast(Anonymity::Anonymous, Anonymity::Elite));
}

}  // namespace

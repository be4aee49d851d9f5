#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/threads/Probe.h"
#include "tests/support/Marker.h"
#include "tests/support/NamedCase.h"

namespace {

struct ReadStep {
    std::string bytes;
    bool ok = true;
    bool stopDuring = false;  // the stop request arrives while this read waits
};

// An HTTP layer that plays a script: whether the opens succeed, then one entry per read.
class ScriptedHttp : public HttpLayer {
  public:
    bool sessionOk = true;
    bool urlOk = true;
    std::vector<ReadStep> reads;
    mutable std::size_t readsDone = 0;
    mutable std::string agentSeen, proxySeen, bypassSeen, urlSeen;

    std::unique_ptr<HttpSession> openSession(std::string_view agent, const std::string& proxy, std::string_view bypass,
                                             const StopRequest& stop) const override {
        agentSeen = agent;
        proxySeen = proxy;
        bypassSeen = bypass;
        if (!sessionOk) return nullptr;
        return std::make_unique<Session>(*this, const_cast<StopRequest&>(stop));
    }

  private:
    struct Request : HttpRequest {
        Request(const ScriptedHttp& h, StopRequest& s) : http(h), stop(s) {}
        bool read(char* buffer, std::size_t size, std::size_t& got) override {
            got = 0;
            if (++http.readsDone > http.reads.size()) return true;  // past the script: end of body
            const ReadStep& step = http.reads[http.readsDone - 1];
            if (step.stopDuring) stop.requestStop();
            if (!step.ok) return false;
            got = std::min(size, step.bytes.size());
            std::memcpy(buffer, step.bytes.data(), got);
            return true;
        }
        const ScriptedHttp& http;
        StopRequest& stop;
    };
    struct Session : HttpSession {
        Session(const ScriptedHttp& h, StopRequest& s) : http(h), stop(s) {}
        std::unique_ptr<HttpRequest> openUrl(const std::string& url) override {
            http.urlSeen = url;
            if (!http.urlOk) return nullptr;
            return std::make_unique<Request>(http, stop);
        }
        const ScriptedHttp& http;
        StopRequest& stop;
    };
};

struct ProbeCase : NamedCase {
    bool sessionOk;
    bool urlOk;
    bool stopBefore;
    std::vector<ReadStep> reads;
    ProbeOutcome expected;
    std::size_t readsExpected;
};

class ProbeReadLoop : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeReadLoop, Outcome) {
    const ProbeCase& c = GetParam();
    ScriptedHttp http;
    http.sessionOk = c.sessionOk;
    http.urlOk = c.urlOk;
    http.reads = c.reads;
    StopRequest stop;
    if (c.stopBefore) stop.requestStop();
    EXPECT_EQ(runProbe(http, Target{}, "proxy:8080", stop).outcome, c.expected);
    EXPECT_EQ(http.readsDone, c.readsExpected);
}

const std::string page = "<html>" + kTestMarker + "</html>";
const std::string plain = "<html>nothing here</html>";
std::string withNul() {
    return std::string("<html>\0", 7) + kTestMarker;
}

INSTANTIATE_TEST_SUITE_P(
    All, ProbeReadLoop,
    ::testing::Values(
        ProbeCase{"MarkerInFirstChunk", true, true, false, {{page}}, ProbeOutcome::Working, 1},
        ProbeCase{"MarkerInLaterChunk", true, true, false, {{plain}, {plain}, {page}}, ProbeOutcome::Working, 3},
        ProbeCase{"NoMarker", true, true, false, {{plain}, {plain}}, ProbeOutcome::Dead, 3},
        ProbeCase{"EmptyBody", true, true, false, {}, ProbeOutcome::Dead, 1},
        ProbeCase{"SessionFails", false, true, false, {{page}}, ProbeOutcome::Dead, 0},
        ProbeCase{"UrlFails", true, false, false, {{page}}, ProbeOutcome::Dead, 0},
        ProbeCase{"ReadFailsAfterPlainChunk", true, true, false, {{plain}, {page, false}}, ProbeOutcome::Dead, 2},
        ProbeCase{"StopBeforeFirstRead", true, true, true, {{page}}, ProbeOutcome::Aborted, 0},
        ProbeCase{"StopDuringEmptyRead", true, true, false, {{plain}, {"", true, true}}, ProbeOutcome::Dead, 2},
        ProbeCase{"StopDuringReadWithMarker", true, true, false, {{page, true, true}}, ProbeOutcome::Working, 1},
        ProbeCase{
            "StopDuringReadWithoutMarker", true, true, false, {{plain, true, true}, {page}}, ProbeOutcome::Aborted, 1},
        ProbeCase{"MarkerSplitAcrossTwoReads",
                  true,
                  true,
                  false,
                  {{"<p>Apple Inc. All ri"}, {"ghts reserved.</p>"}},
                  ProbeOutcome::Working,
                  2},
        ProbeCase{"MarkerSplitAcrossThreeReads",
                  true,
                  true,
                  false,
                  {{"Apple"}, {" Inc. All "}, {"rights reserved."}},
                  ProbeOutcome::Working,
                  3},
        ProbeCase{"MarkerSplitAfterLongChunk",
                  true,
                  true,
                  false,
                  {{std::string(16000, 'x') + "Apple Inc."}, {" All rights reserved."}},
                  ProbeOutcome::Working,
                  2},
        ProbeCase{"AlmostMarkerAcrossReads",
                  true,
                  true,
                  false,
                  {{"Apple Inc. All rights"}, {" reserved!"}},
                  ProbeOutcome::Dead,
                  3},
        ProbeCase{"NulBeforeMarker", true, true, false, {{withNul()}}, ProbeOutcome::Working, 1}),
    caseName);

TEST(Probe, HandsProxyTextAgentBypassAndUrlOverUnchanged) {
    ScriptedHttp http;
    StopRequest stop;
    runProbe(http, Target{}, " 10.0.0.1:8080 ", stop);
    EXPECT_EQ(http.proxySeen, " 10.0.0.1:8080 ");
    EXPECT_EQ(http.agentSeen, "Mozilla/4.0 (compatible; MSIE 5.01; Windows 98)");
    EXPECT_EQ(http.bypassSeen, "<local>");
    EXPECT_EQ(http.urlSeen, "http://www.apple.com/");
}

TEST(Probe, ResultLinesUseTheSixBytePrefixes) {
    EXPECT_EQ(resultLine(ProbeOutcome::Dead, "p:1"), "\x8e\x80\x96\x53\x81\x46p:1");
    EXPECT_EQ(resultLine(ProbeOutcome::Working, "p:1"), "\x82\x6e\x82\x6a\x81\x46p:1");
    EXPECT_EQ(resultLine(ProbeOutcome::Aborted, "p:1"), "\x92\x86\x8e\x7e\x81\x46p:1");
}

}  // namespace

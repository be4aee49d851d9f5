#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/rules/CountryDb.h"
#include "engine/rules/Judge.h"
#include "engine/rules/PageDigest.h"
#include "engine/rules/Verdict.h"

std::string_view resultPrefix(ProbeOutcome outcome);
std::string resultLine(ProbeOutcome outcome, std::string_view proxy);

// What every check requests and looks for. Tests point it at pages of their own.
struct Target {
    std::string url = "http://www.apple.com/";
    std::string marker = "Apple Inc. All rights reserved.";
    bool bypassLocal = true;  // a host without a period is fetched directly, past the proxy ("<local>")
    // The command's rule: a proxy's own answer (407, 502, 503, 504) decides, marker or not; the window's marker alone
    // decides. `directStatus` is what the page answered when fetched directly, when it was.
    bool proxyAnswerDecides = false;
    std::optional<long> directStatus{};

    // What else the command may ask of the page: that it be a judge's echo of the request, or the very page
    // fetched directly. The window asks for the marker alone.
    enum class Page { Marker, Echo, Unaltered } page = Page::Marker;
    bool sendVia = false;                          // a forwarding header of our own, for a judge to echo back
    std::shared_ptr<const JudgeBaseline> judge{};  // with an echo: what the judge's side shows of us and adds
    bool keepEcho = false;                         // with an echo: hand it on whole (fetched directly, to learn)
    Anonymity least = Anonymity::Transparent;      // with an echo: a proxy that shows more of us is dead
    std::string digest{};                          // unaltered: the page's, fetched directly; empty: learnt now
    std::shared_ptr<const CountryDb> countries{};  // where the exit or the proxy is, when set
    std::vector<std::string> keepCountries{};      // the countries a working proxy must be in; empty: any

    // The same page fetched without a proxy: nothing a proxy may be found out by applies, and the page's own answer
    // is the page's.
    Target forDirect() const;
};

// A proxy's own answer to a request through it, whatever page it sends with it: 407 wants credentials, 502, 503
// and 504 say it cannot reach the page, and 401 where the page fetched directly (`directStatus`) wanted none is
// how tinyproxy answers a wrong password. Nothing for any other status.
std::optional<Reason> proxysOwnAnswer(long status, std::optional<long> directStatus);
// A status a page fetched directly must answer with for its checks to mean anything: a success.
inline bool pageAnswered(std::optional<long> status) {
    return status && *status >= 200 && *status < 300;
}

inline constexpr std::string_view kProbeAgent = "Mozilla/4.0 (compatible; MSIE 5.01; Windows 98)";
inline constexpr std::string_view kProxyBypass = "<local>";
inline constexpr std::size_t kChunkSize = 16384;
// The window's pace: a wave of ten new checks, then a pause of a second. The command starts as many a second by
// default, and a try again waits a wave's time.
inline constexpr int kWaveSize = 10;
inline constexpr std::chrono::milliseconds kWavePause{1000};

// The one value shared between the run's thread and a check.
class StopRequest {
  public:
    enum class Level {
        None,
        Stop,     // seen by the read loop
        Abandon,  // the program is ending: drop everything now, post nothing
    };
    void requestStop() {
        Level expected = Level::None;
        level_.compare_exchange_strong(expected, Level::Stop);
    }
    void abandon() { level_.store(Level::Abandon); }
    bool stopRequested() const { return level_.load() != Level::None; }
    bool abandoned() const { return level_.load() == Level::Abandon; }

  private:
    std::atomic<Level> level_{Level::None};
};

// The marker search over a body fed chunk by chunk. Each chunk is searched together with the tail of the ones
// before, so a marker split by a chunk boundary is still found, and raw bytes are searched so a NUL hides nothing.
class MarkerScan {
  public:
    explicit MarkerScan(std::string marker) : marker_(std::move(marker)) {}
    bool feed(std::string_view chunk);  // true once the marker has been seen, in this chunk or before
    bool found() const { return found_; }

  private:
    std::string marker_;
    std::string tail_;  // the last bytes fed, one fewer than the marker
    bool found_ = false;
};

// What the rules decided, and why.
struct Decision {
    ProbeOutcome outcome;
    Reason reason;
};

// The read loop's rules, fed read by read, whoever does the reading.
class ProbeRules {
  public:
    ProbeRules(const Target& target, const StopRequest& stop);
    // Before each read: aborted once a stop was asked for, else read on.
    std::optional<Decision> beforeRead() const;
    // Once the final response's headers are in: dead when its status is the proxy's own answer (where the target
    // says so), else read on.
    std::optional<Decision> afterHeaders(long status) const;
    // After a read that brought bytes: working once the marker is in, aborted on a stop that came meanwhile,
    // else read on. An echo is held (dead past a judge's length), an unaltered page's digest taken.
    std::optional<Decision> afterRead(std::string_view chunk);
    // The page came whole: what the echo or the digest decide, with what they found in `verdict`; nothing where the
    // marker alone decides (the transfer's end says why it was not there).
    std::optional<Decision> atWholePage(Verdict& verdict);
    // A read that failed or brought nothing ends the check dead; the transfer says why.
    static constexpr ProbeOutcome atEnd() { return ProbeOutcome::Dead; }
    // Last, with everything else in `verdict`: why an echo was none, the country, and a working proxy outside those
    // asked for is dead.
    void finish(Verdict& verdict) const;

  private:
    MarkerScan scan_;
    const Target& target_;
    const StopRequest& stop_;
    std::string echo_;                   // a judge's echo, as it came
    EchoFault fault_ = EchoFault::None;  // why it was none
    std::optional<PageDigest> digest_;   // an unaltered page's
};

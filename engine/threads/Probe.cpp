#include "engine/threads/Probe.h"

#include <chrono>
#include <utility>
#include <vector>

namespace {

// The outcome, and whether the read rules decided it (else the transfer's end did).
std::pair<ProbeOutcome, bool> readLoop(HttpRequest& request, const std::string& marker, const StopRequest& stop,
                                       std::uint64_t& bytes) {
    ProbeRules rules(marker, stop);
    std::vector<char> buffer(kChunkSize);
    for (;;) {
        if (const auto outcome = rules.beforeRead()) return {*outcome, true};
        std::size_t got = 0;
        if (!request.read(buffer.data(), kChunkSize, got) || got == 0) return {ProbeRules::atEnd(), false};
        bytes += got;
        if (const auto outcome = rules.afterRead(std::string_view(buffer.data(), got))) return {*outcome, true};
    }
}

}  // namespace

Verdict runProbe(const HttpLayer& http, const Target& target, const std::string& proxy, const StopRequest& stop) {
    const auto started = std::chrono::steady_clock::now();
    Verdict v{ProbeOutcome::Dead, Reason::Unsupported};  // a proxy text that no session takes
    v.scheme = proxyScheme(proxy);
    if (auto session = http.openSession(kProbeAgent, proxy, kProxyBypass, stop)) {
        if (auto request = session->openUrl(target.url)) {
            const auto [outcome, decided] = readLoop(*request, target.marker, stop, v.bytes);
            request->describe(v);
            v.outcome = outcome;
            if (decided) v.reason = outcome == ProbeOutcome::Working ? Reason::Marker : Reason::Stopped;
        } else {
            session->describeFailure(v);
        }
    }  // the URL is closed before its session
    v.totalMs =
        long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
    return v;
}

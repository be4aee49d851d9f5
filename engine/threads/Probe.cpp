#include "engine/threads/Probe.h"

#include <chrono>
#include <utility>
#include <vector>

#include "engine/rules/Urls.h"

namespace {

// What the read rules decided, if they did (else the transfer's end decides).
std::optional<Decision> readLoop(HttpRequest& request, const Target& target, const StopRequest& stop,
                                 std::uint64_t& bytes) {
    ProbeRules rules(target, stop);
    std::vector<char> buffer(kChunkSize);
    for (;;) {
        if (const auto decided = rules.beforeRead()) return decided;
        std::size_t got = 0;
        if (!request.read(buffer.data(), kChunkSize, got) || got == 0) return std::nullopt;
        bytes += got;
        if (const auto decided = rules.afterRead(std::string_view(buffer.data(), got))) return decided;
    }
}

}  // namespace

Verdict runProbe(const HttpLayer& http, const Target& target, const std::string& proxy, const StopRequest& stop) {
    const auto started = std::chrono::steady_clock::now();
    Verdict v{ProbeOutcome::Dead, Reason::Unsupported};  // a proxy text that no session takes
    v.scheme = proxyScheme(proxy);
    if (auto session = http.openSession(kProbeAgent, proxy, kProxyBypass, stop)) {
        if (auto request = session->openUrl(target.url)) {
            const std::optional<Decision> decided = readLoop(*request, target, stop, v.bytes);
            request->describe(v);
            v.outcome = decided ? decided->outcome : ProbeRules::atEnd();
            if (decided) v.reason = decided->reason;
        } else {
            session->describeFailure(v);
        }
    }  // the URL is closed before its session
    v.totalMs =
        long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
    return v;
}

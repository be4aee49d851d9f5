#include "engine/Probe.h"

#include <chrono>
#include <utility>
#include <vector>

#include "lists/ShiftJis.h"

std::string_view resultPrefix(ProbeOutcome outcome) {
    switch (outcome) {
        case ProbeOutcome::Working:
            return prefixes::kWorking;
        case ProbeOutcome::Aborted:
            return prefixes::kAborted;
        case ProbeOutcome::Dead:
            break;
    }
    return prefixes::kDead;
}

std::string resultLine(ProbeOutcome outcome, std::string_view proxy) {
    std::string line(resultPrefix(outcome));
    line.append(proxy);
    return line;
}

bool MarkerScan::feed(std::string_view chunk) {
    if (found_) return true;
    const std::size_t keep = marker_.empty() ? 0 : marker_.size() - 1;
    if (!tail_.empty()) {  // a marker across the boundary starts in the tail
        const std::string joint = tail_ + std::string(chunk.substr(0, keep));
        found_ = joint.find(marker_) != std::string::npos;
    }
    found_ = found_ || chunk.find(marker_) != std::string_view::npos;
    if (chunk.size() >= keep) {
        tail_.assign(chunk.substr(chunk.size() - keep));
    } else {
        tail_.append(chunk);
        tail_.erase(0, tail_.size() > keep ? tail_.size() - keep : 0);
    }
    return found_;
}

std::optional<ProbeOutcome> ProbeRules::beforeRead() const {
    if (stop_.stopRequested()) return ProbeOutcome::Aborted;
    return std::nullopt;
}

std::optional<ProbeOutcome> ProbeRules::afterRead(std::string_view chunk) {
    if (scan_.feed(chunk)) return ProbeOutcome::Working;
    return beforeRead();
}

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

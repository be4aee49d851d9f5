#include "engine/Probe.h"

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

ProbeOutcome readLoop(HttpRequest& request, const std::string& marker, const StopRequest& stop) {
    ProbeRules rules(marker, stop);
    std::vector<char> buffer(kChunkSize);
    for (;;) {
        if (const auto outcome = rules.beforeRead()) return *outcome;
        std::size_t got = 0;
        if (!request.read(buffer.data(), kChunkSize, got) || got == 0) return ProbeRules::atEnd();
        if (const auto outcome = rules.afterRead(std::string_view(buffer.data(), got))) return *outcome;
    }
}

}  // namespace

ProbeOutcome runProbe(const HttpLayer& http, const Target& target, const std::string& proxy, const StopRequest& stop) {
    auto session = http.openSession(kProbeAgent, proxy, kProxyBypass, stop);
    if (!session) return ProbeOutcome::Dead;
    auto request = session->openUrl(target.url);
    if (!request) return ProbeOutcome::Dead;
    const ProbeOutcome outcome = readLoop(*request, target.marker, stop);
    request.reset();  // the URL is closed before its session
    return outcome;
}

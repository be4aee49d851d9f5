#include "engine/Probe.h"

#include <algorithm>
#include <cstring>
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

namespace {

// Reads the body chunk by chunk. Each chunk is searched together with the tail of the one before,
// so a marker split by a chunk boundary is still found, and raw bytes are searched so a NUL hides nothing.
ProbeOutcome readLoop(HttpRequest& request, const std::string& marker, const StopRequest& stop) {
    const std::size_t keep = marker.empty() ? 0 : marker.size() - 1;
    std::vector<char> buffer(keep + kChunkSize);
    std::size_t carried = 0;
    ProbeOutcome outcome = ProbeOutcome::Dead;
    for (;;) {
        if (stop.stopRequested()) return ProbeOutcome::Aborted;
        std::size_t got = 0;
        if (!request.read(buffer.data() + carried, kChunkSize, got) || got == 0) return outcome;
        const std::size_t total = carried + got;
        const std::string_view window(buffer.data(), total);
        if (window.find(marker) != std::string_view::npos) return ProbeOutcome::Working;
        outcome = ProbeOutcome::Dead;
        if (stop.stopRequested()) return ProbeOutcome::Aborted;
        carried = std::min(keep, total);
        std::memmove(buffer.data(), buffer.data() + total - carried, carried);
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

#include "engine/rules/ProbeRules.h"

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

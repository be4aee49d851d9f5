#include "engine/rules/ProbeRules.h"

#include <algorithm>
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

ProbeRules::ProbeRules(const Target& target, const StopRequest& stop)
    : scan_(target.marker), target_(target), stop_(stop) {
    if (target.page == Target::Page::Unaltered) digest_.emplace();
}

std::optional<Decision> ProbeRules::beforeRead() const {
    if (stop_.stopRequested()) return Decision{ProbeOutcome::Aborted, Reason::Stopped};
    return std::nullopt;
}

Target Target::forDirect() const {
    Target direct = *this;
    direct.proxyAnswerDecides = false;
    direct.least = Anonymity::Transparent;
    direct.keepCountries.clear();
    return direct;
}

std::optional<Reason> proxysOwnAnswer(long status, std::optional<long> directStatus) {
    // The proxy's error page may quote the URL, or hold any text: its status says what it is.
    if (status == 407) return Reason::ProxyAuth;
    if (status == 502 || status == 503 || status == 504) return Reason::ProxyDenied;
    if (status == 401 && directStatus && *directStatus != 401) return Reason::ProxyAuth;
    return std::nullopt;
}

std::optional<Decision> ProbeRules::afterHeaders(long status) const {
    if (!target_.proxyAnswerDecides) return std::nullopt;
    if (const auto reason = proxysOwnAnswer(status, target_.directStatus)) return Decision{ProbeOutcome::Dead, *reason};
    return std::nullopt;
}

std::optional<Decision> ProbeRules::afterRead(std::string_view chunk) {
    switch (target_.page) {
        case Target::Page::Marker:
            if (scan_.feed(chunk)) return Decision{ProbeOutcome::Working, Reason::Marker};
            break;
        case Target::Page::Echo:
            if (echo_.size() + chunk.size() > kMaxEcho) {  // no judge writes more: what is kept stays bounded
                fault_ = EchoFault::TooLong;
                return Decision{ProbeOutcome::Dead, Reason::NotAJudge};
            }
            echo_.append(chunk);
            break;
        case Target::Page::Unaltered:
            scan_.feed(chunk);
            digest_->feed(chunk);
            break;
    }
    return beforeRead();
}

std::optional<Decision> ProbeRules::atWholePage(Verdict& v) {
    if (target_.page == Target::Page::Unaltered) {
        const std::optional<std::string> digest = digest_->finish();
        if (!digest) return Decision{ProbeOutcome::Dead, Reason::Error};  // ours: a failed digest compares with none
        v.digest = *digest;
        if (target_.digest.empty())  // fetched directly, to learn it: the page must hold the text
            return scan_.found() ? Decision{ProbeOutcome::Working, Reason::Marker}
                                 : Decision{ProbeOutcome::Dead, Reason::NoMarker};
        if (v.digest != target_.digest) return Decision{ProbeOutcome::Dead, Reason::Altered};
        return Decision{ProbeOutcome::Working, Reason::Unaltered};
    }
    if (target_.page != Target::Page::Echo) return std::nullopt;
    EchoRead read = readEcho(echo_);
    fault_ = read.fault;
    if (read.echo && target_.judge && echo_.find(target_.judge->nonce) == std::string::npos)
        fault_ = EchoFault::NoNonce;  // a canned echo, or another request's
    if (fault_ != EchoFault::None) return Decision{ProbeOutcome::Dead, Reason::NotAJudge};
    v.sighting = classify(*read.echo, target_.judge ? *target_.judge : JudgeBaseline{});
    if (target_.keepEcho) v.echo = std::move(read.echo);
    // Worse than asked for: what it shows of us decides the reason.
    if (!hidesAtLeast(v.sighting->anonymity, target_.least))
        return Decision{ProbeOutcome::Dead,
                        v.sighting->anonymity == Anonymity::Transparent ? Reason::LeaksAddress : Reason::RevealsProxy};
    return Decision{ProbeOutcome::Working, Reason::Echo};
}

void ProbeRules::finish(Verdict& v) const {
    v.echoFault = fault_;
    if (!target_.countries) return;
    const std::string& where = target_.page == Target::Page::Echo ? (v.sighting ? v.sighting->exit : "") : v.proxyIp;
    if (!where.empty()) v.country = target_.countries->country(where);
    const auto& keep = target_.keepCountries;
    if (v.outcome == ProbeOutcome::Working && !keep.empty() &&
        (!v.country || std::find(keep.begin(), keep.end(), *v.country) == keep.end())) {
        v.outcome = ProbeOutcome::Dead;
        v.reason = Reason::Country;
    }
}

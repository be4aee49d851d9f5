#include "engine/loops/ProxyPool.h"

#include <algorithm>

#include "engine/rules/Urls.h"

namespace {

constexpr std::size_t kSetupsKept = 32;
constexpr std::size_t kStickyPruneAt = 10'000;  // entries before the expired ones are swept out
constexpr double kUnmeasuredMs = 100;           // what a proxy not yet measured is taken to need

double median(std::deque<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

ProxyPool::ProxyPool(Settings settings) : settings_(settings) {}

std::string_view ProxyPool::stateName(State s) {
    switch (s) {
        case State::Checking:
            return "checking";
        case State::Working:
            return "working";
        case State::Resting:
            return "resting";
        case State::Dead:
            break;
    }
    return "dead";
}

std::vector<std::uint64_t> ProxyPool::update(const std::vector<std::string>& listed) {
    const std::lock_guard lock(mutex_);
    std::vector<std::uint64_t> added, order;
    std::unordered_map<std::string, std::uint64_t> byText;
    for (const std::string& text : listed) {
        if (byText.contains(text)) continue;  // a line listed twice is one proxy
        auto known = byText_.find(text);
        std::uint64_t id;
        if (known != byText_.end()) {
            id = known->second;
        } else {
            id = nextId_++;
            Entry e;
            e.listed = text;
            e.proxy = fromSellerForm(text).value_or(text);
            entries_.emplace(id, std::move(e));
            added.push_back(id);
        }
        byText.emplace(text, id);
        order.push_back(id);
    }
    for (const auto& [text, id] : byText_)
        if (!byText.contains(text)) entries_.erase(id);
    byText_ = std::move(byText);
    order_ = std::move(order);
    rebuild();
    return added;
}

std::vector<std::pair<std::uint64_t, std::string>> ProxyPool::all() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::pair<std::uint64_t, std::string>> out;
    for (const std::uint64_t id : order_) out.emplace_back(id, entries_.at(id).listed);
    return out;
}

void ProxyPool::checked(std::uint64_t id, const Verdict& v, const std::string& tried, Clock::time_point at) {
    const std::lock_guard lock(mutex_);
    const auto it = entries_.find(id);
    if (it == entries_.end()) return;  // gone from the lists meanwhile
    Entry& e = it->second;
    if (v.outcome == ProbeOutcome::Aborted) return;  // the round was stopped: nothing learnt
    e.lastCheck = v;
    e.checkedAt = at;
    if (v.outcome == ProbeOutcome::Working) {
        e.state = State::Working;
        e.inRow = 0;
        e.proxy = tried;
    } else {
        e.state = State::Dead;
    }
    rebuild();
}

void ProxyPool::rebuild() {
    working_.clear();
    for (const std::uint64_t id : order_)
        if (entries_.at(id).state == State::Working) working_.push_back(id);
}

double ProxyPool::expectedMs(const Entry& e) const {
    if (!e.setups.empty()) return median(e.setups);
    if (e.lastCheck && e.lastCheck->connectMs) return double(*e.lastCheck->connectMs);
    return kUnmeasuredMs;
}

std::optional<std::uint64_t> ProxyPool::rotate(const std::vector<std::uint64_t>& candidates) {
    if (candidates.empty()) return std::nullopt;
    switch (settings_.rotation) {
        case Rotation::Each:
            return candidates[turn_++ % candidates.size()];
        case Rotation::Random:
            return candidates[std::uniform_int_distribution<std::size_t>(0, candidates.size() - 1)(random_)];
        case Rotation::Fastest:
            break;
    }
    // Weighted by the inverse square of the time a tunnel takes: the fast ones most of the time, the others now and
    // then, so their times stay known.
    std::vector<double> weights;
    for (const std::uint64_t id : candidates) {
        const double ms = expectedMs(entries_.at(id)) + 1;
        weights.push_back(1 / (ms * ms));
    }
    return candidates[std::discrete_distribution<std::size_t>(weights.begin(), weights.end())(random_)];
}

std::optional<ProxyPool::Pick> ProxyPool::choose(std::string_view client, std::string_view host,
                                                 const std::vector<std::uint64_t>& tried, Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    const auto untried = [&](std::uint64_t id) { return std::find(tried.begin(), tried.end(), id) == tried.end(); };
    const bool sticky = settings_.sticky > Clock::duration::zero();
    std::string key;
    if (sticky) {
        key = std::string(client) + '\n' + std::string(host);
        if (sticky_.size() > kStickyPruneAt)
            std::erase_if(sticky_, [&](const auto& s) { return s.second.until < now; });
        const auto stuck = sticky_.find(key);
        if (stuck != sticky_.end() && stuck->second.until >= now && untried(stuck->second.id)) {
            const auto e = entries_.find(stuck->second.id);
            if (e != entries_.end() && e->second.state == State::Working) {
                stuck->second.until = now + settings_.sticky;
                return Pick{stuck->second.id, e->second.proxy};
            }
        }
    }
    std::vector<std::uint64_t> candidates;
    std::copy_if(working_.begin(), working_.end(), std::back_inserter(candidates), untried);
    const std::optional<std::uint64_t> id = rotate(candidates);
    if (!id) return std::nullopt;
    if (sticky) sticky_[key] = {*id, now + settings_.sticky};
    return Pick{*id, entries_.at(*id).proxy};
}

void ProxyPool::served(std::uint64_t id, Clock::duration setup) {
    const std::lock_guard lock(mutex_);
    const auto it = entries_.find(id);
    if (it == entries_.end()) return;
    Entry& e = it->second;
    ++e.served;
    e.inRow = 0;
    e.setups.push_back(std::chrono::duration<double, std::milli>(setup).count());
    if (e.setups.size() > kSetupsKept) e.setups.pop_front();
}

void ProxyPool::failed(std::uint64_t id) {
    const std::lock_guard lock(mutex_);
    const auto it = entries_.find(id);
    if (it == entries_.end()) return;
    Entry& e = it->second;
    ++e.failures;
    if (++e.inRow >= settings_.maxErrors && e.state == State::Working) {
        e.state = State::Resting;
        rebuild();
    }
}

std::vector<ProxyPool::View> ProxyPool::views() const {
    const std::lock_guard lock(mutex_);
    std::vector<View> out;
    for (const std::uint64_t id : order_) {
        const Entry& e = entries_.at(id);
        View v{id, e.listed, e.state, e.served, e.failures, e.lastCheck, e.checkedAt, std::nullopt};
        if (!e.setups.empty()) v.setupMs = median(e.setups);
        out.push_back(std::move(v));
    }
    return out;
}

ProxyPool::Counts ProxyPool::counts() const {
    const std::lock_guard lock(mutex_);
    Counts c;
    for (const auto& [id, e] : entries_) {
        switch (e.state) {
            case State::Checking:
                ++c.checking;
                break;
            case State::Working:
                ++c.working;
                break;
            case State::Resting:
                ++c.resting;
                break;
            case State::Dead:
                ++c.dead;
                break;
        }
    }
    return c;
}

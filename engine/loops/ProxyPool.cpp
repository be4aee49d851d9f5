#include "engine/loops/ProxyPool.h"

#include <algorithm>
#include <cctype>

#include "engine/rules/Urls.h"

namespace {

constexpr std::size_t kSetupsKept = 32;
constexpr double kUnmeasuredMs = 100;    // what a proxy not yet measured is taken to need
constexpr std::size_t kGoneKept = 1024;  // at least, of the proxies that left the lists, with their history

double median(std::deque<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool isTried(const std::vector<std::uint64_t>& tried, std::uint64_t id) {
    return std::find(tried.begin(), tried.end(), id) != tried.end();
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

bool ProxyPool::servable(std::string_view proxy) {
    constexpr std::string_view kHttps = "https://";
    if (proxy.size() < kHttps.size()) return true;
    return !std::equal(kHttps.begin(), kHttps.end(), proxy.begin(),
                       [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

std::vector<std::uint64_t> ProxyPool::update(const std::vector<std::string>& listed) {
    const std::lock_guard lock(mutex_);
    std::vector<std::uint64_t> added, order;
    std::unordered_map<std::string, std::uint64_t> byText;
    byText.reserve(listed.size());
    order.reserve(listed.size());
    for (const std::string& text : listed) {
        if (byText.contains(text)) continue;  // a line listed twice is one proxy
        std::uint64_t id;
        if (const auto known = byText_.find(text); known != byText_.end()) {
            id = known->second;
        } else if (auto back = gone_.find(text); back != gone_.end()) {  // back, with its history
            id = back->second.first;
            Entry& e = entries_.emplace(id, std::move(back->second.second)).first->second;
            gone_.erase(back);
            ++counts_[std::size_t(e.state)];
            if (e.state == State::Working) joinWorking(id, e);
        } else {
            id = nextId_++;
            Entry e;
            e.listed = text;
            e.proxy = fromSellerForm(text).value_or(text);
            entries_.emplace(id, std::move(e));
            ++counts_[std::size_t(State::Checking)];
            added.push_back(id);
        }
        byText.emplace(text, id);
        order.push_back(id);
    }
    for (const auto& [text, id] : byText_) {
        if (byText.contains(text)) continue;
        const auto it = entries_.find(id);
        Entry& e = it->second;
        leaveWorking(e);
        --counts_[std::size_t(e.state)];
        e.suspected = false;
        gone_.insert_or_assign(text, std::make_pair(id, std::move(e)));
        goneOrder_.push_back(text);
        entries_.erase(it);
    }
    // The oldest leavers are forgotten once more have left than the lists hold.
    while (gone_.size() > std::max(kGoneKept, order.size()) && !goneOrder_.empty()) {
        gone_.erase(goneOrder_.front());
        goneOrder_.pop_front();
    }
    if (goneOrder_.size() > 2 * std::max(kGoneKept, order.size()))
        std::erase_if(goneOrder_, [&](const std::string& t) { return !gone_.contains(t); });
    byText_ = std::move(byText);
    order_ = std::move(order);
    return added;
}

std::vector<std::pair<std::uint64_t, std::string>> ProxyPool::all() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::pair<std::uint64_t, std::string>> out;
    out.reserve(order_.size());
    for (const std::uint64_t id : order_) out.emplace_back(id, entries_.at(id).listed);
    return out;
}

void ProxyPool::checked(std::uint64_t id, const Verdict& v, const std::string& tried, Clock::time_point at) {
    const std::lock_guard lock(mutex_);
    const auto it = entries_.find(id);
    if (it == entries_.end()) return;  // gone from the lists meanwhile
    Entry& e = it->second;
    e.suspected = false;
    if (v.outcome == ProbeOutcome::Aborted) return;  // the round was stopped: nothing learnt
    e.lastCheck = v;
    e.lastCheck->echo.reset();  // what a page shows of it is kept; the echo itself is a judge's business
    e.lastCheck->digest.clear();
    e.checkedAt = at;
    if (v.outcome == ProbeOutcome::Working) {
        e.inRow = 0;
        if (e.proxy != tried) {
            leaveWorking(e);  // it may serve otherwise now
            e.proxy = tried;
        }
        setState(id, e, State::Working);
        if (e.slot != kNone) setWeight(e.slot, weightOf(e));
    } else {
        setState(id, e, State::Dead);
    }
}

void ProxyPool::setState(std::uint64_t id, Entry& e, State s) {
    --counts_[std::size_t(e.state)];
    ++counts_[std::size_t(s)];
    e.state = s;
    if (s == State::Working)
        joinWorking(id, e);
    else
        leaveWorking(e);
}

void ProxyPool::joinWorking(std::uint64_t id, Entry& e) {
    if (e.slot != kNone || !servable(e.proxy)) return;
    e.slot = working_.size();
    working_.push_back(id);
    slotWeights_.push_back(0);
    weights_.push_back(0);
    // The new last node of the tree covers the slots below it: its sum is theirs, and then its own weight's.
    const std::size_t node = working_.size();
    double covered = 0;
    for (std::size_t child = node - 1; child > node - (node & (~node + 1)); child -= child & (~child + 1))
        covered += weights_[child - 1];
    weights_[node - 1] = covered;
    setWeight(e.slot, weightOf(e));
}

void ProxyPool::leaveWorking(Entry& e) {
    if (e.slot == kNone) return;
    const std::size_t slot = e.slot, last = working_.size() - 1;
    setWeight(slot, 0);
    if (slot != last) {  // the last one takes its place
        const std::uint64_t moved = working_[last];
        const double w = slotWeights_[last];
        setWeight(last, 0);
        working_[slot] = moved;
        entries_.at(moved).slot = slot;
        setWeight(slot, w);
    }
    working_.pop_back();
    slotWeights_.pop_back();
    weights_.pop_back();
    e.slot = kNone;
}

double ProxyPool::weightOf(const Entry& e) const {
    // The inverse square of the time a tunnel takes: the fast ones most of the time, the others now and then, so
    // their times stay known.
    double ms = kUnmeasuredMs;
    if (!e.setups.empty())
        ms = median(e.setups);
    else if (e.lastCheck && e.lastCheck->connectMs)
        ms = double(*e.lastCheck->connectMs);
    ms += 1;
    return 1 / (ms * ms);
}

void ProxyPool::setWeight(std::size_t slot, double w) {
    const double delta = w - slotWeights_[slot];
    slotWeights_[slot] = w;
    for (std::size_t node = slot + 1; node <= weights_.size(); node += node & (~node + 1)) weights_[node - 1] += delta;
    // Sums kept by differences drift: made anew from the weights now and then, which costs as much as the changes did.
    if (++changes_ < 4 * weights_.size() + 64) return;
    changes_ = 0;
    weights_ = slotWeights_;
    for (std::size_t node = 1; node <= weights_.size(); ++node)
        if (const std::size_t parent = node + (node & (~node + 1)); parent <= weights_.size())
            weights_[parent - 1] += weights_[node - 1];
}

std::size_t ProxyPool::drawWeighted(double r) const {
    // The first slot whose running sum passes r, by the tree's halves.
    std::size_t at = 0;
    std::size_t step = 1;
    while (step * 2 <= weights_.size()) step *= 2;
    for (; step; step /= 2)
        if (at + step <= weights_.size() && weights_[at + step - 1] <= r) {
            at += step;
            r -= weights_[at - 1];
        }
    return std::min(at, working_.size() - 1);
}

std::optional<std::uint64_t> ProxyPool::rotate(const std::vector<std::uint64_t>& tried) {
    const std::size_t n = working_.size();
    if (n == 0) return std::nullopt;
    // Those tried are few: a handful of draws find one that is not, unless all are.
    for (std::size_t attempt = 0; attempt <= tried.size() + 4; ++attempt) {
        std::size_t slot = 0;
        switch (settings_.rotation) {
            case Rotation::Each:
                slot = std::size_t(turn_++ % n);
                break;
            case Rotation::Random:
                slot = std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
                break;
            case Rotation::Fastest: {
                double total = 0;
                for (std::size_t node = n; node; node -= node & (~node + 1)) total += weights_[node - 1];
                slot = total > 0 ? drawWeighted(std::uniform_real_distribution<double>(0, total)(random_))
                                 : std::size_t(turn_++ % n);
                break;
            }
        }
        if (!isTried(tried, working_[slot])) return working_[slot];
    }
    for (const std::uint64_t id : working_)
        if (!isTried(tried, id)) return id;
    return std::nullopt;
}

void ProxyPool::pruneSticky(Clock::time_point now) {
    while (!stickyExpiry_.empty() && stickyExpiry_.front().first < now) {
        const auto it = sticky_.find(stickyExpiry_.front().second);
        if (it != sticky_.end() && it->second.until < now) sticky_.erase(it);
        stickyExpiry_.pop_front();
    }
}

std::optional<ProxyPool::Pick> ProxyPool::choose(std::string_view client, std::string_view host,
                                                 const std::vector<std::uint64_t>& tried, Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    const bool sticky = settings_.sticky > Clock::duration::zero();
    std::string key;
    if (sticky) {
        pruneSticky(now);
        key.reserve(client.size() + host.size() + 1);
        key.append(client).append(1, '\n').append(host);
        const auto stuck = sticky_.find(key);
        if (stuck != sticky_.end() && stuck->second.until >= now && !isTried(tried, stuck->second.id)) {
            const auto e = entries_.find(stuck->second.id);
            if (e != entries_.end() && e->second.slot != kNone) {
                stuck->second.until = now + settings_.sticky;
                stickyExpiry_.emplace_back(stuck->second.until, key);
                return Pick{stuck->second.id, e->second.proxy};
            }
        }
    }
    const std::optional<std::uint64_t> id = rotate(tried);
    if (!id) return std::nullopt;
    if (sticky) {
        sticky_[key] = {*id, now + settings_.sticky};
        stickyExpiry_.emplace_back(now + settings_.sticky, std::move(key));
    }
    return Pick{*id, entries_.at(*id).proxy};
}

void ProxyPool::served(std::uint64_t id, Clock::duration setup) {
    const std::lock_guard lock(mutex_);
    const auto it = entries_.find(id);
    if (it == entries_.end()) return;
    Entry& e = it->second;
    ++e.uses;
    e.inRow = 0;
    e.setups.push_back(std::chrono::duration<double, std::milli>(setup).count());
    if (e.setups.size() > kSetupsKept) e.setups.pop_front();
    if (e.slot != kNone) setWeight(e.slot, weightOf(e));
}

void ProxyPool::failed(std::uint64_t id) {
    const std::lock_guard lock(mutex_);
    const auto it = entries_.find(id);
    if (it == entries_.end()) return;
    Entry& e = it->second;
    ++e.failures;
    if (++e.inRow >= settings_.maxErrors && e.state == State::Working) setState(id, e, State::Resting);
}

bool ProxyPool::suspect(std::uint64_t id, Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    const auto it = entries_.find(id);
    if (it == entries_.end()) return false;
    Entry& e = it->second;
    ++e.failures;
    if (e.suspected || e.state != State::Working || now < e.nextSuspect) return false;
    e.suspected = true;
    e.nextSuspect = now + settings_.recheckFloor;
    suspectQueue_.push_back(id);
    suspects_ = true;
    return true;
}

std::vector<std::uint64_t> ProxyPool::takeSuspects() {
    const std::lock_guard lock(mutex_);
    suspects_ = false;
    return std::exchange(suspectQueue_, {});
}

std::vector<ProxyPool::View> ProxyPool::views(std::size_t from, std::size_t count) const {
    const std::lock_guard lock(mutex_);
    std::vector<View> out;
    const std::size_t to = from + std::min(count, order_.size() - std::min(from, order_.size()));
    out.reserve(to - std::min(from, to));
    for (std::size_t i = from; i < to; ++i) {
        const std::uint64_t id = order_[i];
        const Entry& e = entries_.at(id);
        View v{id, e.listed, e.state, servable(e.proxy), e.uses, e.failures, e.lastCheck, e.checkedAt, std::nullopt};
        if (!e.setups.empty()) v.setupMs = median(e.setups);
        out.push_back(std::move(v));
    }
    return out;
}

ProxyPool::Counts ProxyPool::counts() const {
    const std::lock_guard lock(mutex_);
    return Counts{counts_[std::size_t(State::Checking)], counts_[std::size_t(State::Working)],
                  counts_[std::size_t(State::Resting)], counts_[std::size_t(State::Dead)]};
}

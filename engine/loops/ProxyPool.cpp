#include "engine/loops/ProxyPool.h"

#include <algorithm>
#include <cctype>
#include <tuple>

#include "engine/rules/Urls.h"

namespace {

constexpr std::size_t kSetupsKept = 32;
constexpr double kUnmeasuredMs = 100;     // what a proxy not yet measured is taken to need
constexpr std::size_t kGoneKept = 1024;   // at least, of the proxies that left the lists, with their history
constexpr std::size_t kTurnsKept = 4096;  // ways of asking, each with its turn

double median(std::deque<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool isTried(const std::vector<std::uint64_t>& tried, std::uint64_t id) {
    return std::find(tried.begin(), tried.end(), id) != tried.end();
}

}  // namespace

ProxyPool::ProxyPool(Settings settings) : settings_(settings), sessions_(settings.sessionIdle, settings.maxSessions) {}

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
        // It may serve otherwise now, or from elsewhere: it joins anew.
        if (e.proxy != tried || (e.slot != kNone && e.group != groupOf(e))) leaveWorking(e);
        e.proxy = tried;
        setState(id, e, State::Working);
        setWeight(e);
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

std::size_t ProxyPool::groupOf(const Entry& e) {
    std::string country;
    std::optional<Anonymity> anonymity;
    if (e.lastCheck) {
        country = e.lastCheck->country.value_or("");
        if (e.lastCheck->sighting) anonymity = e.lastCheck->sighting->anonymity;
    }
    std::string key = country + '/' + (anonymity ? std::string(anonymityName(*anonymity)) : "");
    const auto [it, added] = groupIndex_.emplace(std::move(key), groups_.size());
    if (added) groups_.push_back(Group{std::move(country), anonymity, {}});
    return it->second;
}

void ProxyPool::joinWorking(std::uint64_t id, Entry& e) {
    if (e.slot != kNone || !servable(e.proxy)) return;
    const double w = weightOf(e);
    e.slot = working_.add(id, w);
    e.group = groupOf(e);
    e.groupSlot = groups_[e.group].set.add(id, w);
}

void ProxyPool::leaveWorking(Entry& e) {
    if (e.slot == kNone) return;
    if (const auto moved = working_.remove(e.slot)) entries_.at(*moved).slot = e.slot;
    if (const auto moved = groups_[e.group].set.remove(e.groupSlot)) entries_.at(*moved).groupSlot = e.groupSlot;
    e.slot = e.group = e.groupSlot = kNone;
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

void ProxyPool::setWeight(Entry& e) {
    if (e.slot == kNone) return;
    const double w = weightOf(e);
    working_.setWeight(e.slot, w);
    groups_[e.group].set.setWeight(e.groupSlot, w);
}

bool ProxyPool::matches(const Group& g, const Want& want) const {
    if (!want.countries.empty() &&
        std::find(want.countries.begin(), want.countries.end(), g.country) == want.countries.end())
        return false;
    return !want.least || (g.anonymity && hidesAtLeast(*g.anonymity, *want.least));
}

bool ProxyPool::rested(std::uint64_t id, std::string_view host, Clock::time_point now) {
    if (rests_.empty()) return false;
    const auto site = rests_.find(std::string(host));
    if (site == rests_.end()) return false;
    const auto it = site->second.find(id);
    if (it == site->second.end()) return false;
    if (it->second > now) return true;
    site->second.erase(it);  // the rest is over
    if (site->second.empty()) rests_.erase(site);
    return false;
}

bool ProxyPool::usable(std::uint64_t id, const Want& want, std::string_view host,
                       const std::vector<std::uint64_t>& tried, Clock::time_point now) {
    const auto e = entries_.find(id);
    return e != entries_.end() && e->second.slot != kNone && matches(groups_[e->second.group], want) &&
           !isTried(tried, id) && !rested(id, host, now);
}

template <typename Excluded>
std::optional<std::uint64_t> ProxyPool::rotate(const std::vector<const WorkingSet*>& sets, std::uint64_t& turn,
                                               const Excluded& excluded) {
    std::size_t n = 0;
    for (const WorkingSet* set : sets) n += set->size();
    if (n == 0) return std::nullopt;
    const auto at = [&](std::size_t i) {
        for (const WorkingSet* set : sets) {
            if (i < set->size()) return (*set)[i];
            i -= set->size();
        }
        return (*sets.back())[0];
    };
    // Those left out are few: a handful of draws find one that is not, unless all are.
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::uint64_t id = 0;
        switch (settings_.rotation) {
            case Rotation::Each:
                id = at(std::size_t(turn++ % n));
                break;
            case Rotation::Random:
                id = at(std::uniform_int_distribution<std::size_t>(0, n - 1)(random_));
                break;
            case Rotation::Fastest: {
                double total = 0;
                for (const WorkingSet* set : sets) total += set->total();
                if (!(total > 0)) {
                    id = at(std::size_t(turn++ % n));
                    break;
                }
                double r = std::uniform_real_distribution<double>(0, total)(random_);
                const WorkingSet* in = sets.back();
                for (const WorkingSet* set : sets) {
                    if (set->empty()) continue;
                    in = set;
                    const double t = set->total();
                    if (r < t) break;
                    r -= t;
                }
                if (in->empty()) continue;
                id = (*in)[in->draw(std::min(r, in->total()))];
                break;
            }
        }
        if (!excluded(id)) return id;
    }
    for (const WorkingSet* set : sets)
        for (const std::uint64_t id : set->ids())
            if (!excluded(id)) return id;
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
    return choose(client, host, tried, now, Want{}).pick;
}

ProxyPool::Choice ProxyPool::pickFor(std::string_view host, const std::vector<std::uint64_t>& tried,
                                     Clock::time_point now, const Want& want) {
    Choice c;
    if (working_.empty()) return c.miss = Miss::NoProxy, c;
    std::vector<const WorkingSet*> sets;
    std::uint64_t* turn = &turn_;
    if (want.filters()) {
        for (const Group& g : groups_)
            if (!g.set.empty() && matches(g, want)) sets.push_back(&g.set);
        // Each way of asking takes its own turns: one client's asks never fall in step with another's.
        std::string key = want.least ? std::string(anonymityName(*want.least)) : "";
        for (const std::string& c : want.countries) key += "," + c;
        if (turns_.size() >= kTurnsKept && !turns_.contains(key)) turns_.clear();
        turn = &turns_[key];
    } else {
        sets.push_back(&working_);
    }
    const auto id = rotate(sets, *turn, [&](std::uint64_t id) { return isTried(tried, id) || rested(id, host, now); });
    if (!id) return c.miss = Miss::NoMatch, c;
    c.pick = Pick{*id, entries_.at(*id).proxy};
    return c;
}

ProxyPool::Choice ProxyPool::choose(std::string_view client, std::string_view host,
                                    const std::vector<std::uint64_t>& tried, Clock::time_point now, const Want& want) {
    const std::lock_guard lock(mutex_);
    if (!want.session.empty()) {
        bool created = false;
        Sessions::Session* s = tried.empty() ? sessions_.begin(want.session, want.sessionTime, now, created)
                                             : sessions_.find(want.session, now);
        if (s) {
            s->site = std::string(host);
            s->strict = want.strict;
            if (s->proxy && !s->lost && usable(s->proxy, want, host, tried, now)) {
                Choice c{Pick{s->proxy, entries_.at(s->proxy).proxy}, Miss::None, false, tried.empty()};
                return c;
            }
            Choice c;
            if (s->proxy && (s->lost || want.strict)) {
                s->lost = true;  // until the session ends
                c.miss = Miss::SessionLost;
            } else {
                c = pickFor(host, tried, now, want);
                c.moved = s->proxy != 0 && c.pick.has_value();
                if (c.pick) s->proxy = c.pick->id;
            }
            c.inSession = tried.empty();
            return c;
        }
        // No room for one more session: served as if it had none.
    }
    const bool sticky = settings_.sticky > Clock::duration::zero();
    std::string key;
    if (sticky) {
        pruneSticky(now);
        key.reserve(client.size() + host.size() + 1);
        key.append(client).append(1, '\n').append(host);
        const auto stuck = sticky_.find(key);
        if (stuck != sticky_.end() && stuck->second.until >= now && usable(stuck->second.id, want, host, tried, now)) {
            stuck->second.until = now + settings_.sticky;
            stickyExpiry_.emplace_back(stuck->second.until, key);
            return Choice{Pick{stuck->second.id, entries_.at(stuck->second.id).proxy}};
        }
    }
    Choice c = pickFor(host, tried, now, want);
    if (c.pick && sticky) {
        sticky_[key] = {c.pick->id, now + settings_.sticky};
        stickyExpiry_.emplace_back(now + settings_.sticky, std::move(key));
    }
    return c;
}

void ProxyPool::leave(std::string_view session, Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    sessions_.end(session, now);
}

std::optional<std::pair<std::uint64_t, std::string>> ProxyPool::sessionProxy(std::string_view session,
                                                                             Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    const Sessions::Session* s = sessions_.find(session, now);
    if (!s || !s->proxy) return std::nullopt;
    return std::make_pair(s->proxy, s->site);
}

bool ProxyPool::rest(std::uint64_t id, const std::string& host, Clock::time_point until) {
    const std::lock_guard lock(mutex_);
    if (!entries_.contains(id)) return false;
    rests_[host][id] = until;
    return true;
}

ProxyPool::Exit ProxyPool::exitOf(std::uint64_t id) const {
    const std::lock_guard lock(mutex_);
    Exit x;
    const auto it = entries_.find(id);
    if (it == entries_.end() || !it->second.lastCheck) return x;
    const Verdict& v = *it->second.lastCheck;
    x.address = v.sighting && !v.sighting->exit.empty() ? v.sighting->exit : v.proxyIp;
    x.country = v.country;
    if (v.sighting) x.anonymity = v.sighting->anonymity;
    return x;
}

std::string ProxyPool::shown(std::uint64_t id) const {
    const std::lock_guard lock(mutex_);
    const auto it = entries_.find(id);
    return it == entries_.end() ? std::string() : it->second.listed;
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
    setWeight(e);
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

std::vector<ProxyPool::GroupCount> ProxyPool::byGroup() const {
    const std::lock_guard lock(mutex_);
    std::vector<GroupCount> out;
    for (const Group& g : groups_)
        if (!g.set.empty()) out.push_back({g.country, g.anonymity, g.set.size()});
    std::sort(out.begin(), out.end(), [](const GroupCount& a, const GroupCount& b) {
        return std::tie(a.country, a.anonymity) < std::tie(b.country, b.anonymity);
    });
    return out;
}

std::size_t ProxyPool::sessions() const {
    const std::lock_guard lock(mutex_);
    return sessions_.size();
}

#include "engine/loops/Sessions.h"

#include <algorithm>

bool Sessions::alive(const Session& s, Clock::time_point now) const {
    return now < s.lastUse + s.time && (s.open > 0 || now < s.lastEnd + idle_);
}

Sessions::Clock::time_point Sessions::endsAt(const Session& s) const {
    return s.open > 0 ? s.lastUse + s.time : std::min(s.lastUse + s.time, s.lastEnd + idle_);
}

void Sessions::erase(std::unordered_map<std::string, Session>::iterator it) {
    if (it->second.open == 0) idleOnes_.erase({it->second.lastEnd, it->first});
    sessions_.erase(it);
}

void Sessions::prune(Clock::time_point now) {
    while (!expiry_.empty() && expiry_.front().first <= now) {
        const auto it = sessions_.find(expiry_.front().second);
        if (it != sessions_.end() && !alive(it->second, now)) erase(it);
        expiry_.pop_front();
    }
}

Sessions::Session* Sessions::find(std::string_view key, Clock::time_point now) {
    prune(now);
    const auto it = sessions_.find(std::string(key));
    if (it == sessions_.end()) return nullptr;
    if (!alive(it->second, now)) {
        erase(it);
        return nullptr;
    }
    return &it->second;
}

Sessions::Session* Sessions::begin(const std::string& key, Clock::duration time, Clock::time_point now, bool& created) {
    Session* s = find(key, now);
    created = s == nullptr;
    if (!s) {
        if (sessions_.size() >= most_) {
            if (idleOnes_.empty()) return nullptr;
            const auto oldest = sessions_.find(idleOnes_.begin()->second);
            erase(oldest);
        }
        s = &sessions_.emplace(key, Session{}).first->second;
        s->lastEnd = now;
    }
    if (s->open++ == 0) idleOnes_.erase({s->lastEnd, key});
    s->time = time;
    s->lastUse = now;
    expiry_.emplace_back(endsAt(*s), key);
    return s;
}

void Sessions::end(std::string_view key, Clock::time_point now) {
    const auto it = sessions_.find(std::string(key));
    if (it == sessions_.end() || it->second.open == 0) return;
    Session& s = it->second;
    if (--s.open > 0) return;
    s.lastEnd = now;
    idleOnes_.emplace(now, it->first);
    expiry_.emplace_back(endsAt(s), it->first);
}

void Sessions::forget(std::string_view key) {
    if (const auto it = sessions_.find(std::string(key)); it != sessions_.end()) erase(it);
}

std::vector<std::pair<std::string, Sessions::Session>> Sessions::list(Clock::time_point now) {
    prune(now);
    std::vector<std::pair<std::string, Session>> out;
    out.reserve(sessions_.size());
    for (const auto& [key, s] : sessions_)
        if (alive(s, now)) out.emplace_back(key, s);
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
}

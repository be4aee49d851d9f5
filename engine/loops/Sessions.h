#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// The clients' sessions, each keeping one proxy: alive for its time from its latest connection, and, once none of its
// connections is open, for the idle time from the last one's end. Bounded in number: a new one makes room by ending
// the one idle longest.
class Sessions {
  public:
    using Clock = std::chrono::steady_clock;
    struct Session {
        std::uint64_t proxy = 0;
        bool strict = false;
        bool lost = false;       // strict, and its proxy failed: refused until it ends
        std::string site;        // the host its latest connection went to
        Clock::duration time{};  // sesstime
        Clock::time_point lastUse{}, lastEnd{};
        int open = 0;  // connections of it open now
    };
    Sessions(Clock::duration idle, std::size_t most) : idle_(idle), most_(most) {}

    Session* find(std::string_view key, Clock::time_point now);  // alive, or nothing
    // A connection of `key` begins: its session, new (no proxy yet) where there was none; nothing when none can be
    // kept (every one has a connection open).
    Session* begin(const std::string& key, Clock::duration time, Clock::time_point now, bool& created);
    void end(std::string_view key, Clock::time_point now);  // a connection of it ended
    void forget(std::string_view key);
    std::size_t size() const { return sessions_.size(); }
    void prune(Clock::time_point now);
    std::vector<std::pair<std::string, Session>> list(Clock::time_point now);

  private:
    bool alive(const Session& s, Clock::time_point now) const;
    Clock::time_point endsAt(const Session& s) const;
    void erase(std::unordered_map<std::string, Session>::iterator it);

    Clock::duration idle_;
    std::size_t most_;
    std::unordered_map<std::string, Session> sessions_;
    std::set<std::pair<Clock::time_point, std::string>> idleOnes_;  // by the end of their last connection
    std::deque<std::pair<Clock::time_point, std::string>> expiry_;  // when each may have ended, in order of change
};

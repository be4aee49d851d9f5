#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/loops/Sessions.h"
#include "engine/loops/WorkingSet.h"
#include "engine/rules/Verdict.h"

// The proxies a long-running front-end serves: each with an identity (its text as listed) and a history, checked in
// rounds on the owner's thread and chosen for connections from any loop's thread. A choice costs the same with a
// hundred proxies as with a hundred thousand: the working ones are kept in a set of their own (with the weights the
// fastest are drawn by), and a verdict moves one proxy in or out of it.
class ProxyPool {
  public:
    using Clock = std::chrono::steady_clock;
    enum class State {
        Checking,  // not yet checked
        Working,   // its last check passed: it serves
        Resting,   // it failed too often in a row while serving: out until a check passes
        Dead,      // its last check failed
    };
    enum class Rotation { Each, Random, Fastest };
    struct Settings {
        Rotation rotation = Rotation::Each;
        Clock::duration sticky{};  // a client stays on its proxy per target host this long; zero: not at all
        int maxErrors = 3;         // failures in a row that rest it
        Clock::duration recheckFloor = std::chrono::seconds(30);  // between two re-checks a suspect one is given
        Clock::duration sessionIdle = std::chrono::seconds(60);   // a session with no connection open ends
        std::size_t maxSessions = 100000;
    };
    // What a client asks of its way out: a country among some, a least anonymity, a session that keeps its proxy.
    struct Want {
        std::vector<std::string> countries;  // ISO codes, upper case; none: any
        std::optional<Anonymity> least;
        std::string session;  // its key: the user's name and its id; empty: none
        Clock::duration sessionTime = std::chrono::minutes(10);
        bool strict = false;  // its proxy lost, it fails rather than moves
        bool filters() const { return !countries.empty() || least.has_value(); }
    };
    enum class Miss {
        None,
        NoProxy,      // no proxy works
        NoMatch,      // none that works is what was asked for (or each was tried)
        SessionLost,  // a strict session's proxy failed
    };
    // What a connection is given: the proxy, as libcurl takes it (the form its check worked in).
    struct Pick {
        std::uint64_t id;
        std::string proxy;
    };
    struct Choice {
        std::optional<Pick> pick;
        Miss miss = Miss::None;
        bool moved = false;      // its session's proxy failed or rests: the session moved to this one
        bool inSession = false;  // counted as one of its session's connections, to be left once it ends
    };
    // Where a proxy's requests leave from, as its last check saw it.
    struct Exit {
        std::string address;
        std::optional<std::string> country;
        std::optional<Anonymity> anonymity;
    };
    // The working proxies that serve, by country and anonymity ("" and nothing: not known).
    struct GroupCount {
        std::string country;
        std::optional<Anonymity> anonymity;
        std::size_t working = 0;
    };
    // A proxy as the status page shows it.
    struct View {
        std::uint64_t id;
        std::string listed;
        State state;
        bool serves = true;  // false: checked, never given to a client (an https:// proxy)
        std::uint64_t uses = 0, failures = 0;
        std::optional<Verdict> lastCheck;
        std::optional<Clock::time_point> checkedAt;
        std::optional<double> setupMs;  // the median of the tunnels it made lately
    };
    struct Counts {
        std::size_t checking = 0, working = 0, resting = 0, dead = 0;
        std::size_t all() const { return checking + working + resting + dead; }
    };

    explicit ProxyPool(Settings settings);

    // The lists' texts, in order: new ones join (checking), those gone leave (a tunnel through one keeps going) and
    // keep their history should they come back. The ids of the ones never seen before.
    std::vector<std::uint64_t> update(const std::vector<std::string>& listed);
    // Every proxy, in the lists' order: id and text as listed.
    std::vector<std::pair<std::uint64_t, std::string>> all() const;
    // A check's verdict, and the text as the check gave it to libcurl.
    void checked(std::uint64_t id, const Verdict& verdict, const std::string& tried, Clock::time_point at);

    // A working proxy for a connection of `client` (its address) to `host`, none of `tried`; nothing when none works.
    std::optional<Pick> choose(std::string_view client, std::string_view host, const std::vector<std::uint64_t>& tried,
                               Clock::time_point now);
    // The same, within what `want` asks: a session's proxy while it serves, and a move, or a refusal, when it does not.
    // The first choice of a connection (none tried) counts it in its session.
    Choice choose(std::string_view client, std::string_view host, const std::vector<std::uint64_t>& tried,
                  Clock::time_point now, const Want& want);
    void leave(std::string_view session, Clock::time_point now);  // a connection counted in it ended
    // The proxy a session keeps, and the site of its latest connection.
    std::optional<std::pair<std::uint64_t, std::string>> sessionProxy(std::string_view session, Clock::time_point now);
    // Not to be given for connections to `host` until `until`: the client told that the site refuses it.
    bool rest(std::uint64_t id, const std::string& host, Clock::time_point until);
    Exit exitOf(std::uint64_t id) const;
    std::string shown(std::uint64_t id) const;             // as listed
    void served(std::uint64_t id, Clock::duration setup);  // it made a tunnel, in this long
    void failed(std::uint64_t id);                         // it did not, plainly by its own fault
    // It failed in a way the site may have caused: nothing is held against it, but a check is to say whether it still
    // works, at most one at a time and not more often than the floor. True when one was asked for now.
    bool suspect(std::uint64_t id, Clock::time_point now);
    std::vector<std::uint64_t> takeSuspects();  // those to check again, once each
    bool hasSuspects() const { return suspects_.load(); }

    // In the lists' order, from `from` on, at most `count`: a page of a large pool is read a part at a time, so that
    // no choice waits for all of it.
    std::vector<View> views(std::size_t from = 0, std::size_t count = ~std::size_t{0}) const;
    Counts counts() const;
    std::vector<GroupCount> byGroup() const;
    std::size_t sessions() const;

    static std::string_view stateName(State s);
    static bool servable(std::string_view proxy);  // its bytes can be relayed raw: not through TLS of libcurl's own

  private:
    static constexpr std::size_t kNone = ~std::size_t{0};
    struct Entry {
        std::string listed;
        std::string proxy;  // as libcurl takes it
        State state = State::Checking;
        std::uint64_t uses = 0, failures = 0;
        int inRow = 0;
        std::optional<Verdict> lastCheck;
        std::optional<Clock::time_point> checkedAt;
        std::deque<double> setups;  // the latest, in ms
        std::size_t slot = kNone;   // in working_
        std::size_t group = kNone, groupSlot = kNone;
        bool suspected = false;  // a re-check is asked for
        Clock::time_point nextSuspect{};
    };
    struct Stuck {
        std::uint64_t id;
        Clock::time_point until;
    };

    struct Group {
        std::string country;
        std::optional<Anonymity> anonymity;
        WorkingSet set;
    };

    void setState(std::uint64_t id, Entry& e, State s);
    void joinWorking(std::uint64_t id, Entry& e);
    void leaveWorking(Entry& e);
    double weightOf(const Entry& e) const;
    void setWeight(Entry& e);
    std::size_t groupOf(const Entry& e);
    bool matches(const Group& g, const Want& want) const;
    bool usable(std::uint64_t id, const Want& want, std::string_view host, const std::vector<std::uint64_t>& tried,
                Clock::time_point now);
    bool rested(std::uint64_t id, std::string_view host, Clock::time_point now);
    template <typename Excluded>
    std::optional<std::uint64_t> rotate(const std::vector<const WorkingSet*>& sets, std::uint64_t& turn,
                                        const Excluded& excluded);
    Choice pickFor(std::string_view host, const std::vector<std::uint64_t>& tried, Clock::time_point now,
                   const Want& want);
    void pruneSticky(Clock::time_point now);

    Settings settings_;
    mutable std::mutex mutex_;
    std::unordered_map<std::uint64_t, Entry> entries_;
    std::vector<std::uint64_t> order_;  // as listed
    std::unordered_map<std::string, std::uint64_t> byText_;
    std::unordered_map<std::string, std::pair<std::uint64_t, Entry>> gone_;  // left the lists, by text
    std::deque<std::string> goneOrder_;
    WorkingSet working_;         // the servable working ones, with the fastest's weights
    std::vector<Group> groups_;  // the same, by country and anonymity
    std::unordered_map<std::string, std::size_t> groupIndex_;
    Sessions sessions_;
    // Sites that refuse a proxy, told by their clients: by host, the proxies and until when.
    std::unordered_map<std::string, std::unordered_map<std::uint64_t, Clock::time_point>> rests_;
    std::array<std::size_t, 4> counts_{};
    std::unordered_map<std::string, Stuck> sticky_;  // client address and host: its proxy
    std::deque<std::pair<Clock::time_point, std::string>> stickyExpiry_;
    std::vector<std::uint64_t> suspectQueue_;
    std::atomic<bool> suspects_{false};
    std::uint64_t nextId_ = 1;
    std::uint64_t turn_ = 0;
    std::unordered_map<std::string, std::uint64_t> turns_;  // by what was asked
    std::mt19937_64 random_{std::random_device{}()};
};

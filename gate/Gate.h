#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/loops/ProxyPool.h"
#include "engine/rules/CheckSettings.h"
#include "gate/ClientRequest.h"
#include "gate/UserName.h"

class Diagnostics;
class OutputWriter;

// Descriptors the gate's connections may hold together, taken when a client is accepted and given back when it
// ends: a new tunnel is accepted only while it can have every descriptor it may need.
class DescriptorBudget {
  public:
    explicit DescriptorBudget(long total = 0) : free_(total) {}
    void set(long total) { free_ = total; }
    bool take(long n);
    void give(long n) { free_ += n; }
    long free() const { return free_; }

  private:
    std::atomic<long> free_;
};

// What the gate counts, for the status page and its metrics.
struct GateMetrics {
    std::atomic<std::uint64_t> connections{0};  // accepted
    std::atomic<std::uint64_t> open{0};
    std::atomic<std::uint64_t> tunnels{0};    // through a proxy
    std::atomic<std::size_t> opening{0};      // tunnels being made now
    std::atomic<std::uint64_t> failovers{0};  // a proxy failed and another was tried
    std::atomic<std::uint64_t> refused{0};    // no working proxy, or every one tried failed
    std::atomic<std::uint64_t> bytesUp{0}, bytesDown{0};
    std::atomic<std::uint64_t> logDropped{0};  // lines the log's reader did not keep up with
    // Choices refused for what the user name asked: by Unmatched.
    std::array<std::atomic<std::uint64_t>, 4> unmatched{};
};
enum class Unmatched { Country, Anonymity, CountryAndAnonymity, StrictSession };
std::string_view unmatchedName(Unmatched u);

// The open connections that have a proxy, by the client's address and port: what GET /connections lists, and what a
// client's word on one of them finds.
class ConnectionBook {
  public:
    struct Open {
        std::uint64_t proxy = 0;
        std::string host;     // of the target
        std::string target;   // host:port
        std::string session;  // NAME-ID, or empty
    };
    void set(const std::string& client, Open open);
    void drop(const std::string& client);
    std::optional<Open> find(const std::string& client) const;
    std::vector<std::pair<std::string, Open>> all() const;

  private:
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Open> open_;
};

// What every loop's part of the gate shares: the pool, the settings, who may use it, the log and the counts.
struct Gate {
    Gate(ProxyPool& p, Diagnostics& e, OutputWriter& l) : pool(p), err(e), log(l) {}
    ProxyPool& pool;
    Diagnostics& err;
    OutputWriter& log;
    CheckSettings curl{};  // the limits and certificates tunnels are made under
    int tries = 3;
    std::chrono::milliseconds idle{std::chrono::minutes(5)};
    std::chrono::milliseconds headLimit{std::chrono::seconds(10)};
    Abilities can;          // what a user name may ask for
    bool disclose = false;  // a success says which proxy served, and where it left
    ConnectionBook book;
    std::atomic<int> toldUserNames{0};  // user names refused, said on standard error (the first ones)
    GateMetrics metrics;
    DescriptorBudget budget;
    std::atomic<bool> draining{false};
    std::atomic<bool> saidNoProxy{false};
    std::atomic<bool> saidPaused{false};
    std::atomic<bool> saidLogDropped{false};
    std::function<void()> wakeOwner;
    // The connections' clock: the steady one, or a test's (set before the loops serve).
    std::function<std::chrono::steady_clock::time_point()> clock;
    std::chrono::steady_clock::time_point now() const {
        return clock ? clock() : std::chrono::steady_clock::now();
    }  // from any loop: the owner's thread has something to look at (set before them)

    std::shared_ptr<const Access> access() const;
    void setAccess(std::shared_ptr<const Access> a);

  private:
    mutable std::mutex accessMutex_;
    std::shared_ptr<const Access> access_ = std::make_shared<const Access>();
};

// Descriptors a client connection holds: its socket, the proxy's, and, while the tunnel is made, a name look-up's
// pair; once it is made, the two sockets alone. A pipe is counted as it is made.
inline constexpr long kSetupDescriptors = 4;
inline constexpr long kTunnelDescriptors = 2;

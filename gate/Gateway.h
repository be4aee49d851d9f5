#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/loops/CommandLoop.h"
#include "engine/loops/ProxyPool.h"
#include "engine/rules/CheckSettings.h"
#include "gate/Handshake.h"
#include "gate/Upstream.h"
#include "sys/UniqueFd.h"

class Connection;
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
    GateMetrics metrics;
    DescriptorBudget budget;
    std::atomic<bool> draining{false};
    std::atomic<bool> saidNoProxy{false};
    std::atomic<bool> saidPaused{false};
    std::atomic<bool> saidLogDropped{false};
    std::function<void()> wakeOwner;  // from any loop: the owner's thread has something to look at (set before them)

    std::shared_ptr<const Access> access() const;
    void setAccess(std::shared_ptr<const Access> a);

  private:
    mutable std::mutex accessMutex_;
    std::shared_ptr<const Access> access_ = std::make_shared<const Access>();
};

// A pipe for bytes on their way through a tunnel, taken while they are in it.
struct Pipe {
    UniqueFd read, write;
};

// What one loop serves for the gate: its listening sockets, its clients and their tunnels, and a few spare pipes.
// Everything here runs on the loop's thread.
class LoopGate {
  public:
    LoopGate(CommandLoop& loop, Gate& gate);
    ~LoopGate();
    LoopGate(const LoopGate&) = delete;
    LoopGate& operator=(const LoopGate&) = delete;

    CommandLoop& loop() { return loop_; }
    Gate& gate() { return gate_; }

    void listen(UniqueFd socket);
    void stopListening();
    void endAll();  // every connection ends now
    void close();   // the end: nothing is left, nothing more is done
    std::size_t connections() const { return open_.load(); }

    std::optional<Pipe> takePipe();
    void givePipe(Pipe pipe);   // empty: kept for the next tunnel
    void closePipe(Pipe pipe);  // it may hold bytes: closed
    void ended(Connection* c);  // freed once the batch that ended it is served
    // A line for the log, handed on with the others of the next tick: one wake-up of the writer for many.
    void log(const std::string& line);
    void flushLog();  // what it holds, to the writer now
    // What a proxy text names, read once per loop.
    const Upstream& upstream(const std::string& proxy);
    // libcurl handles for tunnels, kept for the next once one is made: a handle reset costs less than a new one.
    EasyHandle takeEasy();
    void giveEasy(EasyHandle easy);

  private:
    struct Listener;
    void accept(Listener& l);
    void resume();  // accepting again, where the budget allows
    void tick();

    CommandLoop& loop_;
    Gate& gate_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::unordered_map<Connection*, std::unique_ptr<Connection>> connections_;
    std::vector<std::unique_ptr<Connection>> ended_;
    std::vector<Pipe> pipes_;
    std::string logged_;
    std::unordered_map<std::string, Upstream> upstreams_;
    std::vector<EasyHandle> handles_;
    std::atomic<std::size_t> open_{0};
    bool paused_ = false;
    bool closed_ = false;
    std::size_t burst_ = 0;  // the most tunnels made at once since the last trim
};

// Descriptors a client connection holds: its socket, the proxy's, and, while the tunnel is made, a name look-up's
// pair; once it is made, the two sockets alone. A pipe is counted as it is made.
inline constexpr long kSetupDescriptors = 4;
inline constexpr long kTunnelDescriptors = 2;

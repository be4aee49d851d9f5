#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/loops/CommandLoop.h"
#include "engine/loops/ProxyPool.h"
#include "engine/rules/CurlOptions.h"
#include "gate/Gateway.h"
#include "gate/Handshake.h"
#include "gate/Upstream.h"
#include "sys/UniqueFd.h"

// One client connection, from its handshake to the end of its tunnel, on its loop's thread: a proxy chosen from the
// pool, the tunnel made through it by libcurl (and, where it fails, through the next, up to the gate's tries), then
// the bytes relayed both ways through pipes, an end of stream passed on as it comes.
class Connection {
  public:
    using Clock = std::chrono::steady_clock;
    Connection(LoopGate& home, UniqueFd client, std::string address);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start();
    void sweep(Clock::time_point now);  // its deadlines: the head's, a quiet tunnel's
    void end(const std::string& how);   // closes it now, and says so in the log

  private:
    enum class Phase { Handshake, Opening, Answer, Relay, Refusing, Done };
    struct Side final : LoopSocket {
        Connection* connection;
        bool client;
        void onEvents(std::uint32_t events) override { connection->onEvents(client, events); }
    };
    // Bytes on their way from one socket to the other.
    struct Flow {
        int from = -1, to = -1;
        std::string pending;  // written before anything else
        std::optional<Pipe> pipe;
        std::size_t inPipe = 0;
        std::optional<std::uint64_t> budget;  // at most this much more is read from `from`
        bool reading = false;                 // `from` is read
        bool halfClose = true;                // its end is passed on: `to` is shut for writing
        bool eof = false, shut = false;
        bool wantRead = false, wantWrite = false;
        bool drained = false;  // the last read took all there was
        std::uint64_t moved = 0;
        bool done() const { return shut && pending.empty() && inPipe == 0; }
    };
    struct Tried {
        std::string proxy;  // as shown
        std::string why;
    };

    void onEvents(bool client, std::uint32_t events);
    void readHandshake();
    void open();  // through the next proxy, or the refusal
    void opened(CURLcode result);
    void failed(const Blame& blame);  // this proxy failed: the next one, or the refusal
    void refuse(Refusal why, const std::string& text, const std::string& how);
    void readAnswer();
    void startRelay();
    bool move(Flow& f);  // false on a failure of the connection
    void pump();         // both flows as far as they go, then what each socket is watched for
    void watch();
    bool readInto(std::string& into, std::size_t cap);  // false once the client is gone
    std::string logLine(const std::string& how) const;

    LoopGate& home_;
    Gate& gate_;
    UniqueFd client_;
    UniqueFd upstream_;
    std::string address_;  // the client's, as host:port
    std::string host_;     // the client's address alone
    Side clientSide_, upstreamSide_;
    Phase phase_ = Phase::Handshake;
    Handshake handshake_;
    std::string in_;  // what the client sent and is not yet passed on
    ClientRequest request_;
    std::vector<std::uint64_t> triedIds_;
    std::vector<Tried> tried_;
    std::optional<ProxyPool::Pick> pick_;
    Upstream upstream_info_;
    EasyHandle easy_;
    std::string answer_;  // a plain request's answer, until its head is in
    Flow up_, down_;      // client to proxy, proxy to client
    Clock::time_point started_ = Clock::now();
    Clock::time_point opening_{};
    Clock::time_point phaseSince_{};
    Clock::time_point lastMoved_ = Clock::now();
    bool watchingUpstream_ = false;
    bool anotherWorthIt_ = true;     // another proxy may do better than those tried
    long held_ = kSetupDescriptors;  // of the gate's descriptor budget
    std::string endOf_ = "refused";  // what a refusal ends as, in the log
    std::string refusedWhy_;         // why the handshake was refused
};

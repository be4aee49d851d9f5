#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/loops/CommandLoop.h"
#include "engine/loops/ProxyPool.h"
#include "engine/rules/Blame.h"
#include "engine/rules/CurlOptions.h"
#include "gate/EndCause.h"
#include "gate/Handshake.h"
#include "gate/LoopGate.h"
#include "gate/ProxyStatus.h"
#include "gate/Upstream.h"
#include "sys/UniqueFd.h"

// One client connection, from its handshake to the end of its tunnel, on its loop's thread: a proxy chosen from the
// pool, the tunnel made through it by libcurl (and, where it fails, through the next, up to the gate's tries), then
// the bytes relayed both ways through pipes, an end of stream passed on as it comes and a reset as a reset.
class Connection {
  public:
    using Clock = std::chrono::steady_clock;
    Connection(LoopGate& home, UniqueFd client, std::string address);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start();
    void sweep(Clock::time_point now);  // its deadlines: the head's, an answer's, a quiet tunnel's
    void end(EndCause how);             // closes it now, and says so in the log

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
        bool wantRead = false, wantWrite = false;  // what it waits for: never both, so a loop wakes only for it
        bool drained = false;                      // the last read took all there was
        std::uint64_t moved = 0;
        bool done() const { return shut && pending.empty() && inPipe == 0; }
    };
    enum class Moved { Ok, FromFailed, ToFailed };
    enum class Read { Open, Ended, Failed };
    struct Tried {
        std::string proxy;  // as shown
        std::string why;
        std::string_view error;  // its Proxy-Status type
    };

    void enter(Phase phase);  // the one place a connection's phase changes
    void onEvents(bool client, std::uint32_t events);
    void readHandshake();
    void open();  // through the next proxy, or the refusal
    void opened(CURLcode result);
    void connectToProxy();  // a plain request's way to an HTTP proxy named by its address
    void connected();
    void sendRequest();               // a plain request, to the proxy or through the tunnel
    void hold(const Blame& blame);    // against the proxy, or a check asked for
    void failed(const Blame& blame);  // this proxy failed: the next one, or the refusal
    void refuse(Refusal why, const std::string& text, EndCause how, std::optional<StatusMember> own = std::nullopt);
    void missed(const ProxyPool::Choice& choice, bool anyTried);    // no proxy was chosen
    std::string wanted() const;                                     // what the user name asked, as the client is told
    std::string status9209(std::optional<StatusMember> own) const;  // each proxy tried, and the gate's own word
    std::string disclosure() const;                                 // a success's fields, with --disclose
    void readAnswer();
    void answerCame(std::size_t headEnd);
    void answerFailed(Reason reason, const char* text);  // `text` marked for the catalogue
    bool mayResend() const;                              // another proxy may be asked the same request
    void startRelay();
    Moved move(Flow& f);   // as far as it goes: what it holds written, then what comes read, until either waits
    Moved flush(Flow& f);  // what it holds, written
    Moved fill(Flow& f);   // one read
    void pump();           // both flows as far as they go, then what each socket is watched for
    void watch();
    void discard();                                     // a refused client's bytes, until it ends its side
    Read readInto(std::string& into, std::size_t cap);  // from the client
    void dropPipe(Flow& f);                             // back to the loop only when known empty
    std::string logLine(EndCause how) const;

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
    Blame lastBlame_;
    std::optional<ProxyPool::Pick> pick_;
    Upstream upstream_info_;
    EasyHandle easy_;
    std::string answer_;  // a plain request's answer, until its head is in
    Flow up_, down_;      // client to proxy, proxy to client
    Clock::time_point started_{};
    Clock::time_point opening_{};
    Clock::time_point phaseSince_{};
    Clock::time_point lastMoved_{};
    bool clientEnded_ = false;            // the client ended its side before its tunnel was there
    bool connecting_ = false;             // to the proxy, by connectToProxy
    bool inSession_ = false;              // counted in its session, which is told when it ends
    bool moved_ = false;                  // its session moved to another proxy
    bool booked_ = false;                 // in the gate's book of open connections
    bool anotherWorthIt_ = true;          // another proxy may do better than those tried
    bool resetBoth_ = false;              // a side was reset: so is the other
    long held_ = kSetupDescriptors;       // of the gate's descriptor budget
    EndCause endOf_ = EndCause::Refused;  // what a refusal ends as, in the log
    std::string refusedWhy_;              // why the handshake was refused
};

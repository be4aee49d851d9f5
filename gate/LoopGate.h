#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/loops/CommandLoop.h"
#include "engine/rules/CurlOptions.h"
#include "gate/Gate.h"
#include "gate/Upstream.h"
#include "sys/UniqueFd.h"

class Connection;

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

    // A client accepted (its descriptors taken from the budget): served from now on.
    void adopt(UniqueFd client, std::string address);
    void tick();  // the connections' deadlines, the log's batch; every quarter of a second

  private:
    struct Listener;
    void accept(Listener& l);
    void resume();  // accepting again, where the budget allows

    CommandLoop& loop_;
    Gate& gate_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::unordered_map<Connection*, std::unique_ptr<Connection>> connections_;
    std::vector<std::unique_ptr<Connection>> ended_;
    std::vector<Pipe> pipes_;
    std::string logged_;
    std::unordered_map<std::string, Upstream> upstreams_;
    std::vector<EasyHandle> handles_;
    bool paused_ = false;
    bool closed_ = false;
    std::size_t burst_ = 0;  // the most tunnels made at once since the last trim
};

#include "gate/LoopGate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "cli/Diagnostics.h"
#include "cli/Messages.h"
#include "cli/Output.h"
#include "gate/Connection.h"

namespace {

constexpr std::size_t kSparePipes = 64;  // kept per loop for the next bytes to move
constexpr auto kTick = std::chrono::milliseconds(250);
constexpr std::size_t kLogBatch = 4096;  // whole lines, as a pipe takes them in one piece
constexpr std::size_t kUpstreamsKept = 100'000;
constexpr std::size_t kSpareHandles = 64;
constexpr std::size_t kLogBatchesQueued = 1024;  // about 4 MiB of lines waiting for the log's reader
constexpr std::size_t kBurst = 256;              // tunnels being made at once

std::string addressText(const sockaddr_storage& a) {
    char host[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET6) {
        const auto* six = reinterpret_cast<const sockaddr_in6*>(&a);
        ::inet_ntop(AF_INET6, &six->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(six->sin6_port));
    }
    const auto* four = reinterpret_cast<const sockaddr_in*>(&a);
    ::inet_ntop(AF_INET, &four->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(four->sin_port));
}

}  // namespace

struct LoopGate::Listener final : LoopSocket {
    LoopGate* home;
    UniqueFd fd;
    bool watched = false;
    void onEvents(std::uint32_t) override { home->accept(*this); }
};

LoopGate::LoopGate(CommandLoop& loop, Gate& gate) : loop_(loop), gate_(gate) {
    loop_.every(kTick, [this] { tick(); });
}

LoopGate::~LoopGate() = default;

void LoopGate::listen(UniqueFd socket) {
    auto l = std::make_unique<Listener>();
    l->home = this;
    l->fd = std::move(socket);
    l->watched = loop_.watch(l->fd.get(), EPOLLIN, l.get());
    listeners_.push_back(std::move(l));
}

void LoopGate::stopListening() {
    for (auto& l : listeners_)
        if (l->watched) loop_.unwatch(l->fd.get(), l.get());
    listeners_.clear();  // closed: new clients are refused by the system at once
}

void LoopGate::endAll() {
    std::vector<Connection*> all;
    for (auto& [c, owned] : connections_) all.push_back(c);
    for (Connection* c : all) c->end(EndCause::Stopped);
}

const Upstream& LoopGate::upstream(const std::string& proxy) {
    if (upstreams_.size() > kUpstreamsKept) upstreams_.clear();
    auto it = upstreams_.find(proxy);
    if (it == upstreams_.end()) it = upstreams_.emplace(proxy, upstreamOf(proxy)).first;
    return it->second;
}

EasyHandle LoopGate::takeEasy() {
    if (handles_.empty()) return EasyHandle(curl_easy_init());
    EasyHandle h = std::move(handles_.back());
    handles_.pop_back();
    curl_easy_reset(h.get());
    return h;
}

void LoopGate::giveEasy(EasyHandle easy) {
    if (easy && handles_.size() < kSpareHandles) handles_.push_back(std::move(easy));
}

void LoopGate::log(const std::string& line) {
    logged_ += line;
    if (logged_.size() >= kLogBatch) flushLog();
}

void LoopGate::flushLog() {
    if (logged_.empty()) return;
    // A loop never waits on the log: what its reader does not keep up with is dropped, counted and said once.
    if (gate_.log.unwritten() >= kLogBatchesQueued) {
        gate_.metrics.logDropped += std::uint64_t(std::count(logged_.begin(), logged_.end(), '\n'));
        logged_.clear();
        if (!gate_.saidLogDropped.exchange(true))
            gate_.err.say(_("log: its reader does not keep up; lines are dropped (counted in the metrics)"));
        return;
    }
    gate_.log.write(std::exchange(logged_, {}));
}

void LoopGate::close() {
    stopListening();
    endAll();
    flushLog();
    ended_.clear();
    gate_.budget.give(2 * long(pipes_.size()));
    pipes_.clear();
    handles_.clear();
    closed_ = true;
}

void LoopGate::accept(Listener& l) {
    while (!paused_) {
        if (!gate_.budget.take(kSetupDescriptors)) {
            // The clients wait in the queue of the listening socket until a connection ends and gives its
            // descriptors back.
            paused_ = true;
            for (auto& each : listeners_)
                if (each->watched) loop_.unwatch(each->fd.get(), each.get()), each->watched = false;
            if (!gate_.saidPaused.exchange(true))
                gate_.err.say(_("the descriptor limit (ulimit -n) holds new clients back until connections end"));
            return;
        }
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const int fd = ::accept4(l.fd.get(), reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            gate_.budget.give(kSetupDescriptors);
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE) {  // the count was off: wait as for the budget
                paused_ = true;
                for (auto& each : listeners_)
                    if (each->watched) loop_.unwatch(each->fd.get(), each.get()), each->watched = false;
            }
            return;  // EAGAIN: nobody else waits
        }
        adopt(UniqueFd(fd), addressText(from));
    }
}

void LoopGate::adopt(UniqueFd client, std::string address) {
    ++gate_.metrics.connections;
    auto c = std::make_unique<Connection>(*this, std::move(client), std::move(address));
    Connection* raw = c.get();
    connections_.emplace(raw, std::move(c));
    raw->start();
}

void LoopGate::resume() {
    if (!paused_ || gate_.budget.free() < kSetupDescriptors || gate_.draining) return;
    paused_ = false;
    for (auto& l : listeners_) l->watched = loop_.watch(l->fd.get(), EPOLLIN, l.get());
}

void LoopGate::tick() {
    if (closed_) return;
    ended_.clear();
    flushLog();
    const auto now = gate_.now();
    std::vector<Connection*> all;
    for (auto& [c, owned] : connections_) all.push_back(c);
    for (Connection* c : all)
        if (connections_.contains(c)) c->sweep(now);
    resume();
    // After a burst of tunnels made, what libcurl's handles held goes back to the system, not kept for a next burst
    // as large: idle tunnels cost their two sockets and little more.
    const std::size_t opening = gate_.metrics.opening.load();
    if (opening == 0 && burst_ >= kBurst) {
        ::malloc_trim(0);
        burst_ = 0;
    }
    burst_ = std::max(burst_, opening);
}

std::optional<Pipe> LoopGate::takePipe() {
    if (!pipes_.empty()) {
        Pipe p = std::move(pipes_.back());
        pipes_.pop_back();
        return p;
    }
    // None to spare within the budget: the bytes go through a buffer instead.
    if (!gate_.budget.take(2)) return std::nullopt;
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        gate_.budget.give(2);
        return std::nullopt;
    }
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void LoopGate::givePipe(Pipe pipe) {
    if (pipes_.size() < kSparePipes)
        pipes_.push_back(std::move(pipe));
    else
        gate_.budget.give(2);
}

void LoopGate::closePipe(Pipe pipe) {
    pipe.read.reset();
    pipe.write.reset();
    gate_.budget.give(2);
}

void LoopGate::ended(Connection* c) {
    const auto it = connections_.find(c);
    if (it == connections_.end()) return;
    ended_.push_back(std::move(it->second));
    connections_.erase(it);
    loop_.post([this] { ended_.clear(); });  // after the batch that ended it
    if (!closed_) resume();
}

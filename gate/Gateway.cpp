#include "gate/Gateway.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "check/Diagnostics.h"
#include "gate/Connection.h"

namespace {

constexpr std::size_t kSparePipes = 64;  // kept per loop for the next bytes to move
constexpr auto kTick = std::chrono::milliseconds(250);

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

bool DescriptorBudget::take(long n) {
    for (long left = free_.load(); left >= n;)
        if (free_.compare_exchange_weak(left, left - n)) return true;
    return false;
}

std::shared_ptr<const Access> Gate::access() const {
    const std::lock_guard lock(accessMutex_);
    return access_;
}

void Gate::setAccess(std::shared_ptr<const Access> a) {
    const std::lock_guard lock(accessMutex_);
    access_ = std::move(a);
}

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
    for (Connection* c : all) c->end("ended: the gate stops");
}

void LoopGate::close() {
    stopListening();
    endAll();
    ended_.clear();
    pipes_.clear();
    closed_ = true;
}

void LoopGate::accept(Listener& l) {
    while (!paused_) {
        if (!gate_.budget.take(kDescriptorsPerConnection)) {
            // The clients wait in the queue of the listening socket until a connection ends and gives its
            // descriptors back.
            paused_ = true;
            for (auto& each : listeners_)
                if (each->watched) loop_.unwatch(each->fd.get(), each.get()), each->watched = false;
            if (!gate_.saidPaused.exchange(true))
                gate_.err.say("the descriptor limit (ulimit -n) holds new clients back until connections end");
            return;
        }
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const int fd = ::accept4(l.fd.get(), reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            gate_.budget.give(kDescriptorsPerConnection);
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE) {  // the count was off: wait as for the budget
                paused_ = true;
                for (auto& each : listeners_)
                    if (each->watched) loop_.unwatch(each->fd.get(), each.get()), each->watched = false;
            }
            return;  // EAGAIN: nobody else waits
        }
        ++gate_.metrics.connections;
        auto c = std::make_unique<Connection>(*this, UniqueFd(fd), addressText(from));
        Connection* raw = c.get();
        connections_.emplace(raw, std::move(c));
        ++open_;
        raw->start();
    }
}

void LoopGate::resume() {
    if (!paused_ || gate_.budget.free() < kDescriptorsPerConnection || gate_.draining) return;
    paused_ = false;
    for (auto& l : listeners_) l->watched = loop_.watch(l->fd.get(), EPOLLIN, l.get());
}

void LoopGate::tick() {
    if (closed_) return;
    ended_.clear();
    const auto now = Connection::Clock::now();
    std::vector<Connection*> all;
    for (auto& [c, owned] : connections_) all.push_back(c);
    for (Connection* c : all)
        if (connections_.contains(c)) c->sweep(now);
    resume();
}

std::optional<Pipe> LoopGate::takePipe() {
    if (!pipes_.empty()) {
        Pipe p = std::move(pipes_.back());
        pipes_.pop_back();
        return p;
    }
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return std::nullopt;
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void LoopGate::givePipe(Pipe pipe) {
    if (pipes_.size() < kSparePipes) pipes_.push_back(std::move(pipe));
}

void LoopGate::ended(Connection* c) {
    const auto it = connections_.find(c);
    if (it == connections_.end()) return;
    ended_.push_back(std::move(it->second));
    connections_.erase(it);
    --open_;
    loop_.post([this] { ended_.clear(); });  // after the batch that ended it
    if (!closed_) resume();
}

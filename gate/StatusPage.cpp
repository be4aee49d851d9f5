#include "gate/StatusPage.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <nlohmann/json.hpp>

#include "engine/loops/ProxyPool.h"
#include "gate/Gate.h"
#include "gate/Handshake.h"
#include "gate/Upstream.h"

namespace {

constexpr std::size_t kMaxStatusRequest = 8192;
constexpr std::size_t kMaxClients = 32;
constexpr auto kClientTime = std::chrono::seconds(10);  // to ask and to read the answer
constexpr auto kTick = std::chrono::milliseconds(500);

std::string response(int status, const char* reason, const char* type, const std::string& body,
                     const std::string& extra = "") {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nCache-Control: no-store\r\nConnection: close\r\n" + extra + "\r\n" + body;
}

// The Basic credentials of a request's Authorization field, or "".
std::string authorization(const std::string& request) {
    for (std::size_t at = request.find("\r\n"); at != std::string::npos && at + 2 < request.size();) {
        const std::size_t end = request.find("\r\n", at + 2);
        const std::string line = request.substr(at + 2, end == std::string::npos ? end : end - at - 2);
        at = end;
        constexpr std::string_view kName = "authorization:";
        if (line.size() > kName.size() && std::equal(kName.begin(), kName.end(), line.begin(), [](char a, char b) {
                return a == std::tolower(static_cast<unsigned char>(b));
            }))
            return decodeBasic(line.substr(kName.size()));
    }
    return "";
}

}  // namespace

struct StatusPage::Listener final : LoopSocket {
    StatusPage* page;
    UniqueFd fd;
    void onEvents(std::uint32_t) override { page->accept(); }
};

struct StatusPage::Client final : LoopSocket {
    StatusPage* page;
    UniqueFd fd;
    std::string in, out;
    bool answered = false;
    std::chrono::steady_clock::time_point until = std::chrono::steady_clock::now() + kClientTime;
    void onEvents(std::uint32_t events) override {
        char buf[4096];
        while (!answered) {
            const ssize_t n = ::recv(fd.get(), buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                const std::size_t from = in.size() >= 3 ? in.size() - 3 : 0;  // what came before held no end
                in.append(buf, std::size_t(n));
                if (in.find("\r\n\r\n", from) == std::string::npos && in.size() < kMaxStatusRequest) continue;
                out = page->answer(in);
                answered = true;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return;
            } else if (!(n < 0 && errno == EINTR)) {
                return done();
            }
        }
        if (events & (EPOLLERR | EPOLLHUP)) return done();
        while (!out.empty()) {
            const ssize_t n = ::send(fd.get(), out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                page->loop_.watch(fd.get(), EPOLLOUT, this);
                return;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            out.erase(0, std::size_t(n));
        }
        done();
    }
    void done() {
        page->loop_.unwatch(fd.get(), this);
        fd.reset();
        page->gate_.budget.give(1);
        auto self = std::move(page->clients_.at(this));
        page->clients_.erase(this);
        page->loop_.post([gone = std::shared_ptr<Client>(std::move(self))] {});  // freed after this batch
    }
};

StatusPage::StatusPage(CommandLoop& loop, UniqueFd listening, const ProxyPool& pool, Gate& gate, bool credentials)
    : loop_(loop), pool_(pool), gate_(gate), credentials_(credentials), listener_(std::make_unique<Listener>()) {
    listener_->page = this;
    listener_->fd = std::move(listening);
    loop_.post([this] { loop_.watch(listener_->fd.get(), EPOLLIN, listener_.get()); });
    loop_.every(kTick, [this] { tick(); });
}

StatusPage::~StatusPage() = default;

void StatusPage::close() {
    closed_ = true;
    loop_.unwatch(listener_->fd.get(), listener_.get());
    listener_->fd.reset();
    for (auto& [raw, client] : clients_) {
        loop_.unwatch(client->fd.get(), raw);
        gate_.budget.give(1);
    }
    clients_.clear();
}

void StatusPage::pause() {
    paused_ = true;
    loop_.unwatch(listener_->fd.get(), listener_.get());
}

void StatusPage::tick() {
    if (closed_) return;
    const auto now = std::chrono::steady_clock::now();
    std::vector<Client*> late;
    for (auto& [raw, client] : clients_)
        if (now >= client->until) late.push_back(raw);
    for (Client* c : late) c->done();  // one that does not ask, or does not read, is not waited for
    if (paused_ && clients_.size() < kMaxClients && gate_.budget.free() > kSetupDescriptors) {
        paused_ = false;
        loop_.watch(listener_->fd.get(), EPOLLIN, listener_.get());
    }
}

bool StatusPage::evictSilent() {
    Client* oldest = nullptr;
    for (auto& [raw, client] : clients_)
        if (!client->answered && (!oldest || client->until < oldest->until)) oldest = raw;
    if (oldest) oldest->done();
    return oldest != nullptr;
}

void StatusPage::accept() {
    while (!paused_) {
        // Its clients take their descriptors from the gate's budget; when they are all taken, the one silent longest
        // makes room, so that clients who say nothing never keep out one who asks.
        if (clients_.size() >= kMaxClients && !evictSilent()) return pause();
        if (!gate_.budget.take(1) && !(evictSilent() && gate_.budget.take(1))) return pause();
        const int fd = ::accept4(listener_->fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            gate_.budget.give(1);
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) pause();  // not spun on
            return;
        }
        auto c = std::make_unique<Client>();
        c->page = this;
        c->fd = UniqueFd(fd);
        Client* raw = c.get();
        clients_.emplace(raw, std::move(c));
        loop_.watch(fd, EPOLLIN, raw);
    }
}

std::string StatusPage::answer(const std::string& request) const {
    const std::string line = request.substr(0, request.find("\r\n"));
    if (credentials_) {
        const std::string given = authorization(request);
        const auto colon = given.find(':');
        if (colon == std::string::npos || !gate_.access()->admits(given.substr(0, colon), given.substr(colon + 1)))
            return response(401, "Unauthorized", "text/plain", "credentials wanted\n",
                            "WWW-Authenticate: Basic realm=\"kiriha-gate\"\r\n");
    }
    if (line.starts_with("GET / ") || line == "GET /")
        return response(200, "OK", "application/json", statusJson(pool_, gate_) + "\n");
    if (line.starts_with("GET /metrics "))
        return response(200, "OK", "text/plain; version=0.0.4; charset=utf-8", statusMetrics(pool_, gate_));
    if (!line.starts_with("GET ")) return response(405, "Method Not Allowed", "text/plain", "GET / or GET /metrics\n");
    return response(404, "Not Found", "text/plain", "GET / or GET /metrics\n");
}

std::string statusJson(const ProxyPool& pool, const Gate& gate) {
    using Json = nlohmann::ordered_json;
    const auto now = ProxyPool::Clock::now();
    Json proxies = Json::array();
    constexpr std::size_t kPart = 256;  // a choice waits at most for one part
    for (std::size_t from = 0;; from += kPart) {
        const std::vector<ProxyPool::View> part = pool.views(from, kPart);
        if (part.empty()) break;
        for (const ProxyPool::View& v : part) {
            Json p{{"proxy", shownProxy(v.listed)},
                   {"state", ProxyPool::stateName(v.state)},
                   {"serves", v.serves},
                   {"served", v.uses},
                   {"failures", v.failures}};
            if (v.lastCheck) {
                const Verdict& c = *v.lastCheck;
                p["last_check"] =
                    Json{{"result", c.outcome == ProbeOutcome::Working ? "working" : "dead"},
                         {"reason", reasonName(c.reason)},
                         {"seconds_ago", std::chrono::duration_cast<std::chrono::seconds>(now - *v.checkedAt).count()},
                         {"total_ms", c.totalMs}};
                if (c.sighting) {
                    p["exit"] = c.sighting->exit.empty() ? Json() : Json(c.sighting->exit);
                    p["anonymity"] = anonymityName(c.sighting->anonymity);
                }
                if (c.country) p["country"] = *c.country;
            } else {
                p["last_check"] = nullptr;
            }
            p["setup_ms_median"] = v.setupMs ? Json(*v.setupMs) : Json();
            proxies.push_back(std::move(p));
        }
    }
    const GateMetrics& m = gate.metrics;
    Json out{{"connections", m.connections.load()}, {"open", m.open.load()},        {"tunnels", m.tunnels.load()},
             {"failovers", m.failovers.load()},     {"refused", m.refused.load()},  {"bytes_up", m.bytesUp.load()},
             {"bytes_down", m.bytesDown.load()},    {"proxies", std::move(proxies)}};
    return out.dump(2, ' ', false, Json::error_handler_t::replace);
}

std::string statusMetrics(const ProxyPool& pool, const Gate& gate) {
    const GateMetrics& m = gate.metrics;
    const ProxyPool::Counts c = pool.counts();
    std::string out;
    const auto metric = [&](const char* name, const char* type, const char* help, const std::string& samples) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + samples;
    };
    const auto sample = [](const std::string& name, std::uint64_t v) { return name + " " + std::to_string(v) + "\n"; };
    metric("kiriha_gate_connections_total", "counter", "Client connections accepted.",
           sample("kiriha_gate_connections_total", m.connections));
    metric("kiriha_gate_connections_open", "gauge", "Client connections open now.",
           sample("kiriha_gate_connections_open", m.open));
    metric("kiriha_gate_tunnels_total", "counter", "Client connections sent out through a proxy.",
           sample("kiriha_gate_tunnels_total", m.tunnels));
    metric("kiriha_gate_failovers_total", "counter", "Proxies tried again with another after a failure.",
           sample("kiriha_gate_failovers_total", m.failovers));
    metric("kiriha_gate_refused_total", "counter", "Client connections that got no tunnel.",
           sample("kiriha_gate_refused_total", m.refused));
    metric("kiriha_gate_log_dropped_total", "counter", "Log lines dropped: the log's reader did not keep up.",
           sample("kiriha_gate_log_dropped_total", m.logDropped));
    metric("kiriha_gate_bytes_total", "counter", "Bytes relayed, by direction.",
           sample("kiriha_gate_bytes_total{direction=\"up\"}", m.bytesUp) +
               sample("kiriha_gate_bytes_total{direction=\"down\"}", m.bytesDown));
    metric("kiriha_gate_proxies", "gauge", "Proxies of the pool, by state.",
           sample("kiriha_gate_proxies{state=\"checking\"}", c.checking) +
               sample("kiriha_gate_proxies{state=\"working\"}", c.working) +
               sample("kiriha_gate_proxies{state=\"resting\"}", c.resting) +
               sample("kiriha_gate_proxies{state=\"dead\"}", c.dead));
    return out;
}

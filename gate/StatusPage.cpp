#include "gate/StatusPage.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "engine/loops/ProxyPool.h"
#include "gate/Gateway.h"
#include "gate/Upstream.h"

namespace {

constexpr std::size_t kMaxStatusRequest = 8192;

std::string response(int status, const char* reason, const char* type, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
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
    void onEvents(std::uint32_t) override {
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
        auto self = std::move(page->clients_.at(this));
        page->clients_.erase(this);
        page->loop_.post([gone = std::shared_ptr<Client>(std::move(self))] {});  // freed after this batch
    }
};

StatusPage::StatusPage(CommandLoop& loop, UniqueFd listening, const ProxyPool& pool, const Gate& gate)
    : loop_(loop), pool_(pool), gate_(gate), listener_(std::make_unique<Listener>()) {
    listener_->page = this;
    listener_->fd = std::move(listening);
    loop_.post([this] { loop_.watch(listener_->fd.get(), EPOLLIN, listener_.get()); });
}

StatusPage::~StatusPage() = default;

void StatusPage::close() {
    loop_.unwatch(listener_->fd.get(), listener_.get());
    listener_->fd.reset();
    for (auto& [raw, client] : clients_) loop_.unwatch(client->fd.get(), raw);
    clients_.clear();
}

void StatusPage::accept() {
    for (;;) {
        const int fd = ::accept4(listener_->fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
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
    for (const ProxyPool::View& v : pool.views()) {
        Json p{{"proxy", shownProxy(v.listed)},
               {"state", ProxyPool::stateName(v.state)},
               {"serves", v.served},
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

#include "gate/StatusPage.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>

#include "cli/OptionTable.h"
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

// The value of a request head's field `name` (lower case, with its colon), or nothing.
std::optional<std::string> field(const std::string& request, std::string_view name) {
    const std::size_t headEnd = std::min(request.find("\r\n\r\n"), request.size());
    for (std::size_t at = request.find("\r\n"); at != std::string::npos && at < headEnd;) {
        const std::size_t end = std::min(request.find("\r\n", at + 2), headEnd);
        const std::string_view line = std::string_view(request).substr(at + 2, end - at - 2);
        at = end == headEnd ? std::string::npos : end;
        if (line.size() >= name.size() && std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
                return a == std::tolower(static_cast<unsigned char>(b));
            }))
            return std::string(line.substr(name.size()));
    }
    return std::nullopt;
}

// The Basic credentials of a request's Authorization field, or "".
std::string authorization(const std::string& request) {
    const auto value = field(request, "authorization:");
    return value ? decodeBasic(*value) : "";
}

// A request's Content-Length: 0 when it gives none (or one past the page's bounds).
std::size_t contentLength(const std::string& request) {
    const auto value = field(request, "content-length:");
    const std::size_t n = value ? std::strtoull(value->c_str(), nullptr, 10) : 0;
    return std::min(n, kMaxStatusRequest);
}

// "90s", "30m", "2h": a rest's length, as the options write durations; nothing when it is none, or not from a second
// to a day.
std::optional<std::chrono::seconds> restFor(const std::string& text) {
    const std::optional<long long> ms = durationMs(text);
    if (!ms || *ms < 1000 || *ms > 24LL * 3'600'000) return std::nullopt;
    return std::chrono::seconds(*ms / 1000);
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
    std::optional<std::size_t> headEnd;
    bool answered = false;
    std::chrono::steady_clock::time_point until = std::chrono::steady_clock::now() + kClientTime;
    void onEvents(std::uint32_t events) override {
        char buf[4096];
        while (!answered) {
            const ssize_t n = ::recv(fd.get(), buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                const std::size_t from = in.size() >= 3 ? in.size() - 3 : 0;  // what came before held no end
                in.append(buf, std::size_t(n));
                if (!headEnd) {
                    const auto end = in.find("\r\n\r\n", from);
                    if (end != std::string::npos) headEnd = end + 4;
                }
                if (!headEnd && in.size() < kMaxStatusRequest) continue;
                if (headEnd && in.size() < std::min(kMaxStatusRequest, *headEnd + contentLength(in))) continue;
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

StatusPage::StatusPage(CommandLoop& loop, UniqueFd listening, ProxyPool& pool, Gate& gate, bool credentials)
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

std::string StatusPage::answer(const std::string& request) {
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
    if (line.starts_with("GET /connections "))
        return response(200, "OK", "application/json", connectionsJson(pool_, gate_) + "\n");
    if (line.starts_with("POST /feedback ")) {
        const auto at = request.find("\r\n\r\n");
        return feedback(at == std::string::npos ? "" : request.substr(at + 4));
    }
    constexpr const char* kAsk = "GET /, GET /metrics, GET /connections or POST /feedback\n";
    if (!line.starts_with("GET ")) return response(405, "Method Not Allowed", "text/plain", kAsk);
    return response(404, "Not Found", "text/plain", kAsk);
}

std::string StatusPage::feedback(const std::string& body) {
    using Json = nlohmann::ordered_json;
    const auto bad = [](const std::string& why) { return response(400, "Bad Request", "text/plain", why + "\n"); };
    const Json asked = Json::parse(body, nullptr, false);
    if (!asked.is_object())
        return bad(
            "a JSON object: {\"client\":\"ADDR:PORT\"} or {\"session\":\"NAME-ID\"}, "
            "\"verdict\":\"blocked\", \"for\":\"30m\"");
    const auto text = [&](const char* key) {
        const auto it = asked.find(key);
        return it != asked.end() && it->is_string() ? std::optional<std::string>(it->get<std::string>()) : std::nullopt;
    };
    const auto client = text("client"), session = text("session"), verdict = text("verdict");
    if (client.has_value() == session.has_value()) return bad("one of \"client\" or \"session\"");
    if (verdict != "blocked") return bad("\"verdict\": \"blocked\"");
    const std::optional<std::chrono::seconds> length =
        asked.contains("for") ? (text("for") ? restFor(*text("for")) : std::nullopt) : std::chrono::minutes(30);
    if (!length) return bad("\"for\": a length such as \"90s\", \"30m\" or \"2h\", at most a day");
    const auto now = gate_.now();
    std::optional<std::pair<std::uint64_t, std::string>> rested;  // the proxy, and the site
    if (client) {
        if (const auto open = gate_.book.find(*client)) rested = std::make_pair(open->proxy, open->host);
    } else {
        rested = pool_.sessionProxy(*session, now);
    }
    if (!rested || rested->second.empty() || !pool_.rest(rested->first, rested->second, now + *length))
        return response(404, "Not Found", "text/plain",
                        client ? "no open connection of " + *client + " has a proxy\n"
                               : "no session " + *session + " has a proxy\n");
    const Json out{
        {"proxy", shownProxy(pool_.shown(rested->first))}, {"site", rested->second}, {"seconds", length->count()}};
    return response(200, "OK", "application/json", out.dump() + "\n");
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
    Json out{{"connections", m.connections.load()}, {"open", m.open.load()},       {"tunnels", m.tunnels.load()},
             {"failovers", m.failovers.load()},     {"refused", m.refused.load()}, {"bytes_up", m.bytesUp.load()},
             {"bytes_down", m.bytesDown.load()},    {"sessions", pool.sessions()}};
    Json groups = Json::array();
    for (const ProxyPool::GroupCount& g : pool.byGroup())
        groups.push_back(Json{{"country", g.country.empty() ? Json() : Json(g.country)},
                              {"anonymity", g.anonymity ? Json(anonymityName(*g.anonymity)) : Json()},
                              {"working", g.working}});
    out["working_by_exit"] = std::move(groups);
    Json unmatched = Json::object();
    for (std::size_t u = 0; u < m.unmatched.size(); ++u)
        unmatched[std::string(unmatchedName(Unmatched(u)))] = m.unmatched[u].load();
    out["unmatched"] = std::move(unmatched);
    out["proxies"] = std::move(proxies);
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
    // Countries are bounded by ISO 3166, anonymities by three: never a session's id.
    std::string groups;
    for (const ProxyPool::GroupCount& g : pool.byGroup())
        groups += sample("kiriha_gate_working_proxies{country=\"" + g.country + "\",anonymity=\"" +
                             std::string(g.anonymity ? anonymityName(*g.anonymity) : "") + "\"}",
                         g.working);
    metric("kiriha_gate_working_proxies", "gauge", "Working proxies that serve, by exit country and anonymity.",
           groups);
    metric("kiriha_gate_sessions", "gauge", "Sessions kept now.", sample("kiriha_gate_sessions", pool.sessions()));
    std::string unmatched;
    for (std::size_t u = 0; u < m.unmatched.size(); ++u)
        unmatched += sample("kiriha_gate_unmatched_total{reason=\"" + std::string(unmatchedName(Unmatched(u))) + "\"}",
                            m.unmatched[u]);
    metric("kiriha_gate_unmatched_total", "counter", "Connections refused for what their user name asked, by reason.",
           unmatched);
    return out;
}

std::string connectionsJson(const ProxyPool& pool, const Gate& gate) {
    using Json = nlohmann::ordered_json;
    auto open = gate.book.all();
    std::sort(open.begin(), open.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    Json out = Json::array();
    for (const auto& [client, o] : open) {
        const ProxyPool::Exit x = pool.exitOf(o.proxy);
        out.push_back(Json{{"client", client},
                           {"target", o.target},
                           {"proxy", shownProxy(pool.shown(o.proxy))},
                           {"exit", x.address.empty() ? Json() : Json(x.address)},
                           {"country", x.country ? Json(*x.country) : Json()},
                           {"anonymity", x.anonymity ? Json(anonymityName(*x.anonymity)) : Json()},
                           {"session", o.session.empty() ? Json() : Json(o.session)}});
    }
    return out.dump(2, ' ', false, Json::error_handler_t::replace);
}

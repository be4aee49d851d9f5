#include "gate/Connection.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "check/Diagnostics.h"
#include "check/Output.h"
#include "engine/rules/ProbeRules.h"
#include "engine/rules/Verdict.h"

namespace {

constexpr std::size_t kChunk = 64 * 1024;  // the most one splice moves

Refusal refusalFor(std::string_view reason) {
    if (reason == "refused") return Refusal::Refused;
    if (reason == "target-name" || reason == "unreachable") return Refusal::Unreachable;
    if (reason == "proxy-denied") return Refusal::NotAllowed;
    return Refusal::AllFailed;
}

// A response head as the client gets it: closed after this answer, whatever the far end said of the connection.
std::string closingHead(std::string_view head) {
    std::string out;
    for (std::size_t at = 0; at < head.size();) {
        const auto end = head.find("\r\n", at);
        const std::string_view line = head.substr(at, end - at);
        at = end + 2;
        if (line.empty()) break;
        const auto colon = line.find(':');
        std::string name(line.substr(0, colon == std::string_view::npos ? 0 : colon));
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        if (name == "connection" || name == "keep-alive" || name == "proxy-connection") continue;
        out.append(line).append("\r\n");
    }
    return out + "Connection: close\r\n\r\n";
}

}  // namespace

Connection::Connection(LoopGate& home, UniqueFd client, std::string address)
    : home_(home),
      gate_(home.gate()),
      client_(std::move(client)),
      address_(std::move(address)),
      handshake_(gate_.access()) {
    host_ = address_.substr(0, address_.rfind(':'));
    clientSide_.connection = upstreamSide_.connection = this;
    clientSide_.client = true;
    upstreamSide_.client = false;
    ++gate_.metrics.open;
}

Connection::~Connection() {
    if (easy_) {
        --gate_.metrics.opening;
        home_.loop().dropTransfer(easy_.get());
    }
    if (up_.pipe) home_.givePipe(std::move(*up_.pipe));
    if (down_.pipe) home_.givePipe(std::move(*down_.pipe));
    --gate_.metrics.open;
    gate_.budget.give(held_);
}

void Connection::start() {
    down_.to = client_.get();
    up_.from = client_.get();
    if (!home_.loop().watch(client_.get(), EPOLLIN, &clientSide_)) return end("error");
}

void Connection::sweep(Clock::time_point now) {
    if (phase_ == Phase::Handshake && now - started_ >= gate_.headLimit)
        return end("timeout");  // no request within the head's time
    // A client that does not read its refusal is not waited for.
    if (phase_ == Phase::Refusing && now - phaseSince_ >= gate_.headLimit) return end(endOf_);
    if ((phase_ == Phase::Relay || phase_ == Phase::Answer) && now - lastMoved_ >= gate_.idle) return end("idle");
}

void Connection::onEvents(bool client, std::uint32_t events) {
    switch (phase_) {
        case Phase::Handshake:
            return readHandshake();
        case Phase::Opening:
            // What the client sends meanwhile waits, within bounds; gone, it ends the attempt.
            if (client && !readInto(in_, kMaxRequest)) return end("gone");
            return watch();
        case Phase::Answer:
            if (!client) return readAnswer();
            return pump();
        case Phase::Relay:
        case Phase::Refusing:
            return pump();
        case Phase::Done:
            break;
    }
    (void)events;
}

bool Connection::readInto(std::string& into, std::size_t cap) {
    char buf[16384];
    while (into.size() < cap) {
        const std::size_t most = std::min(sizeof buf, cap - into.size());
        const ssize_t n = ::recv(client_.get(), buf, most, MSG_DONTWAIT);
        if (n > 0) {
            into.append(buf, std::size_t(n));
            if (std::size_t(n) < most) return true;  // drained for now: epoll says when more comes
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;  // closed, or reset
    }
    return true;
}

void Connection::readHandshake() {
    const bool alive = readInto(in_, kMaxRequest + 1);
    Handshake::Step step = handshake_.feed(in_);
    if (!step.reply.empty() && step.is == Handshake::Step::Is::More) down_.pending += step.reply;
    switch (step.is) {
        case Handshake::Step::Is::More:
            if (!alive) return end("gone");
            return pump();
        case Handshake::Step::Is::Refused:
            phase_ = Phase::Refusing;
            phaseSince_ = Clock::now();
            endOf_ = "refused";
            refusedWhy_ = step.why;
            down_.pending += step.reply;
            down_.eof = true;  // the refusal, and the end
            return pump();
        case Handshake::Step::Is::Ready:
            break;
    }
    down_.pending += step.reply;
    request_ = std::move(step.request);
    phase_ = Phase::Opening;
    open();
}

void Connection::open() {
    if (gate_.draining) return refuse(Refusal::NoProxy, "kiriha-gate: stopping", "stopped");
    const bool anyTried = !triedIds_.empty();
    if (int(triedIds_.size()) >= gate_.tries || !anotherWorthIt_)
        pick_.reset();
    else
        pick_ = gate_.pool.choose(host_, request_.to.host, triedIds_, Clock::now());
    if (!pick_) {
        if (!anyTried) {
            if (!gate_.saidNoProxy.exchange(true)) gate_.err.say("no proxy works: clients are refused until one does");
            return refuse(Refusal::NoProxy, "kiriha-gate: no proxy of the pool works now", "no-proxy");
        }
        std::string text = "kiriha-gate: no proxy reached " + request_.to.shown() + ":";
        for (const Tried& t : tried_) text += " " + t.proxy + " " + t.why + ";";
        text.pop_back();
        const std::string_view last = tried_.back().why;
        return refuse(tried_.size() == 1 ? refusalFor(last) : Refusal::AllFailed, text, "failed");
    }
    if (anyTried) ++gate_.metrics.failovers;
    triedIds_.push_back(pick_->id);
    upstream_info_ = home_.upstream(pick_->proxy);
    if (!upstream_info_.servable) return failed({"unsupported"});
    const bool toProxy = request_.kind == ClientRequest::Kind::Plain && upstream_info_.httpProxy;
    easy_ = home_.takeEasy();
    opening_ = Clock::now();
    if (!easy_ || !upstreamTransfer(easy_.get(), pick_->proxy, request_.to, toProxy, gate_.curl) ||
        !home_.loop().transfer(easy_.get(), [this](CURLcode r) { opened(r); })) {
        easy_.reset();
        return failed({"error"});
    }
    ++gate_.metrics.opening;
    watch();
}

void Connection::opened(CURLcode result) {
    --gate_.metrics.opening;
    CURL* easy = easy_.get();
    if (result != CURLE_OK) {
        const Blame blame = blameOf(easy, result);
        home_.loop().dropTransfer(easy);
        home_.giveEasy(std::move(easy_));
        return failed(blame);
    }
    curl_socket_t s = CURL_SOCKET_BAD;
    curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &s);
    // The handle leaving the multi handle closes its socket: the tunnel goes on in a copy.
    upstream_.reset(s == CURL_SOCKET_BAD ? -1 : ::fcntl(s, F_DUPFD_CLOEXEC, 0));
    home_.loop().dropTransfer(easy);
    home_.giveEasy(std::move(easy_));
    if (upstream_.get() < 0) return failed({"error"});
    gate_.pool.served(pick_->id, Clock::now() - opening_);
    up_.to = upstream_.get();
    down_.from = upstream_.get();
    if (request_.kind == ClientRequest::Kind::Plain) {
        // The request, then, for a body too long to be kept, the rest of it as it comes, and nothing after it.
        // The request, then, for a body too long to be kept, the rest of it as it comes: nothing after it, so that no
        // second request rides on this one.
        up_.pending = request_.forwarded(upstream_info_.httpProxy, upstream_info_.credentials);
        up_.halfClose = false;  // many proxies take an end of stream for the end of the connection, answer and all
        if (request_.whole) {
            up_.eof = true;
        } else {
            const std::size_t part = std::size_t(std::min<std::uint64_t>(in_.size(), request_.owed));
            up_.pending.append(in_, 0, part);
            up_.budget = request_.owed - part;
            up_.reading = true;
        }
        in_.clear();
        phase_ = Phase::Answer;
        phaseSince_ = lastMoved_ = Clock::now();
        answer_.clear();
        return pump();
    }
    down_.pending += tunnelReady(request_.kind);
    up_.pending = std::move(in_);  // sent before the tunnel was there
    in_.clear();
    startRelay();
}

void Connection::failed(const Blame& blame) {
    if (pick_) {
        if (blame.proxy) gate_.pool.failed(pick_->id);
        tried_.push_back({upstream_info_.shown.empty() ? pick_->proxy : upstream_info_.shown, blame.reason});
    }
    if (!blame.another) anotherWorthIt_ = false;
    if (watchingUpstream_) home_.loop().unwatch(upstream_.get(), &upstreamSide_);
    if (up_.pipe) home_.givePipe(std::move(*up_.pipe));
    upstream_.reset();
    up_ = Flow{};
    up_.from = client_.get();
    watchingUpstream_ = false;
    phase_ = Phase::Opening;
    open();
}

void Connection::refuse(Refusal why, const std::string& text, const std::string& how) {
    ++gate_.metrics.refused;
    phase_ = Phase::Refusing;
    phaseSince_ = Clock::now();
    down_.pending += refusalReply(request_.kind, why, text);
    down_.eof = true;
    up_.reading = false;
    endOf_ = how;
    pump();
}

void Connection::readAnswer() {
    char buf[16384];
    for (;;) {
        const ssize_t n = ::recv(upstream_.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            const std::size_t from = answer_.size() >= 3 ? answer_.size() - 3 : 0;  // what came before held no end
            answer_.append(buf, std::size_t(n));
            if (answer_.size() > kMaxRequest) break;  // no head to read: passed on as it is
            if (answer_.find("\r\n\r\n", from) != std::string::npos) break;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return pump();
        if (n < 0 && errno == EINTR) continue;
        // Closed before a whole head: another proxy may do, while nothing of an answer has reached the client.
        if (request_.whole && int(triedIds_.size()) < gate_.tries) return failed({"reset"});
        if (answer_.empty())
            return refuse(Refusal::AllFailed, "kiriha-gate: the proxy closed without an answer", "failed");
        break;
    }
    const auto headEnd = answer_.find("\r\n\r\n");
    if (headEnd != std::string::npos && answer_.starts_with("HTTP/")) {
        const auto sp = answer_.find(' ');
        const long status = sp == std::string::npos ? 0 : std::strtol(answer_.c_str() + sp + 1, nullptr, 10);
        // An HTTP proxy's own refusal is no answer of the site's: another proxy may do, if the request can be sent
        // again.
        if (upstream_info_.httpProxy && request_.whole && int(triedIds_.size()) < gate_.tries)
            if (const auto reason = proxysOwnAnswer(status, std::nullopt))
                return failed({std::string(reasonName(*reason))});
        down_.pending = closingHead(std::string_view(answer_).substr(0, headEnd + 4)) + answer_.substr(headEnd + 4);
    } else {
        down_.pending = std::move(answer_);
    }
    answer_.clear();
    startRelay();
}

void Connection::startRelay() {
    gate_.budget.give(held_ - kTunnelDescriptors);  // no look-up any more
    held_ = kTunnelDescriptors;
    phase_ = Phase::Relay;
    lastMoved_ = Clock::now();
    ++gate_.metrics.tunnels;
    if (!up_.eof) up_.reading = true;
    down_.reading = true;
    pump();
}

bool Connection::move(Flow& f) {
    for (;;) {
        if (!f.pending.empty()) {
            const ssize_t n = ::send(f.to, f.pending.data(), f.pending.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) return f.wantWrite = true;
                if (errno == EINTR) continue;
                return false;
            }
            f.pending.erase(0, std::size_t(n));
            f.moved += std::size_t(n);
            lastMoved_ = Clock::now();
            continue;
        }
        if (f.inPipe > 0) {
            const ssize_t n =
                ::splice(f.pipe->read.get(), nullptr, f.to, nullptr, f.inPipe, SPLICE_F_NONBLOCK | SPLICE_F_MOVE);
            if (n < 0) {
                if (errno == EAGAIN) return f.wantWrite = true;
                if (errno == EINTR) continue;
                return false;
            }
            f.inPipe -= std::size_t(n);
            f.moved += std::size_t(n);
            lastMoved_ = Clock::now();
            if (f.inPipe == 0) home_.givePipe(std::exchange(f.pipe, std::nullopt).value());
            continue;
        }
        f.wantWrite = false;
        if (f.eof) {
            f.wantRead = false;
            if (!f.shut && f.to >= 0 && f.halfClose) ::shutdown(f.to, SHUT_WR);  // the end of stream, passed on
            f.shut = true;
            return true;
        }
        if (!f.reading || f.from < 0) return !(f.wantRead = false);
        if (f.drained) {
            f.drained = false;
            return f.wantRead = true;
        }
        if (f.budget && *f.budget == 0) {
            f.eof = true;
            continue;
        }
        const std::size_t most = std::min<std::uint64_t>(kChunk, f.budget.value_or(kChunk));
        if (!f.pipe) f.pipe = home_.takePipe();
        ssize_t n;
        if (f.pipe) {
            n = ::splice(f.from, nullptr, f.pipe->write.get(), nullptr, most, SPLICE_F_NONBLOCK | SPLICE_F_MOVE);
            if (n > 0) f.inPipe = std::size_t(n);
        } else {  // no pipe to be had: through a buffer of ours
            char buf[16384];
            n = ::recv(f.from, buf, std::min(sizeof buf, most), MSG_DONTWAIT);
            if (n > 0) f.pending.assign(buf, std::size_t(n));
        }
        if (n <= 0 && f.pipe && f.inPipe == 0) home_.givePipe(std::exchange(f.pipe, std::nullopt).value());
        if (n > 0) {
            if (f.budget) *f.budget -= std::uint64_t(n);
            // A short read from a buffer means the socket is drained for now. A splice into the pipe is asked again
            // at once: in a bulk transfer more has come by then, and waiting for epoll cost a fifth of the speed.
            f.drained = !f.pipe && std::size_t(n) < most;
            continue;
        }
        if (n == 0) {
            f.eof = true;
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) return f.wantRead = true;
        if (errno == EINTR) continue;
        return false;
    }
}

void Connection::pump() {
    if (phase_ == Phase::Done) return;
    if (phase_ == Phase::Answer || phase_ == Phase::Relay) {
        if (!move(up_)) return end(phase_ == Phase::Relay ? "reset" : "gone");
    }
    if (!move(down_)) return end("reset");
    if (phase_ == Phase::Refusing && down_.done()) return end(endOf_);
    if (phase_ == Phase::Relay && up_.done() && down_.done()) return end("closed");
    watch();
}

void Connection::watch() {
    if (phase_ == Phase::Done) return;
    std::uint32_t client = 0, upstream = 0;
    switch (phase_) {
        case Phase::Handshake:
        case Phase::Opening:
            client = EPOLLIN | (down_.wantWrite ? EPOLLOUT : 0u);
            if (phase_ == Phase::Opening && in_.size() >= kMaxRequest) client &= ~std::uint32_t(EPOLLIN);
            break;
        case Phase::Answer:
            client = (up_.wantRead ? EPOLLIN : 0u) | (down_.wantWrite ? EPOLLOUT : 0u);
            upstream = EPOLLIN | (up_.wantWrite ? EPOLLOUT : 0u);
            break;
        case Phase::Relay:
        case Phase::Refusing:
            client = (up_.wantRead ? EPOLLIN : 0u) | (down_.wantWrite ? EPOLLOUT : 0u);
            upstream = (down_.wantRead ? EPOLLIN : 0u) | (up_.wantWrite ? EPOLLOUT : 0u);
            break;
        case Phase::Done:
            return;
    }
    if (!home_.loop().watch(client_.get(), client, &clientSide_)) return end("error");
    if (upstream_.get() >= 0) {
        if (!home_.loop().watch(upstream_.get(), upstream, &upstreamSide_)) return end("error");
        watchingUpstream_ = true;
    }
}

std::string Connection::logLine(const std::string& how) const {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
    std::string line = "client=" + address_ + " target=" + (request_.to.host.empty() ? "-" : request_.to.shown()) +
                       " proxy=" + (pick_ ? upstream_info_.shown : (tried_.empty() ? "-" : tried_.back().proxy)) +
                       " tries=" + std::to_string(triedIds_.size()) + " up=" + std::to_string(up_.moved) +
                       " down=" + std::to_string(down_.moved) + " ms=" + std::to_string(ms) + " end=" + how;
    std::string why;
    for (const Tried& t : tried_) why += (why.empty() ? "" : ",") + t.why;
    if (!refusedWhy_.empty()) why = refusedWhy_;
    for (char& c : why)
        if (c == ' ') c = '-';
    return line + (why.empty() ? "" : " why=" + why) + "\n";
}

void Connection::end(const std::string& how) {
    if (phase_ == Phase::Done) return;
    const bool wasRelay = phase_ == Phase::Relay;
    if (!wasRelay && phase_ != Phase::Refusing) ++gate_.metrics.refused;
    gate_.metrics.bytesUp += up_.moved;
    gate_.metrics.bytesDown += down_.moved;
    home_.log(logLine(how));
    phase_ = Phase::Done;
    home_.loop().unwatch(client_.get(), &clientSide_);
    if (upstream_.get() >= 0) home_.loop().unwatch(upstream_.get(), &upstreamSide_);
    if (easy_) {
        --gate_.metrics.opening;
        home_.loop().dropTransfer(easy_.get());
        easy_.reset();
    }
    client_.reset();
    upstream_.reset();
    home_.ended(this);
}

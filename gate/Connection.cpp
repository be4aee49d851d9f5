#include "gate/Connection.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/Diagnostics.h"
#include "cli/Messages.h"
#include "cli/Output.h"
#include "engine/rules/ProbeRules.h"
#include "engine/rules/Verdict.h"

namespace {

constexpr std::size_t kChunk = 64 * 1024;    // the most one splice moves
constexpr std::size_t kDiscarded = 1 << 20;  // of a refused client's bytes, read while its refusal goes out
constexpr std::size_t kDiscardStep = 16384;
constexpr auto kLinger = std::chrono::seconds(2);  // for a refused client to end its side

Refusal refusalFor(const Blame& blame) {
    if (blame.reason == Reason::Refused) return Refusal::Refused;
    if (blame.reason == Reason::TargetName || blame.reason == Reason::Unreachable) return Refusal::Unreachable;
    if (blame.reason == Reason::ProxyDenied) return blame.fault == Fault::Site ? Refusal::Refused : Refusal::NotAllowed;
    return Refusal::AllFailed;
}

// Sent again to another proxy only when sending it twice does no harm (RFC 9110, 9.2.2).
bool idempotent(std::string_view method) {
    for (const std::string_view m : {"GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"})
        if (method == m) return true;
    return false;
}

// A response head as the client gets it: closed after this answer, whatever the far end said of the connection.
std::string closingHead(std::string_view head, const std::string& extra) {
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
    return out + extra + "Connection: close\r\n\r\n";
}

// "HTTP/1.x NNN": the status of an answer's first line, or nothing when it is no HTTP answer.
std::optional<long> statusOf(std::string_view answer) {
    if (answer.size() < 12 || !answer.starts_with("HTTP/1.") || answer[8] != ' ') return std::nullopt;
    long status = 0;
    for (std::size_t i = 9; i < 12; ++i) {
        if (answer[i] < '0' || answer[i] > '9') return std::nullopt;
        status = status * 10 + (answer[i] - '0');
    }
    return status >= 100 ? std::optional<long>(status) : std::nullopt;
}

// Bytes that can no longer begin an HTTP answer.
bool cannotBeAnswer(std::string_view answer) {
    constexpr std::string_view kStart = "HTTP/1.";
    const std::size_t n = std::min(answer.size(), kStart.size());
    return answer.substr(0, n) != kStart.substr(0, n);
}

void resetOnClose(int fd) {
    const linger now{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
}

}  // namespace

Connection::Connection(LoopGate& home, UniqueFd client, std::string address)
    : home_(home),
      gate_(home.gate()),
      client_(std::move(client)),
      address_(std::move(address)),
      handshake_(gate_.access(), gate_.can) {
    host_ = address_.substr(0, address_.rfind(':'));
    started_ = lastMoved_ = gate_.now();
    clientSide_.connection = upstreamSide_.connection = this;
    clientSide_.client = true;
    upstreamSide_.client = false;
    ++gate_.metrics.open;
}

Connection::~Connection() {
    if (inSession_) gate_.pool.leave(request_.want.session, gate_.now());
    if (booked_) gate_.book.drop(address_);
    if (easy_) {
        --gate_.metrics.opening;
        home_.loop().dropTransfer(easy_.get());
    }
    dropPipe(up_);
    dropPipe(down_);
    --gate_.metrics.open;
    gate_.budget.give(held_);
}

void Connection::dropPipe(Flow& f) {
    if (!f.pipe) return;
    // Bytes left in it are another client's: such a pipe is closed, never handed to the next tunnel.
    if (f.inPipe == 0)
        home_.givePipe(std::move(*f.pipe));
    else
        home_.closePipe(std::move(*f.pipe));
    f.pipe.reset();
    f.inPipe = 0;
}

void Connection::enter(Phase phase) {
    phase_ = phase;
    phaseSince_ = gate_.now();
}

void Connection::start() {
    down_.to = client_.get();
    up_.from = client_.get();
    if (!home_.loop().watch(client_.get(), EPOLLIN, &clientSide_)) return end(EndCause::Error);
}

void Connection::sweep(Clock::time_point now) {
    if (phase_ == Phase::Handshake && now - started_ >= gate_.headLimit)
        return end(EndCause::Timeout);  // no request within the head's time
    // A client that does not read its refusal, or does not end its side after it, is not waited for.
    if (phase_ == Phase::Refusing &&
        now - phaseSince_ >= (down_.done() ? std::min<Clock::duration>(gate_.headLimit, kLinger) : gate_.headLimit))
        return end(endOf_);
    if (phase_ == Phase::Opening && connecting_ && now - opening_ >= gate_.curl.limits.connect) {
        connecting_ = false;
        return failed({Reason::ConnectTimeout, Fault::Proxy});
    }
    // An answer's head comes within the checks' limits: silence for the idle one, or the whole one.
    const CheckLimits& limits = gate_.curl.limits;
    if (phase_ == Phase::Answer && (now - lastMoved_ >= limits.idle || now - phaseSince_ >= limits.total))
        return answerFailed(Reason::IdleTimeout, N_("no answer in time"));
    if (phase_ == Phase::Relay && now - lastMoved_ >= gate_.idle) return end(EndCause::Idle);
}

void Connection::onEvents(bool client, std::uint32_t events) {
    // A side in error: reset, whatever else was asked of it. Nothing read from it would tell more.
    const bool error = (events & EPOLLERR) != 0;
    switch (phase_) {
        case Phase::Handshake:
            return readHandshake();
        case Phase::Opening:
            if (!client) return connecting_ ? connected() : watch();
            // What the client sends meanwhile waits, within bounds; an end of its side is carried through.
            {
                const Read r = readInto(in_, kMaxRequest);
                if (r == Read::Failed) return end(EndCause::Gone);
                if (r == Read::Ended) clientEnded_ = true;
            }
            return watch();
        case Phase::Answer:
            if (error) return client ? end(EndCause::Gone) : answerFailed(Reason::Reset, N_("the proxy reset"));
            if (!client) return readAnswer();
            return pump();
        case Phase::Relay:
            if (error) {
                resetBoth_ = true;
                return end(EndCause::Reset);
            }
            return pump();
        case Phase::Refusing:
            if (error) return end(endOf_);
            if (client && down_.done()) return discard();
            return pump();
        case Phase::Done:
            break;
    }
}

Connection::Read Connection::readInto(std::string& into, std::size_t cap) {
    char buf[16384];
    while (into.size() < cap) {
        const std::size_t most = std::min(sizeof buf, cap - into.size());
        const ssize_t n = ::recv(client_.get(), buf, most, MSG_DONTWAIT);
        if (n > 0) {
            into.append(buf, std::size_t(n));
            if (std::size_t(n) < most) return Read::Open;  // drained for now: epoll says when more comes
            continue;
        }
        if (n == 0) return Read::Ended;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Read::Open;
        if (errno == EINTR) continue;
        return Read::Failed;
    }
    return Read::Open;
}

void Connection::discard() {
    std::string ignored;
    for (std::size_t read = 0; read < kDiscarded; read += ignored.size()) {
        ignored.clear();
        const Read r = readInto(ignored, kDiscardStep);
        if (r != Read::Open) return end(endOf_);
        if (ignored.empty()) return;  // more may come: until it ends its side, or the time is up
    }
    end(endOf_);
}

void Connection::readHandshake() {
    const Read r = readInto(in_, kMaxRequest + 1);
    Handshake::Step step = handshake_.feed(in_);
    if (!step.reply.empty() && step.is == Handshake::Step::Is::More) down_.pending += step.reply;
    switch (step.is) {
        case Handshake::Step::Is::More:
            if (r != Read::Open) return end(EndCause::Gone);
            return pump();
        case Handshake::Step::Is::Refused:
            if (!handshake_.told().empty()) {
                constexpr int kTold = 20;  // a client that keeps sending a wrong name does not flood the terminal
                const int told = ++gate_.toldUserNames;
                if (told <= kTold)
                    gate_.err.say(format(_("client %s: %s"), address_.c_str(), handshake_.told().c_str()));
                if (told == kTold) gate_.err.say(_("further user names refused are in the log only"));
            }
            ++gate_.metrics.refused;
            enter(Phase::Refusing);
            endOf_ = EndCause::Refused;
            refusedWhy_ = step.why;
            down_.pending += step.reply;
            down_.eof = true;  // the refusal, and the end
            return pump();
        case Handshake::Step::Is::Ready:
            break;
    }
    if (r == Read::Failed) return end(EndCause::Gone);
    clientEnded_ = r == Read::Ended;
    down_.pending += step.reply;
    request_ = std::move(step.request);
    enter(Phase::Opening);
    open();
}

void Connection::open() {
    if (gate_.draining)
        return refuse(Refusal::NoProxy, _("kiriha-gate: stopping"), EndCause::Stopped,
                      StatusMember{"", "destination_unavailable", "stopping"});
    const bool anyTried = !triedIds_.empty();
    ProxyPool::Choice choice;
    choice.miss = ProxyPool::Miss::NoMatch;
    if (int(triedIds_.size()) < gate_.tries && anotherWorthIt_)
        choice = gate_.pool.choose(host_, request_.to.host, triedIds_, gate_.now(), request_.want);
    inSession_ = inSession_ || choice.inSession;
    moved_ = moved_ || choice.moved;
    pick_ = choice.pick;
    if (!pick_) return missed(choice, anyTried);
    if (anyTried) ++gate_.metrics.failovers;
    triedIds_.push_back(pick_->id);
    gate_.book.set(address_, {pick_->id, request_.to.host, request_.to.shown(), request_.want.session});
    booked_ = true;
    upstream_info_ = home_.upstream(pick_->proxy);
    const bool toProxy = request_.kind == ClientRequest::Kind::Plain && upstream_info_.httpProxy;
    opening_ = gate_.now();
    if (toProxy && upstream_info_.address) return connectToProxy();
    easy_ = home_.takeEasy();
    if (!easy_ || !upstreamTransfer(easy_.get(), pick_->proxy, request_.to, toProxy, gate_.curl) ||
        !home_.loop().transfer(easy_.get(), [this](CURLcode r) { opened(r); })) {
        easy_.reset();
        return failed({Reason::Error, Fault::Ours, false});
    }
    ++gate_.metrics.opening;
    watch();
}

std::string Connection::wanted() const {
    const ProxyPool::Want& w = request_.want;
    std::string out;
    for (const std::string& c : w.countries) out += (out.empty() ? "country=" : ",") + c;
    if (w.least) out += (out.empty() ? "" : " ") + std::string("anonymity=") + std::string(anonymityName(*w.least));
    return out;
}

void Connection::missed(const ProxyPool::Choice& choice, bool anyTried) {
    const ProxyPool::Want& w = request_.want;
    const auto count = [&](Unmatched u) { ++gate_.metrics.unmatched[std::size_t(u)]; };
    if (choice.miss == ProxyPool::Miss::SessionLost) {
        count(Unmatched::StrictSession);
        const char* text = N_("session %s lost its proxy; it is strict: refused until it ends");
        return refuse(Refusal::SessionLost, format(_("kiriha-gate: %s"), format(_(text), w.session.c_str()).c_str()),
                      EndCause::Lost, StatusMember{"", "destination_unavailable", format(text, w.session.c_str())});
    }
    if (!anyTried) {
        if (choice.miss == ProxyPool::Miss::NoMatch && w.filters()) {
            count(w.countries.empty() ? Unmatched::Anonymity
                  : w.least           ? Unmatched::CountryAndAnonymity
                                      : Unmatched::Country);
            // TRANSLATORS: what the user name asked, as "country=JP anonymity=elite".
            const char* text = N_("no working proxy for %s");
            return refuse(Refusal::NoMatch, format(_("kiriha-gate: %s"), format(_(text), wanted().c_str()).c_str()),
                          EndCause::NoProxy, StatusMember{"", "destination_not_found", format(text, wanted().c_str())});
        }
        if (choice.miss == ProxyPool::Miss::NoMatch) {  // each that works rests for this site
            const char* text = N_("every working proxy rests for %s");
            const char* host = request_.to.host.c_str();
            return refuse(Refusal::NoMatch, format(_("kiriha-gate: %s"), format(_(text), host).c_str()),
                          EndCause::NoProxy, StatusMember{"", "destination_unavailable", format(text, host)});
        }
        if (!gate_.saidNoProxy.exchange(true)) gate_.err.say(_("no proxy works: clients are refused until one does"));
        return refuse(Refusal::NoProxy, _("kiriha-gate: no proxy of the pool works now"), EndCause::NoProxy,
                      StatusMember{"", "destination_unavailable", "no proxy of the pool works now"});
    }
    std::string each;  // proxy and reason, as the log names them
    for (const Tried& t : tried_) each += (each.empty() ? "" : "; ") + t.proxy + " " + t.why;
    // TRANSLATORS: the target, then each proxy tried with its reason ("socks5://1.2.3.4:1080 refused; ...").
    refuse(tried_.size() == 1 ? refusalFor(lastBlame_) : Refusal::AllFailed,
           format(_("kiriha-gate: no proxy reached %s: %s"), request_.to.shown().c_str(), each.c_str()),
           EndCause::Failed);
}

std::string Connection::status9209(std::optional<StatusMember> own) const {
    std::vector<StatusMember> members;
    for (const Tried& t : tried_) members.push_back({t.proxy, std::string(t.error), t.why});
    if (own) members.push_back(std::move(*own));
    return proxyStatus(members);
}

std::string Connection::disclosure() const {
    if (!gate_.disclose || !pick_) return "";
    const ProxyPool::Exit x = gate_.pool.exitOf(pick_->id);
    std::string exit;
    if (!x.address.empty()) exit += "address=" + sfString(x.address);
    if (x.country) exit += (exit.empty() ? "" : ", ") + std::string("country=") + sfString(*x.country);
    if (x.anonymity)
        exit += (exit.empty() ? "" : ", ") + std::string("anonymity=") + std::string(anonymityName(*x.anonymity));
    if (!request_.want.session.empty())
        exit += (exit.empty() ? "" : ", ") + std::string("session=") + sfString(request_.want.session);
    std::string out =
        "Proxy-Status: " + status9209(StatusMember{upstream_info_.shown, "", moved_ ? "session moved" : ""}) + "\r\n";
    return out + (exit.empty() ? "" : "X-Kiriha-Exit: " + exit + "\r\n");
}

void Connection::connectToProxy() {
    const sockaddr_storage& a = *upstream_info_.address;
    upstream_.reset(::socket(a.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (upstream_.get() < 0) return failed(blameFor(TransferFacts{CURLE_COULDNT_CONNECT, 0, errno}));
    if (::connect(upstream_.get(), reinterpret_cast<const sockaddr*>(&a), upstream_info_.addressLength) == 0)
        return connected();
    if (errno != EINPROGRESS) return failed(blameFor(TransferFacts{CURLE_COULDNT_CONNECT, 0, errno}));
    connecting_ = true;
    watch();
}

void Connection::connected() {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(upstream_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    connecting_ = false;
    if (error) return failed(blameFor(TransferFacts{CURLE_COULDNT_CONNECT, 0, error}));
    gate_.pool.served(pick_->id, gate_.now() - opening_);
    up_.to = upstream_.get();
    down_.from = upstream_.get();
    sendRequest();
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
    if (upstream_.get() < 0) return failed({Reason::Error, Fault::Ours, false});
    gate_.pool.served(pick_->id, gate_.now() - opening_);
    up_.to = upstream_.get();
    down_.from = upstream_.get();
    if (request_.kind == ClientRequest::Kind::Plain) return sendRequest();
    if (request_.kind == ClientRequest::Kind::Connect && gate_.disclose)
        down_.pending += "HTTP/1.1 200 Connection established\r\n" + disclosure() + "\r\n";
    else
        down_.pending += tunnelReady(request_.kind);
    up_.pending = std::move(in_);  // sent before the tunnel was there
    in_.clear();
    startRelay();
}

void Connection::sendRequest() {
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
    enter(Phase::Answer);
    lastMoved_ = phaseSince_;
    answer_.clear();
    pump();
}

void Connection::hold(const Blame& blame) {
    if (!pick_) return;
    if (blame.fault == Fault::Proxy) gate_.pool.failed(pick_->id);
    if (blame.fault == Fault::Maybe && gate_.pool.suspect(pick_->id, gate_.now()) && gate_.wakeOwner) gate_.wakeOwner();
}

void Connection::failed(const Blame& blame) {
    hold(blame);
    if (pick_) {
        tried_.push_back({upstream_info_.shown.empty() ? shownProxy(pick_->proxy) : upstream_info_.shown,
                          std::string(reasonName(blame.reason)), errorType(blame.reason)});
    }
    lastBlame_ = blame;
    connecting_ = false;
    if (!blame.another) anotherWorthIt_ = false;
    if (upstream_.get() >= 0) home_.loop().unwatch(upstream_.get(), &upstreamSide_);
    dropPipe(up_);
    upstream_.reset();
    up_ = Flow{};
    up_.from = client_.get();
    enter(Phase::Opening);
    open();
}

void Connection::refuse(Refusal why, const std::string& text, EndCause how, std::optional<StatusMember> own) {
    ++gate_.metrics.refused;
    enter(Phase::Refusing);
    down_.pending += refusalReply(request_.kind, why, text, status9209(std::move(own)));
    down_.eof = true;
    up_.reading = false;
    endOf_ = how;
    pump();
}

bool Connection::mayResend() const {
    return request_.whole && idempotent(request_.method);
}

void Connection::answerFailed(Reason reason, const char* text) {
    const Blame blame = blameForAnswer(reason);
    if (mayResend()) return failed(blame);
    // Sent once, and only once: the client is told, not the request sent again.
    hold(blame);
    tried_.push_back({upstream_info_.shown, std::string(reasonName(reason)), errorType(reason, true)});
    if (upstream_.get() >= 0) home_.loop().unwatch(upstream_.get(), &upstreamSide_);
    upstream_.reset();
    up_ = Flow{};
    const bool late = reason == Reason::IdleTimeout;
    // TRANSLATORS: the proxy, then what it did ("closed without an answer").
    refuse(late ? Refusal::Late : Refusal::AllFailed,
           format(_("kiriha-gate: %s %s"), upstream_info_.shown.c_str(), _(text)),
           late ? EndCause::Timeout : EndCause::Failed);
}

void Connection::readAnswer() {
    char buf[16384];
    for (;;) {
        const ssize_t n = ::recv(upstream_.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            const std::size_t from = answer_.size() >= 3 ? answer_.size() - 3 : 0;  // what came before held no end
            answer_.append(buf, std::size_t(n));
            lastMoved_ = gate_.now();
            if (cannotBeAnswer(answer_)) return answerFailed(Reason::NotAProxy, N_("answered with no HTTP answer"));
            if (const auto end = answer_.find("\r\n\r\n", from); end != std::string::npos) return answerCame(end);
            if (answer_.size() > kMaxRequest) return answerFailed(Reason::NotAProxy, N_("answered a head too large"));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return pump();
        if (n < 0 && errno == EINTR) continue;
        // Closed or reset before a whole head: nothing of an answer has reached the client.
        return answerFailed(Reason::Reset,
                            answer_.empty() ? N_("closed without an answer") : N_("closed in its answer"));
    }
}

void Connection::answerCame(std::size_t headEnd) {
    const std::optional<long> status = statusOf(answer_);
    if (!status) return answerFailed(Reason::NotAProxy, N_("answered with no HTTP answer"));
    // An HTTP proxy's own refusal may be the site's answer passed on: asked of another only when the request may be
    // sent twice, and a check says whether the proxy still works.
    if (upstream_info_.httpProxy)
        if (const auto reason = proxysOwnAnswer(*status, std::nullopt)) {
            if (mayResend()) return failed(blameForAnswer(*reason));
            hold(blameForAnswer(*reason));
        }
    down_.pending =
        closingHead(std::string_view(answer_).substr(0, headEnd + 4), disclosure()) + answer_.substr(headEnd + 4);
    answer_.clear();
    startRelay();
}

void Connection::startRelay() {
    gate_.budget.give(held_ - kTunnelDescriptors);  // no look-up any more
    held_ = kTunnelDescriptors;
    enter(Phase::Relay);
    lastMoved_ = gate_.now();
    ++gate_.metrics.tunnels;
    if (!up_.eof) up_.reading = true;
    down_.reading = true;
    pump();
}

Connection::Moved Connection::flush(Flow& f) {
    while (!f.pending.empty()) {
        const ssize_t n = ::send(f.to, f.pending.data(), f.pending.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return f.wantWrite = true, Moved::Ok;
            if (errno == EINTR) continue;
            return Moved::ToFailed;
        }
        f.pending.erase(0, std::size_t(n));
        f.moved += std::size_t(n);
        lastMoved_ = gate_.now();
    }
    while (f.inPipe > 0) {
        const ssize_t n =
            ::splice(f.pipe->read.get(), nullptr, f.to, nullptr, f.inPipe, SPLICE_F_NONBLOCK | SPLICE_F_MOVE);
        if (n < 0) {
            if (errno == EAGAIN) return f.wantWrite = true, Moved::Ok;
            if (errno == EINTR) continue;
            return Moved::ToFailed;
        }
        f.inPipe -= std::size_t(n);
        f.moved += std::size_t(n);
        lastMoved_ = gate_.now();
        if (f.inPipe == 0) dropPipe(f);
    }
    return Moved::Ok;
}

Connection::Moved Connection::fill(Flow& f) {
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
    const int error = errno;
    if (n <= 0 && f.pipe && f.inPipe == 0) dropPipe(f);
    if (n > 0) {
        if (f.budget) *f.budget -= std::uint64_t(n);
        // A short read from a buffer means the socket is drained for now. A splice into the pipe is asked again at
        // once: in a bulk transfer more has come by then, and waiting for epoll cost a fifth of the speed.
        f.drained = !f.pipe && std::size_t(n) < most;
        return Moved::Ok;
    }
    if (n == 0) {
        f.eof = true;
        return Moved::Ok;
    }
    if (error == EAGAIN || error == EWOULDBLOCK) return f.wantRead = true, Moved::Ok;
    return error == EINTR ? Moved::Ok : Moved::FromFailed;
}

Connection::Moved Connection::move(Flow& f) {
    f.wantRead = f.wantWrite = false;
    for (;;) {
        if (const Moved m = flush(f); m != Moved::Ok || f.wantWrite) return m;
        if (f.eof) {
            if (!f.shut && f.to >= 0 && f.halfClose) ::shutdown(f.to, SHUT_WR);  // the end of stream, passed on
            f.shut = true;
            return Moved::Ok;
        }
        if (!f.reading || f.from < 0) return Moved::Ok;
        if (f.drained) {
            f.drained = false;
            return f.wantRead = true, Moved::Ok;
        }
        if (f.budget && *f.budget == 0) {
            f.eof = true;
            continue;
        }
        if (const Moved m = fill(f); m != Moved::Ok || f.wantRead) return m;
    }
}

void Connection::pump() {
    if (phase_ == Phase::Done) return;
    if (phase_ == Phase::Answer || phase_ == Phase::Relay) {
        if (const Moved m = move(up_); m != Moved::Ok) {
            if (phase_ == Phase::Answer && m == Moved::ToFailed)
                return answerFailed(Reason::Reset, N_("the proxy reset"));
            resetBoth_ = phase_ == Phase::Relay;
            return end(phase_ == Phase::Relay ? EndCause::Reset : EndCause::Gone);
        }
    }
    if (move(down_) != Moved::Ok) {
        resetBoth_ = phase_ == Phase::Relay;
        return end(phase_ == Phase::Refusing ? endOf_ : EndCause::Reset);
    }
    if (phase_ == Phase::Refusing && down_.done()) return discard();
    if (phase_ == Phase::Relay && up_.done() && down_.done()) return end(EndCause::Closed);
    watch();
}

void Connection::watch() {
    if (phase_ == Phase::Done) return;
    std::uint32_t client = 0, upstream = 0;
    switch (phase_) {
        case Phase::Handshake:
            client = EPOLLIN | (down_.wantWrite ? EPOLLOUT : 0u);
            break;
        case Phase::Opening:
            client = (clientEnded_ || in_.size() >= kMaxRequest ? 0u : EPOLLIN) | (down_.wantWrite ? EPOLLOUT : 0u);
            upstream = connecting_ ? EPOLLOUT : 0u;
            break;
        case Phase::Answer:
            client = (up_.wantRead ? EPOLLIN : 0u) | (down_.wantWrite ? EPOLLOUT : 0u);
            upstream = EPOLLIN | (up_.wantWrite ? EPOLLOUT : 0u);
            break;
        case Phase::Relay:
            client = (up_.wantRead ? EPOLLIN : 0u) | (down_.wantWrite ? EPOLLOUT : 0u);
            upstream = (down_.wantRead ? EPOLLIN : 0u) | (up_.wantWrite ? EPOLLOUT : 0u);
            break;
        case Phase::Refusing:
            client = down_.done() ? EPOLLIN : (down_.wantWrite ? EPOLLOUT : 0u);
            break;
        case Phase::Done:
            return;
    }
    // A socket nothing is wanted of is out of epoll: its hang-up would otherwise wake the loop again and again. A
    // client awaiting its answer stays in, for the reset that says it left.
    const auto set = [&](int fd, std::uint32_t events, LoopSocket* side) {
        if (events == 0 && !(phase_ == Phase::Answer && side == &clientSide_))
            return home_.loop().unwatch(fd, side), true;
        return home_.loop().watch(fd, events, side);
    };
    if (!set(client_.get(), client, &clientSide_)) return end(EndCause::Error);
    if (upstream_.get() >= 0 && !set(upstream_.get(), upstream, &upstreamSide_)) return end(EndCause::Error);
}

std::string Connection::logLine(EndCause how) const {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(gate_.now() - started_).count();
    std::string line = "client=" + address_ + " target=" + (request_.to.host.empty() ? "-" : request_.to.shown()) +
                       " proxy=" + (pick_ ? upstream_info_.shown : (tried_.empty() ? "-" : tried_.back().proxy)) +
                       " tries=" + std::to_string(triedIds_.size()) + " up=" + std::to_string(up_.moved) +
                       " down=" + std::to_string(down_.moved) + " ms=" + std::to_string(ms) +
                       " end=" + std::string(endName(how));
    if (!request_.want.session.empty()) line += " session=" + request_.want.session + (moved_ ? " moved=1" : "");
    std::string why;
    for (const Tried& t : tried_) why += (why.empty() ? "" : ",") + t.why;
    if (!refusedWhy_.empty()) why = refusedWhy_;
    for (char& c : why)
        if (c == ' ') c = '-';
    return line + (why.empty() ? "" : " why=" + why) + "\n";
}

void Connection::end(EndCause how) {
    if (phase_ == Phase::Done) return;
    if (phase_ != Phase::Relay && phase_ != Phase::Refusing) ++gate_.metrics.refused;
    gate_.metrics.bytesUp += up_.moved;
    gate_.metrics.bytesDown += down_.moved;
    home_.log(logLine(how));
    enter(Phase::Done);
    home_.loop().unwatch(client_.get(), &clientSide_);
    if (upstream_.get() >= 0) home_.loop().unwatch(upstream_.get(), &upstreamSide_);
    if (easy_) {
        --gate_.metrics.opening;
        home_.loop().dropTransfer(easy_.get());
        easy_.reset();
    }
    if (resetBoth_) {  // a reset on one side reaches the other as one: a cut download never looks whole
        resetOnClose(client_.get());
        if (upstream_.get() >= 0) resetOnClose(upstream_.get());
    }
    client_.reset();
    upstream_.reset();
    home_.ended(this);
}

#include "engine/loops/CommandLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/rules/CurlOptions.h"
#include "engine/rules/Urls.h"
#include "sys/UniqueFd.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSweep = std::chrono::milliseconds(250);  // how often the idle limit is looked at
constexpr auto kBusyWindow = std::chrono::milliseconds(100);
// Checks that end within a few milliseconds are reported together: one wake-up of the owner for the lot.
constexpr auto kReportEvery = std::chrono::milliseconds(5);
constexpr long kNameKept = 60;  // seconds

long msSince(Clock::time_point start, Clock::time_point now) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count());
}

// What epoll hands back: a front-end's socket (its handler, whose address is even), or one of libcurl's (its
// descriptor, tagged odd).
std::uint64_t curlTag(curl_socket_t s) {
    return (std::uint64_t(unsigned(s)) << 1) | 1u;
}

}  // namespace

// One run's checks on this loop.
struct Session {
    Session(std::shared_ptr<const CheckPlan> p, CheckDriver::Reports r)
        : plan(std::move(p)),
          direct(plan->target.forDirect()),
          reports(std::move(r)),
          via(plan->target.sendVia ? curl_slist_append(nullptr, ("Via: " + std::string(kViaToken)).c_str()) : nullptr) {
    }
    std::shared_ptr<const CheckPlan> plan;
    const Target direct;  // for a check without a proxy
    CheckDriver::Reports reports;
    const HeaderList via;  // the forwarding header a judge is to echo back, where the target asks for one
    StopRequest stop;      // seen by every check's read rules
    std::atomic<bool> gone{false};
    std::vector<DriverReport> ended;  // not yet reported; the loop thread's
};

struct CommandLoop::Impl : LoopSocket {
    struct Check {
        Check(std::uint64_t i, std::shared_ptr<Session> s, bool isDirect, std::string scheme)
            : id(i),
              session(std::move(s)),
              rules(isDirect ? session->direct : session->plan->target, session->stop),
              scheme(std::move(scheme)) {}
        std::uint64_t id;
        std::shared_ptr<Session> session;
        ProbeRules rules;
        std::string scheme;
        CURL* easy = nullptr;
        CheckClock clock;
        std::uint64_t bytes = 0;
        std::optional<Decision> decided;  // by the read rules, before the transfer ended
        bool noSocket = false;
        curl_socket_t socket = CURL_SOCKET_BAD;      // the one to the proxy (or the page)
        std::optional<Clock::time_point> connected;  // when it was made: libcurl's timer waits for the tunnel
        const CheckLimits& limits() const { return session->plan->settings.limits; }
    };
    struct Start {
        std::shared_ptr<Session> session;
        std::uint64_t id;
        std::string proxy;
    };
    struct Tick {
        std::chrono::milliseconds period;
        Clock::time_point next;
        std::function<void()> run;
    };
    using Checks = std::unordered_map<CURL*, std::unique_ptr<Check>>;

    Impl()
        : epoll(UniqueFd::checked(::epoll_create1(EPOLL_CLOEXEC), "a check loop")),
          wake(UniqueFd::checked(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "a check loop")),
          multi(curl_multi_init()) {
        if (!multi) throw std::runtime_error("check loop: libcurl has no multi handle");
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = reinterpret_cast<std::uintptr_t>(static_cast<LoopSocket*>(this));
        if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &ev) != 0)
            throw std::system_error(errno, std::generic_category(), "a check loop");
        curl_multi_setopt(multi.get(), CURLMOPT_SOCKETFUNCTION, &Impl::onSocket);
        curl_multi_setopt(multi.get(), CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(multi.get(), CURLMOPT_TIMERFUNCTION, &Impl::onTimer);
        curl_multi_setopt(multi.get(), CURLMOPT_TIMERDATA, this);
        thread = std::thread([this] { run(); });
    }

    ~Impl() {
        quit = true;
        poke();
        thread.join();
        for (auto& [easy, check] : checks) release(*check, true);
        for (auto& [easy, done] : transfers) curl_multi_remove_handle(multi.get(), easy);
    }

    void poke() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake.get(), &one, sizeof one);
    }

    void queue(Start s) {
        bool first = false;
        {
            std::lock_guard lock(mutex);
            first = starts.empty() && posted.empty();
            starts.push_back(std::move(s));
            waiting.fetch_add(1);
        }
        if (first) poke();  // the thread takes everything queued when it wakes
    }

    void post(std::function<void()> f) {
        bool first = false;
        {
            std::lock_guard lock(mutex);
            first = starts.empty() && posted.empty();
            posted.push_back(std::move(f));
        }
        if (first) poke();
    }

    // The thread's side.
    void run() {
        auto windowStart = Clock::now();
        Clock::duration idle{};
        nextSweep = windowStart + kSweep;
        while (!quit) {
            auto now = Clock::now();
            auto until = std::min(nextSweep, windowStart + kBusyWindow);
            if (timerAt) until = std::min(until, *timerAt);
            if (!reportsWaiting.empty()) until = std::min(until, lastReport + kReportEvery);
            for (const Tick& t : ticks) until = std::min(until, t.next);
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
            serve(int(std::max<long>(wait, 0)), idle);
            now = Clock::now();
            if (now >= nextSweep) {
                // Whatever came meanwhile is read before anyone is judged idle: a long piece of work for one check
                // must not make another's bytes look late.
                Clock::duration ignored{};
                serve(0, ignored);
                sweep(Clock::now());
                nextSweep = Clock::now() + kSweep;
            }
            for (Tick& t : ticks)
                if (now >= t.next) {
                    t.next = now + t.period;
                    t.run();
                }
            now = Clock::now();
            if (now - windowStart >= kBusyWindow) {
                const double window = std::chrono::duration<double>(now - windowStart).count();
                busyShare.store(std::max(0.0, 1.0 - std::chrono::duration<double>(idle).count() / window));
                windowStart = now;
                idle = {};
            }
        }
    }

    // One wait of at most `waitMs`, and everything that came with it.
    void serve(int waitMs, Clock::duration& idle) {
        const auto before = Clock::now();
        const int n = ::epoll_wait(epoll.get(), events.data(), int(events.size()), waitMs);
        idle += Clock::now() - before;
        if (n < 0 && errno != EINTR) fail();  // nothing more can be watched: every check and transfer is ours to end
        unwatched.clear();
        int running = 0;
        for (int i = 0; i < n; ++i) {
            const epoll_event& e = events[std::size_t(i)];
            if (e.data.u64 & 1u) {
                int mask = 0;
                if (e.events & EPOLLIN) mask |= CURL_CSELECT_IN;
                if (e.events & EPOLLOUT) mask |= CURL_CSELECT_OUT;
                if (e.events & (EPOLLERR | EPOLLHUP)) mask |= CURL_CSELECT_ERR;
                act(curl_socket_t(e.data.u64 >> 1), mask, running);
            } else {
                auto* socket = reinterpret_cast<LoopSocket*>(std::uintptr_t(e.data.u64));
                if (!unwatched.contains(socket)) socket->onEvents(e.events);  // not gone earlier in this batch
            }
        }
        if (timerAt && Clock::now() >= *timerAt) {
            timerAt.reset();
            act(CURL_SOCKET_TIMEOUT, 0, running);
        }
        collectFinished();
        flushReports(false);
    }

    void act(curl_socket_t s, int mask, int& running) {
        const CURLMcode rc = curl_multi_socket_action(multi.get(), s, mask, &running);
        if (rc != CURLM_OK && rc != CURLM_BAD_SOCKET) fail();  // out of memory, or libcurl's own failure
    }

    // The waker: starts and posted work.
    void onEvents(std::uint32_t) override {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t r = ::read(wake.get(), &count, sizeof count);
        std::vector<Start> taken;
        std::vector<std::function<void()>> work;
        {
            std::lock_guard lock(mutex);
            taken.swap(starts);
            work.swap(posted);
            waiting.store(0);
        }
        for (Start& s : taken) add(s);
        for (auto& f : work) f();
    }

    void add(const Start& s) {
        const bool isDirect = s.proxy.empty();
        const ProxyText text = isDirect ? ProxyText{true, "", false} : readProxyText(s.proxy);
        auto check = std::make_unique<Check>(s.id, s.session, isDirect, text.scheme);
        if (s.session->gone) return;
        if (s.session->stop.stopRequested()) return report(*check, Verdict{ProbeOutcome::Aborted, Reason::Stopped});
        if (broken) return report(*check, Verdict{ProbeOutcome::Dead, Reason::Error});
        // A text libcurl cannot read, or one it would take for a local socket, is refused without a connection.
        if (!text.readable || text.unixSocket) return report(*check, Verdict{ProbeOutcome::Dead, Reason::Unsupported});
        CURL* h = curl_easy_init();
        if (!h) return report(*check, Verdict{ProbeOutcome::Dead, Reason::Error});
        check->easy = h;
        const Target& target = isDirect ? s.session->direct : s.session->plan->target;
        setCheckOptions(h, s.session->plan->settings, agent, s.proxy,
                        isDirect || (target.bypassLocal && isLocalHost(target.url)), target.url);
        if (s.session->via) curl_easy_setopt(h, CURLOPT_HTTPHEADER, s.session->via.get());
        // Every check stands alone: no connection kept between them. A proxy's name is looked up once a minute by
        // each loop, not once a check: sellers' lists repeat one gateway on many lines, and each look-up is a
        // thread. Addresses are not kept: libcurl 7.88 prunes the whole cache at every look-up, which costs more
        // than it saves over thousands of distinct entries.
        curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(h, CURLOPT_DNS_CACHE_TIMEOUT, namesAddress(s.proxy) ? 0L : kNameKept);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Impl::onBody);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, check.get());
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, check.get());
        curl_easy_setopt(h, CURLOPT_OPENSOCKETFUNCTION, &Impl::onOpenSocket);
        curl_easy_setopt(h, CURLOPT_OPENSOCKETDATA, check.get());
        if (curl_multi_add_handle(multi.get(), h) != CURLM_OK) {
            curl_easy_cleanup(h);
            check->easy = nullptr;
            return report(*check, Verdict{ProbeOutcome::Dead, Reason::Error});
        }
        checks.emplace(h, std::move(check));
    }

    void collectFinished() {
        // Every message first: removing a handle walks the queue.
        std::vector<std::pair<CURL*, CURLcode>> finished;
        int left = 0;
        while (CURLMsg* m = curl_multi_info_read(multi.get(), &left))
            if (m->msg == CURLMSG_DONE) finished.emplace_back(m->easy_handle, m->data.result);
        for (const auto& [easy, result] : finished) {
            if (const auto it = checks.find(easy); it != checks.end()) {
                const Check& c = *it->second;
                if (c.decided)
                    end(it, *c.decided);
                else
                    end(it, {ProbeRules::atEnd(), Reason::Error}, result);
            } else if (const auto t = transfers.find(easy); t != transfers.end()) {
                auto done = std::move(t->second);
                transfers.erase(t);
                done(result);
            }
        }
    }

    // The checks past a limit, those whose socket could not be watched, and the sessions stopped.
    void sweep(Clock::time_point now) {
        std::vector<std::pair<CURL*, Reason>> over;
        for (const auto& [easy, check] : checks)
            if (unwatchable.contains(easy))
                over.emplace_back(easy, Reason::Error);
            else if (const auto limit = limitPassed(check->clock, check->limits(), now))
                over.emplace_back(easy, *limit);
        for (const auto& [easy, reason] : over) end(checks.find(easy), {ProbeRules::atEnd(), reason});
        std::vector<CURL*> failed;
        for (CURL* easy : unwatchable)
            if (transfers.contains(easy)) failed.push_back(easy);
        unwatchable.clear();
        for (CURL* easy : failed) failTransfer(easy);
    }

    void failTransfer(CURL* easy) {
        const auto t = transfers.find(easy);
        if (t == transfers.end()) return;
        auto done = std::move(t->second);
        transfers.erase(t);
        curl_multi_remove_handle(multi.get(), easy);
        done(CURLE_FAILED_INIT);
    }

    // The loop can no longer serve: every check and transfer ends as a failure of ours, and new ones at once.
    void fail() {
        broken = true;
        while (!checks.empty()) end(checks.begin(), {ProbeOutcome::Dead, Reason::Error});
        while (!transfers.empty()) failTransfer(transfers.begin()->first);
        flushReports(true);
    }

    void stopSession(const std::shared_ptr<Session>& s) {
        std::vector<CURL*> mine;
        for (const auto& [easy, check] : checks)
            if (check->session == s) mine.push_back(easy);
        for (CURL* easy : mine) end(checks.find(easy), {ProbeOutcome::Aborted, Reason::Stopped});
        flushReports(true);
    }

    void dropSession(const std::shared_ptr<Session>& s) {
        for (auto it = checks.begin(); it != checks.end();) {
            if (it->second->session == s) {
                release(*it->second, true);
                it = checks.erase(it);
            } else {
                ++it;
            }
        }
        s->ended.clear();
    }

    // A check over: decided by the rules, or, with `result`, by the transfer's end. What the transfer found out is
    // read here, once, before it is gone.
    void end(Checks::iterator it, Decision d, std::optional<CURLcode> result = std::nullopt) {
        std::unique_ptr<Check> check = std::move(it->second);
        checks.erase(it);
        Verdict verdict{d.outcome, d.reason};
        if (check->easy && result)
            readTransfer(check->easy, *result, check->clock.any, verdict);
        else if (check->easy)
            readTimers(check->easy, verdict);
        if (result == CURLE_OK)  // the page came whole: an echo or a digest may decide
            if (const auto whole = check->rules.atWholePage(verdict)) {
                verdict.outcome = whole->outcome;
                verdict.reason = whole->reason;
            }
        const Target& target = check->session->plan->target;
        if (char* ip = nullptr; target.countries && check->easy &&
                                curl_easy_getinfo(check->easy, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip)
            verdict.proxyIp = ip;                    // where the proxy is, for a country database only
        // A CONNECT or SOCKS handshake refused: libcurl has no connect time. An answer that came within the call
        // that sent the request was never waited for on the socket: its own time bounds the connection's.
        if (!verdict.connectMs && (check->connected || verdict.httpStatus))
            verdict.connectMs = msSince(check->clock.started, check->connected.value_or(Clock::now()));
        check->rules.finish(verdict);
        release(*check, verdict.outcome == ProbeOutcome::Aborted);
        report(*check, std::move(verdict));
    }

    void release(Check& c, bool givenUp) {
        if (!c.easy) return;
        // A check given up must not wait for a name look-up still running.
        if (givenUp) curl_easy_setopt(c.easy, CURLOPT_QUICK_EXIT, 1L);
        curl_multi_remove_handle(multi.get(), c.easy);
        curl_easy_cleanup(c.easy);
        unwatchable.erase(c.easy);
        c.easy = nullptr;
    }

    void report(const Check& c, Verdict verdict) {
        verdict.bytes = c.bytes;
        verdict.scheme = c.scheme;
        // A check's own time: what it spent past its limit was the loop's lateness in seeing it, not the proxy's.
        verdict.totalMs = std::min(msSince(c.clock.started, Clock::now()), long(c.limits().total.count()));
        const bool noSocket = c.noSocket && verdict.outcome != ProbeOutcome::Working;
        if (c.session->ended.empty()) reportsWaiting.push_back(c.session);
        c.session->ended.push_back({c.id, std::move(verdict), noSocket});
    }

    void flushReports(bool now) {
        if (reportsWaiting.empty() || (!now && Clock::now() < lastReport + kReportEvery)) return;
        for (const auto& s : std::exchange(reportsWaiting, {})) {
            auto batch = std::exchange(s->ended, {});
            if (!s->gone && !batch.empty()) s->reports(std::move(batch));
        }
        lastReport = Clock::now();
    }

    static int onSocket(CURL* easy, curl_socket_t s, int what, void* self, void* assigned) {
        auto* loop = static_cast<Impl*>(self);
        if (what == CURL_POLL_REMOVE) {
            ::epoll_ctl(loop->epoll.get(), EPOLL_CTL_DEL, s, nullptr);
            return 0;
        }
        epoll_event ev{};
        ev.events = (what & CURL_POLL_IN ? EPOLLIN : 0u) | (what & CURL_POLL_OUT ? EPOLLOUT : 0u);
        ev.data.u64 = curlTag(s);
        // Known to libcurl as ours once added: changed from then on.
        if (::epoll_ctl(loop->epoll.get(), assigned ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, s, &ev) != 0) {
            // Unwatched, it would wait for its idle limit and blame the proxy: it ends at the next sweep as a
            // failure of ours.
            loop->unwatchable.insert(easy);
            loop->nextSweep = Clock::now();
            return 0;
        }
        if (!assigned) curl_multi_assign(loop->multi.get(), s, loop);
        // Reading on its own socket: the connection is made and the request is out.
        if (const auto it = loop->checks.find(easy); it != loop->checks.end()) {
            Check& check = *it->second;
            if (s == check.socket && (what & CURL_POLL_IN) && !check.connected) check.connected = Clock::now();
        }
        return 0;
    }

    static int onTimer(CURLM*, long ms, void* self) {
        auto* loop = static_cast<Impl*>(self);
        if (ms < 0)
            loop->timerAt.reset();
        else
            loop->timerAt = Clock::now() + std::chrono::milliseconds(ms);
        return 0;
    }

    static std::size_t onBody(char* data, std::size_t, std::size_t n, void* self) {
        auto* c = static_cast<Check*>(self);
        c->clock.received(Clock::now());
        c->bytes += n;
        if ((c->decided = c->rules.afterRead(std::string_view(data, n)))) return 0;  // decided: the transfer ends
        return n;
    }

    static std::size_t onHeader(char* data, std::size_t, std::size_t n, void* self) {
        auto* c = static_cast<Check*>(self);
        c->clock.received(Clock::now());
        long status = 0;
        if (endsFinalHeaders(c->easy, std::string_view(data, n), status) &&
            (c->decided = c->rules.afterHeaders(status)))
            return 0;  // the proxy answered for itself: no need of the page
        return n;
    }

    static curl_socket_t onOpenSocket(void* self, curlsocktype, curl_sockaddr* address) {
        const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        auto* check = static_cast<Check*>(self);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE)) check->noSocket = true;
        if (fd >= 0) check->socket = fd;
        return fd < 0 ? CURL_SOCKET_BAD : fd;
    }

    const std::string agent{kProbeAgent};
    UniqueFd epoll;
    UniqueFd wake;
    MultiHandle multi;
    std::vector<epoll_event> events = std::vector<epoll_event>(512);
    Checks checks;                                                       // the thread's own
    std::unordered_map<CURL*, std::function<void(CURLcode)>> transfers;  // likewise
    std::unordered_set<CURL*> unwatchable;                               // a socket of it could not be watched
    std::unordered_set<LoopSocket*> unwatched;                           // gone in the batch being served
    std::vector<std::shared_ptr<Session>> reportsWaiting;                // sessions with checks ended
    std::vector<Tick> ticks;
    Clock::time_point lastReport;
    std::optional<Clock::time_point> timerAt;  // when libcurl wants its timeout action
    Clock::time_point nextSweep;
    bool broken = false;
    std::atomic<bool> quit{false};
    std::atomic<std::size_t> waiting{0};
    std::atomic<double> busyShare{0};
    std::mutex mutex;
    std::vector<Start> starts;
    std::vector<std::function<void()>> posted;
    std::thread thread;
};

namespace {

class SessionDriver final : public CheckDriver {
  public:
    SessionDriver(CommandLoop::Impl& loop, std::shared_ptr<Session> session)
        : loop_(loop), session_(std::move(session)) {}
    ~SessionDriver() override {
        session_->gone = true;
        loop_.post([&loop = loop_, s = session_] { loop.dropSession(s); });
    }
    void start(std::uint64_t id, std::string proxy) override { loop_.queue({session_, id, std::move(proxy)}); }
    void stopAll() override {
        session_->stop.requestStop();
        loop_.post([&loop = loop_, s = session_] { loop.stopSession(s); });
    }
    std::size_t backlog() const override { return loop_.waiting.load(); }
    double busy() const override { return loop_.busyShare.load(); }

  private:
    CommandLoop::Impl& loop_;
    std::shared_ptr<Session> session_;
};

}  // namespace

CommandLoop::CommandLoop() : impl_(std::make_unique<Impl>()) {}

CommandLoop::~CommandLoop() = default;

std::unique_ptr<CheckDriver> CommandLoop::checks(std::shared_ptr<const CheckPlan> plan, CheckDriver::Reports reports) {
    return std::make_unique<SessionDriver>(*impl_, std::make_shared<Session>(std::move(plan), std::move(reports)));
}

void CommandLoop::post(std::function<void()> f) {
    impl_->post(std::move(f));
}

bool CommandLoop::watch(int fd, std::uint32_t events, LoopSocket* socket) {
    if (socket->watching_ == events) return true;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = reinterpret_cast<std::uintptr_t>(socket);
    impl_->unwatched.erase(socket);
    const bool added = socket->watching_ == LoopSocket::kUnwatched;
    if (::epoll_ctl(impl_->epoll.get(), added ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev) != 0) return false;
    socket->watching_ = events;
    return true;
}

void CommandLoop::unwatch(int fd, LoopSocket* socket) {
    epoll_event ev{};
    if (socket->watching_ != LoopSocket::kUnwatched) ::epoll_ctl(impl_->epoll.get(), EPOLL_CTL_DEL, fd, &ev);
    socket->watching_ = LoopSocket::kUnwatched;
    impl_->unwatched.insert(socket);
}

bool CommandLoop::transfer(CURL* easy, std::function<void(CURLcode)> done) {
    if (impl_->broken || curl_multi_add_handle(impl_->multi.get(), easy) != CURLM_OK) return false;
    impl_->transfers.emplace(easy, std::move(done));
    return true;
}

void CommandLoop::dropTransfer(CURL* easy) {
    impl_->transfers.erase(easy);
    impl_->unwatchable.erase(easy);
    curl_multi_remove_handle(impl_->multi.get(), easy);
}

void CommandLoop::every(std::chrono::milliseconds period, std::function<void()> tick) {
    // Joined on the loop's thread, which walks the ticks: callable from the owner's thread before it serves.
    post([this, period, tick = std::move(tick)]() mutable {
        impl_->ticks.push_back({period, Clock::now() + period, std::move(tick)});
    });
}

std::size_t CommandLoop::backlog() const {
    return impl_->waiting.load();
}

double CommandLoop::busy() const {
    return impl_->busyShare.load();
}

LoopPool::LoopPool(int count) {
    for (int i = 0; i < std::max(count, 1); ++i) loops_.push_back(std::make_unique<CommandLoop>());
}

DriverFactory LoopPool::drivers() {
    return [this](std::shared_ptr<const CheckPlan> plan, CheckDriver::Reports reports) {
        return loops_[next_++ % loops_.size()]->checks(std::move(plan), std::move(reports));
    };
}

#include "engine/loops/CommandLoop.h"

#include <curl/curl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

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

}  // namespace

struct CommandLoop::Impl {
    struct Check {
        Check(std::uint64_t i, const Target& target, const StopRequest& stop, std::string scheme)
            : id(i), rules(target, stop), scheme(std::move(scheme)) {}
        std::uint64_t id;
        ProbeRules rules;
        std::string scheme;
        CURL* easy = nullptr;
        CheckClock clock;
        std::uint64_t bytes = 0;
        std::optional<Decision> decided;  // by the read rules, before the transfer ended
        bool noSocket = false;
        curl_socket_t socket = CURL_SOCKET_BAD;      // the one to the proxy (or the page)
        std::optional<Clock::time_point> connected;  // when it was made: libcurl's timer waits for the tunnel
        bool unwatched = false;  // a socket of it could not be watched: our failure, not the proxy's
    };
    struct Start {
        std::uint64_t id;
        std::string proxy;
    };

    Impl(Target t, CheckSettings s, Reports d, WatchSocket w)
        : target(std::move(t)),
          settings(std::move(s)),
          done(std::move(d)),
          watchSocket(w ? std::move(w)
                        : [](int epfd, int op, int fd, epoll_event* e) { return ::epoll_ctl(epfd, op, fd, e); }),
          epoll(UniqueFd::checked(::epoll_create1(EPOLL_CLOEXEC), "a check loop")),
          wake(UniqueFd::checked(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "a check loop")),
          multi(curl_multi_init()) {
        if (!multi) throw std::runtime_error("check loop: libcurl has no multi handle");
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = wake.get();
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
    }

    void poke() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake.get(), &one, sizeof one);
    }

    // The thread's side.
    void run() {
        std::vector<epoll_event> events(512);
        auto windowStart = Clock::now();
        Clock::duration idle{};
        nextSweep = windowStart + kSweep;
        while (!quit) {
            auto now = Clock::now();
            auto until = std::min(nextSweep, windowStart + kBusyWindow);
            if (timerAt) until = std::min(until, *timerAt);
            if (!ended.empty()) until = std::min(until, lastReport + kReportEvery);
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
            const int n = ::epoll_wait(epoll.get(), events.data(), int(events.size()), int(std::max<long>(wait, 0)));
            const auto woke = Clock::now();
            idle += woke - now;
            int running = 0;
            for (int i = 0; i < n; ++i) {
                const epoll_event& e = events[std::size_t(i)];
                if (e.data.fd == wake.get()) {
                    std::uint64_t count = 0;
                    [[maybe_unused]] const ssize_t r = ::read(wake.get(), &count, sizeof count);
                    takeStarts();
                    continue;
                }
                int mask = 0;
                if (e.events & EPOLLIN) mask |= CURL_CSELECT_IN;
                if (e.events & EPOLLOUT) mask |= CURL_CSELECT_OUT;
                if (e.events & (EPOLLERR | EPOLLHUP)) mask |= CURL_CSELECT_ERR;
                curl_multi_socket_action(multi.get(), e.data.fd, mask, &running);
            }
            if (timerAt && Clock::now() >= *timerAt) {
                timerAt.reset();
                curl_multi_socket_action(multi.get(), CURL_SOCKET_TIMEOUT, 0, &running);
            }
            if (stopping) abortAll();
            collectFinished();
            if (!ended.empty() && (stopping || Clock::now() >= lastReport + kReportEvery)) {
                done(std::exchange(ended, {}));
                lastReport = Clock::now();
            }
            now = Clock::now();
            if (now >= nextSweep) {
                sweep(now);
                nextSweep = now + kSweep;
            }
            if (now - windowStart >= kBusyWindow) {
                const double window = std::chrono::duration<double>(now - windowStart).count();
                busyShare.store(1.0 - std::chrono::duration<double>(idle).count() / window);
                windowStart = now;
                idle = {};
            }
        }
    }

    void takeStarts() {
        std::vector<Start> starts;
        {
            std::lock_guard lock(mutex);
            starts.swap(queued);
            waiting.store(0);
        }
        for (Start& s : starts) add(s);
    }

    void add(const Start& s) {
        const ProxyText text = s.proxy.empty() ? ProxyText{true, "", false} : readProxyText(s.proxy);  // "": direct
        auto check = std::make_unique<Check>(s.id, target, stop, text.scheme);
        if (stopping) return report(*check, Verdict{ProbeOutcome::Aborted, Reason::Stopped});
        // A text libcurl cannot read, or one it would take for a local socket, is refused without a connection.
        if (!text.readable || text.unixSocket) return report(*check, Verdict{ProbeOutcome::Dead, Reason::Unsupported});
        CURL* h = curl_easy_init();
        if (!h) return report(*check, Verdict{ProbeOutcome::Dead, Reason::Error});
        check->easy = h;
        setCheckOptions(h, settings, agent, s.proxy, direct, target.url);
        if (via) curl_easy_setopt(h, CURLOPT_HTTPHEADER, via.get());
        // Every check stands alone: no connection kept between them. A proxy's name is looked up once a minute by
        // each loop, not once a check: sellers' lists repeat one gateway on many lines, and each look-up is a
        // thread. Addresses are not kept: libcurl 7.88 prunes the whole cache at every look-up, which costs more
        // than it saves over thousands of distinct entries.
        curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(h, CURLOPT_DNS_CACHE_TIMEOUT, namesAddress(s.proxy) ? 0L : kNameKept);
        curl_easy_setopt(h, CURLOPT_PRIVATE, check.get());
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
            const auto it = checks.find(easy);
            if (it == checks.end()) continue;
            const Check& c = *it->second;
            if (c.decided)
                end(it, *c.decided);
            else
                end(it, {ProbeRules::atEnd(), Reason::Error}, result);
        }
    }

    // The checks past a limit, and those whose socket could not be watched.
    void sweep(Clock::time_point now) {
        std::vector<std::pair<CURL*, Reason>> over;
        for (const auto& [easy, check] : checks)
            if (check->unwatched)
                over.emplace_back(easy, Reason::Error);
            else if (const auto limit = limitPassed(check->clock, settings.limits, now))
                over.emplace_back(easy, *limit);
        for (const auto& [easy, reason] : over) end(checks.find(easy), {ProbeRules::atEnd(), reason});
    }

    void abortAll() {
        while (!checks.empty()) end(checks.begin(), {ProbeOutcome::Aborted, Reason::Stopped});
    }

    // A check over: decided by the rules, or, with `result`, by the transfer's end. What the transfer found out is
    // read here, once, before it is gone.
    void end(std::unordered_map<CURL*, std::unique_ptr<Check>>::iterator it, Decision d,
             std::optional<CURLcode> result = std::nullopt) {
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
        if (char* ip = nullptr; target.countries && check->easy &&
                                curl_easy_getinfo(check->easy, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip)
            verdict.proxyIp = ip;                    // where the proxy is, for a country database only
        if (!verdict.connectMs && check->connected)  // a CONNECT or SOCKS handshake refused
            verdict.connectMs =
                long(std::chrono::duration_cast<std::chrono::milliseconds>(*check->connected - check->clock.started)
                         .count());
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
        c.easy = nullptr;
    }

    void report(const Check& c, Verdict verdict) {
        verdict.bytes = c.bytes;
        verdict.scheme = c.scheme;
        verdict.totalMs =
            long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - c.clock.started).count());
        const bool noSocket = c.noSocket && verdict.outcome != ProbeOutcome::Working;
        ended.push_back({c.id, std::move(verdict), noSocket});
    }

    static int onSocket(CURL* easy, curl_socket_t s, int what, void* self, void* assigned) {
        auto* loop = static_cast<Impl*>(self);
        if (what == CURL_POLL_REMOVE) {
            loop->watchSocket(loop->epoll.get(), EPOLL_CTL_DEL, s, nullptr);
            return 0;
        }
        epoll_event ev{};
        ev.events = (what & CURL_POLL_IN ? EPOLLIN : 0u) | (what & CURL_POLL_OUT ? EPOLLOUT : 0u);
        ev.data.fd = s;
        if (loop->watchSocket(loop->epoll.get(), assigned ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, s, &ev) != 0) {
            // Unwatched, the check would wait for its idle limit and blame the proxy: it ends at the next sweep as
            // a failure of ours.
            Check* check = nullptr;
            curl_easy_getinfo(easy, CURLINFO_PRIVATE, &check);
            if (check) check->unwatched = true;
            loop->nextSweep = Clock::now();
            return 0;
        }
        if (!assigned) curl_multi_assign(loop->multi.get(), s, loop);
        // Reading on its own socket: the connection is made and the request is out.
        Check* check = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &check);
        if (check && s == check->socket && (what & CURL_POLL_IN) && !check->connected) check->connected = Clock::now();
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

    Target target;
    CheckSettings settings;
    Reports done;
    WatchSocket watchSocket;
    const std::string agent{kProbeAgent};
    // The "<local>" bypass, decided once: every check has one target.
    const bool direct = target.bypassLocal && isLocalHost(target.url);
    UniqueFd epoll;
    UniqueFd wake;
    MultiHandle multi;
    // The forwarding header a judge is to echo back, where the target asks for one.
    const HeaderList via{target.sendVia ? curl_slist_append(nullptr, "Via: 1.1 kiriha-check") : nullptr};
    StopRequest stop;                                          // seen by every check's read rules
    std::unordered_map<CURL*, std::unique_ptr<Check>> checks;  // the thread's own
    std::vector<DriverReport> ended;                           // not yet reported
    Clock::time_point lastReport;
    std::optional<Clock::time_point> timerAt;  // when libcurl wants its timeout action
    Clock::time_point nextSweep;
    std::atomic<bool> stopping{false};
    std::atomic<bool> quit{false};
    std::atomic<std::size_t> waiting{0};
    std::atomic<double> busyShare{0};
    std::mutex mutex;
    std::vector<Start> queued;
    std::thread thread;
};

CommandLoop::CommandLoop(Target target, CheckSettings settings, Reports done, WatchSocket watch)
    : impl_(std::make_unique<Impl>(std::move(target), std::move(settings), std::move(done), std::move(watch))) {}

CommandLoop::~CommandLoop() = default;

void CommandLoop::start(std::uint64_t id, std::string proxy) {
    bool first = false;
    {
        std::lock_guard lock(impl_->mutex);
        first = impl_->queued.empty();
        impl_->queued.push_back({id, std::move(proxy)});
        impl_->waiting.fetch_add(1);
    }
    if (first) impl_->poke();  // the thread takes every start queued when it wakes
}

void CommandLoop::stopAll() {
    impl_->stop.requestStop();
    impl_->stopping = true;
    impl_->poke();
}

std::size_t CommandLoop::backlog() const {
    return impl_->waiting.load();
}
double CommandLoop::busy() const {
    return impl_->busyShare.load();
}

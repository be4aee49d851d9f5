#include "gate/GateCommand.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <system_error>
#include <thread>

#include "cli/EventLoop.h"
#include "cli/ExitStatus.h"
#include "cli/Messages.h"
#include "cli/Output.h"
#include "cli/RunSetup.h"
#include "engine/loops/CommandLoop.h"
#include "engine/loops/DriveRun.h"
#include "engine/rules/CountryDb.h"
#include "engine/rules/ProcessSetup.h"
#include "gate/LoopGate.h"
#include "gate/Rounds.h"
#include "gate/StatusPage.h"
#include "kiriha/Version.h"
#include "lists/ProxyLines.h"
#include "sys/WriteAll.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace exitstatus;
constexpr auto kSettle = std::chrono::milliseconds(200);     // a list edited is read once the editor is done with it
constexpr long kChecksShare = 8;                             // of the descriptors, the rounds' share
constexpr auto kLastWords = std::chrono::milliseconds(300);  // for the log after a second signal

bool isLoopback(const sockaddr* a) {
    if (a->sa_family == AF_INET) return (ntohl(reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr) >> 24) == 127;
    const auto& six = reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr;
    return a->sa_family == AF_INET6 &&
           (IN6_IS_ADDR_LOOPBACK(&six) || (IN6_IS_ADDR_V4MAPPED(&six) && six.s6_addr[12] == 127));
}

// The sockets to listen on for HOST:PORT, one a loop (the system spreads the clients over them); or why not. The port
// is first bound alone, so that one another program (or another gate) holds is refused, never shared; with
// `loopbackOnly`, every address the name stands for must be loopback.
std::string listenSockets(const std::string& address, std::size_t loops, std::vector<std::vector<UniqueFd>>& out,
                          bool loopbackOnly) {
    const auto colon = address.rfind(':');
    std::string host = address.substr(0, colon);
    const std::string port = address.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0)
        return format(_("cannot listen on %s: %s"), address.c_str(), ::gai_strerror(rc));
    std::string error;
    const int one = 1;
    for (const addrinfo* a = found; a && error.empty(); a = a->ai_next) {
        if (loopbackOnly && !isLoopback(a->ai_addr)) {
            error = format(_("listening on %s needs --auth or --auth-file: it names an address that is not loopback"),
                           address.c_str());
            break;
        }
        const UniqueFd alone(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (alone.get() >= 0) {
            ::setsockopt(alone.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            if (a->ai_family == AF_INET6) ::setsockopt(alone.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        }
        if (alone.get() < 0 || ::bind(alone.get(), a->ai_addr, a->ai_addrlen) != 0) {
            error = format(_("cannot listen on %s: %s"), address.c_str(), std::strerror(errno));
            break;
        }
    }
    for (const addrinfo* a = found; a && error.empty(); a = a->ai_next) {
        for (std::size_t i = 0; i < loops; ++i) {
            UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
            if (fd.get() >= 0) {
                ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
                ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
                if (a->ai_family == AF_INET6) ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
            }
            if (fd.get() < 0 || ::bind(fd.get(), a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd.get(), 4096) != 0) {
                error = format(_("cannot listen on %s: %s"), address.c_str(), std::strerror(errno));
                break;
            }
            out[i].push_back(std::move(fd));
        }
    }
    ::freeaddrinfo(found);
    return error;
}

// Whatever a list is, it is never waited on: a FIFO or a device is refused (its reader would block), a file read.
std::string notAList(const std::string& file) {
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
    if (!S_ISREG(st.st_mode)) return _("not a regular file (the lists are read again when they change)");
    return {};
}

// Watches the folders of the lists for the lists being written or replaced, and, for a list that is a symbolic link,
// the folder of the file it names.
struct ListWatch {
    UniqueFd fd{::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
    std::map<int, std::set<std::string>> names;  // by watch: the file names in that folder
    explicit ListWatch(const std::vector<std::string>& files) {
        for (const std::string& f : files) {
            std::vector<std::filesystem::path> paths{std::filesystem::absolute(f)};
            std::error_code ec;
            if (std::filesystem::is_symlink(paths[0], ec))
                if (const auto target = std::filesystem::canonical(paths[0], ec); !ec) paths.push_back(target);
            for (const auto& p : paths) {
                const int wd = fd.get() < 0 ? -1
                                            : ::inotify_add_watch(
                                                  fd.get(), p.parent_path().c_str(),
                                                  IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_ATTRIB);
                if (wd >= 0) names[wd].insert(p.filename().string());
            }
        }
    }
    // True when something happened to a list.
    bool read() {
        alignas(inotify_event) char buf[8192];
        bool touched = false;
        for (ssize_t n; (n = ::read(fd.get(), buf, sizeof buf)) > 0;)
            for (char* at = buf; at < buf + n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(at);
                if (e->len && names.contains(e->wd) && names[e->wd].contains(e->name)) touched = true;
                at += sizeof(inotify_event) + e->len;
            }
        return touched;
    }
};

void notify(const std::string& state) {
    sd_notify(0, state.c_str());
}

}  // namespace

int GateCommand::usageError(const std::string& error) {
    err_.say(error);
    err_.write(format(_("Try '%s --help' for more information.\n"), kGateName));
    return kTrouble;
}

int GateCommand::execute() {
    ParsedGateArguments parsed = parseGateArguments(args_);
    if (!parsed.error.empty()) return usageError(parsed.error);
    options_ = std::move(parsed.options);
    if (options_.help || options_.version) {
        if (const int error = writeAll(1, options_.help ? gateHelpText() : versionText(kGateName))) {
            err_.say(format(_("write error: %s"), std::strerror(error)));
            return kTrouble;
        }
        return kWorking;
    }
    try {
        return serve();
    } catch (const std::system_error& e) {
        err_.say(format(_("cannot serve: %s"), e.what()));
        if (e.code() == std::errc::too_many_files_open) err_.say(starvedMessage());
        return kTrouble;
    } catch (const std::exception& e) {
        err_.say(format(_("cannot serve: %s"), e.what()));
        return kTrouble;
    }
}

bool GateCommand::readProxies(std::vector<std::string>& texts) {
    for (const std::string& file : options_.files)
        if (const std::string why = notAList(file); !why.empty()) {
            err_.say(format(_("%s: %s"), shownName(file).c_str(), why.c_str()));
            return false;
        }
    ProxyLines lines;
    if (!readLists(options_.files, lines, err_)) return false;
    texts.clear();
    while (const auto line = lines.next()) texts.emplace_back(*line);
    return true;
}

std::shared_ptr<const Access> GateCommand::readAccess() {
    if (options_.auth) return std::make_shared<const Access>(std::vector<std::string>{*options_.auth});
    if (!options_.authFile) return std::make_shared<const Access>();
    std::ifstream in(*options_.authFile, std::ios::binary);
    if (!in) {
        err_.say(format(_("--auth-file: %s: %s"), shownName(*options_.authFile).c_str(), std::strerror(errno)));
        return nullptr;
    }
    std::vector<std::string> credentials;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line.find(':') == std::string::npos || line.front() == ':') {
            err_.say(
                format(_("--auth-file: %s: a line that is no USER:PASSWORD"), shownName(*options_.authFile).c_str()));
            return nullptr;
        }
        credentials.push_back(line);
    }
    if (credentials.empty()) {
        err_.say(format(_("--auth-file: %s: no credentials in it"), shownName(*options_.authFile).c_str()));
        return nullptr;
    }
    return std::make_shared<const Access>(std::move(credentials));
}

// Everything a serving gate holds, in the order its threads need it: what they use is made before them and goes
// after them.
struct GateCommand::Serving {
    Serving(const GateOptions& o, Diagnostics& err, OutputWriter& log, int cores)
        : pool({o.rotation == GateOptions::Rotation::Each     ? ProxyPool::Rotation::Each
                : o.rotation == GateOptions::Rotation::Random ? ProxyPool::Rotation::Random
                                                              : ProxyPool::Rotation::Fastest,
                o.sticky, o.maxErrors, std::chrono::seconds(30), o.sessionIdle, std::size_t(o.maxSessions)}),
          gate(pool, err, log),
          loops(cores) {}
    ProxyPool pool;
    Gate gate;
    std::vector<std::unique_ptr<LoopGate>> gates;
    LoopPool loops;
    std::unique_ptr<StatusPage> status;
    std::unique_ptr<CommandLoop> statusLoop;  // a loop of its own: a page of a large pool never stalls a tunnel
    // What the signals asked, kept here: a signal during the drain still finds them.
    int signals = 0;
    bool reload = false;
};

int GateCommand::serve() {
    const GateOptions& o = options_;
    RunFiles files = openRunFiles(o.run, err_);
    if (!files.error.empty()) {
        if (files.usage) return usageError(files.error);
        err_.say(files.error);
        return kTrouble;
    }
    if (!files.countries && !o.run.geoip) {  // a client may ask for a country: one in the usual places serves
        CountryChoice found = chooseCountryDb(std::nullopt, true);
        for (const CountryDbProblem& p : found.skipped) err_.say(skippedText(p));
        files.countries = std::move(found.db);
    }
    std::vector<std::string> texts;
    if (!readProxies(texts)) return kTrouble;
    std::shared_ptr<const Access> access = readAccess();
    if (!access) return kTrouble;

    ::signal(SIGPIPE, SIG_IGN);  // a tunnel's peer gone is a failed write, not the end of the gate
    const ProcessSetup setup;
    EventLoop loop({SIGHUP});
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    // The log: a line per client connection, written by a thread of its own.
    UniqueFd logFile;
    if (o.log) {
        logFile.reset(::open(o.log->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640));
        if (logFile.get() < 0) {
            err_.say(format(_("--log: %s: %s"), shownName(*o.log).c_str(), std::strerror(errno)));
            return kTrouble;
        }
    }
    std::atomic<bool> saidLog{false};
    OutputWriter log(o.log ? logFile.get() : 2, [&](int error) {
        if (!saidLog.exchange(true)) err_.say(format(_("log: write error: %s"), std::strerror(error)));
    });

    Serving s(o, err_, log, cores);
    CommandRunConfig config = runConfig(o.run, files.countries, s.loops.drivers(), cores);
    s.gate.curl = config.curl;
    s.gate.tries = o.tries;
    s.gate.idle = o.idle;
    s.gate.can = {config.target.countries != nullptr, o.run.judge.has_value()};
    s.gate.disclose = o.disclose;
    s.gate.setAccess(access);
    s.gate.wakeOwner = [post = loop.poster()] { post([] {}); };
    if (!listen(s, !access->required())) return kTrouble;
    // Counted once the loops and the sockets are there: a share for the rounds' checks, the rest for the clients.
    const long descriptors = long(std::min<std::size_t>(descriptorsForChecks(), 1L << 40));
    config.descriptors = std::size_t(std::max(16L, descriptors / kChecksShare));
    s.gate.budget.set(descriptors - long(config.descriptors));

    s.pool.update(texts);
    Rounds rounds(config, o.run.preflight, o.recheck, s.pool, loop.poster(), err_, [&] { said(s); });
    std::string listening;
    for (const std::string& a : o.listen) listening += (listening.empty() ? "" : ", ") + a;
    err_.say(
        format(plural("listening on %s; checking %zu proxy", "listening on %s; checking %zu proxies", texts.size()),
               listening.c_str(), texts.size()));
    // systemd's status line stays in one language: what a unit says is read by tools as much as by people.
    notify("READY=1\nSTATUS=checking " + std::to_string(texts.size()) + (texts.size() == 1 ? " proxy" : " proxies"));
    serveUntilStopped(s, loop, rounds, log);
    drain(s, loop);
    return kWorking;
}

bool GateCommand::listen(Serving& s, bool loopbackOnly) {
    const GateOptions& o = options_;
    std::vector<std::vector<UniqueFd>> sockets(s.loops.size());
    for (const std::string& address : o.listen)
        if (const std::string error = listenSockets(address, s.loops.size(), sockets, loopbackOnly); !error.empty()) {
            err_.say(error);
            return false;
        }
    std::vector<std::vector<UniqueFd>> statusSocket(1);
    if (o.status)
        if (const std::string error = listenSockets(*o.status, 1, statusSocket, loopbackOnly); !error.empty()) {
            err_.say(format(_("--status: %s"), error.c_str()));
            return false;
        }
    for (std::size_t i = 0; i < s.loops.size(); ++i) s.gates.push_back(std::make_unique<LoopGate>(s.loops[i], s.gate));
    for (std::size_t i = 0; i < s.loops.size(); ++i)
        for (UniqueFd& fd : sockets[i])
            s.loops[i].post(
                [g = s.gates[i].get(), fd = std::make_shared<UniqueFd>(std::move(fd))] { g->listen(std::move(*fd)); });
    if (o.status) {
        s.statusLoop = std::make_unique<CommandLoop>();
        s.status = std::make_unique<StatusPage>(*s.statusLoop, std::move(statusSocket[0].front()), s.pool, s.gate,
                                                !isLoopbackListen(*o.status));
    }
    return true;
}

void GateCommand::said(Serving& s) {
    const ProxyPool::Counts c = s.pool.counts();
    notify("STATUS=" + std::to_string(c.working) + " of " + std::to_string(c.all()) + " proxies working");
    if (c.working > 0) s.gate.saidNoProxy = false;
}

void GateCommand::serveUntilStopped(Serving& s, EventLoop& loop, Rounds& rounds, OutputWriter& log) {
    int& signals = s.signals;
    bool& reload = s.reload;
    std::optional<Clock::time_point> reloadAt;
    loop.onSignal = [&s, &rounds, &log, this](int signal) {
        if (signal == SIGHUP) {
            s.reload = true;
            return;
        }
        if (++s.signals > 1) lastWords(s, log);  // a second one: at once, also while draining
        rounds.stop();
    };
    ListWatch lists(options_.files);
    if (lists.fd.get() >= 0)
        loop.watch(lists.fd.get(), [&] {
            if (lists.read()) reloadAt = Clock::now() + kSettle;
        });
    std::vector<std::string> texts;
    while (signals == 0) {
        const auto now = Clock::now();
        if (reloadAt && now >= *reloadAt) reload = true;
        if (reload) {
            reload = false;
            reloadAt.reset();
            if (readProxies(texts)) {
                const std::vector<std::uint64_t> added = s.pool.update(texts);
                err_.say(format(plural("lists read again: %zu proxy, %zu new", "lists read again: %zu proxies, %zu new",
                                       texts.size()),
                                texts.size(), added.size()));
                rounds.add(added);
                said(s);
            }
            if (options_.authFile)
                if (auto a = readAccess()) s.gate.setAccess(std::move(a));
        }
        Clock::time_point wake = rounds.step(now);
        const bool waitingFor = reloadAt.has_value();  // a reload already due is in `wake`
        if (reloadAt) wake = std::min(wake, *reloadAt);
        if (signals) break;
        loop.runUntil(std::max(wake, Clock::now() + kDispatchSlice),
                      [&] { return rounds.changed() || signals > 0 || reload || (reloadAt && !waitingFor); });
    }
}

void GateCommand::lastWords(Serving& s, OutputWriter& log) {
    // Ends the process now, once the log has the lines the loops hold (or a moment has passed).
    std::atomic<std::size_t> handed{0};
    for (std::size_t i = 0; i < s.loops.size(); ++i)
        s.loops[i].post([&handed, g = s.gates[i].get()] { g->flushLog(), ++handed; });
    for (const auto until = Clock::now() + kLastWords;
         (handed.load() < s.loops.size() || !log.idle()) && Clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ::_exit(kWorking);
}

void GateCommand::drain(Serving& s, EventLoop& loop) {
    // No new client, the open tunnels get their time, then the loops end what is left.
    notify("STOPPING=1");
    s.gate.draining = true;
    for (std::size_t i = 0; i < s.loops.size(); ++i) s.loops[i].post([g = s.gates[i].get()] { g->stopListening(); });
    const auto until = Clock::now() + options_.drain;
    while (s.gate.metrics.open.load() > 0 && Clock::now() < until)
        loop.runUntil(std::min(until, Clock::now() + std::chrono::milliseconds(50)), [] { return false; });
    std::atomic<std::size_t> closed{0};
    for (std::size_t i = 0; i < s.loops.size(); ++i)
        s.loops[i].post([&, g = s.gates[i].get()] {
            g->close();
            ++closed;
        });
    if (s.status) s.statusLoop->post([&] { s.status->close(), ++closed; });
    while (closed.load() < s.loops.size() + (s.status ? 1 : 0))
        loop.runUntil(Clock::now() + std::chrono::milliseconds(5), [] { return false; });
    const auto served = static_cast<unsigned long long>(s.gate.metrics.connections.load());
    err_.say(format(plural("stopped: %llu connection served", "stopped: %llu connections served", served), served));
}

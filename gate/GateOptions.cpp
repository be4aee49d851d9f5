#include "gate/GateOptions.h"

#include <arpa/inet.h>

#include <algorithm>

#include "cli/Messages.h"
#include "cli/OptionTable.h"

namespace {

using K = OptionKind;
using G = GateOptions;

constexpr long long kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute;

template <std::chrono::milliseconds GateOptions::*field>
std::string setDuration(G& o, const OptionArgument& a) {
    o.*field = std::chrono::milliseconds(a.number);
    return {};
}

template <int GateOptions::*field>
std::string setCount(G& o, const OptionArgument& a) {
    o.*field = int(a.number);
    return {};
}

template <std::optional<std::string> GateOptions::*field>
std::string setText(G& o, const OptionArgument& a) {
    o.*field = a.text;
    return {};
}

template <bool GateOptions::*field>
std::string turnOn(G& o, const OptionArgument&) {
    o.*field = true;
    return {};
}

std::string durationOf(std::chrono::milliseconds ms) {
    return durationText(ms.count());
}

const std::vector<OptionRow<G>>& gateRows() {
    static const std::vector<OptionRow<G>> rows = [] {
        std::vector<OptionRow<G>> r = {
            {{"listen", 'l', K::Address, "HOST:PORT",
              "listen there, for HTTP proxy and SOCKS clients alike;\nagain for more addresses (default: %d)",
              "Listen on\n.I HOST:PORT\n(an IPv6 address in brackets) for clients of every kind: HTTP proxy (CONNECT, "
              "and plain http requests in absolute form), SOCKS5 and SOCKS4/4a, told apart by their first byte. "
              "Given again, listen on each (default\n.BR %d ).\nAny address but loopback needs\n.B \\-\\-auth\nor\n"
              ".BR \\-\\-auth\\-file :\nthe gate never starts an open proxy.",
              [] { return std::string(kDefaultListen); }},
             [](G& o, const OptionArgument& a) {
                 o.listen.push_back(a.text);
                 return std::string();
             }},
            {{"rotate", 0, K::Choice, "HOW",
              "each, random or fastest: which working proxy a new\nclient connection takes (default: each)",
              "Which working proxy each new client connection takes:\n.B each\n(the next, in turn; the default),\n"
              ".B random\nor\n.B fastest\n(weighted toward the lowest tunnel set-up time measured while serving).",
              [] { return std::string("each"); }, "each random fastest"},
             [](G& o, const OptionArgument& a) {
                 const std::string how = a.text;
                 if (how == "each")
                     o.rotation = G::Rotation::Each;
                 else if (how == "random")
                     o.rotation = G::Rotation::Random;
                 else if (how == "fastest")
                     o.rotation = G::Rotation::Fastest;
                 else
                     return format(_("invalid rotate '%s': each, random or fastest"), how.c_str());
                 return std::string();
             }},
            {{"sticky", 0, K::Duration, "DURATION",
              "keep a client address on one proxy per target host\nfor DURATION (%r)",
              "Keep a client address on the same proxy, per target host, for\n.I DURATION\n(%r) after its last "
              "connection there: for sites that tie a login to an address. A proxy taken out is replaced.",
              nullptr, nullptr, kSecond, 24 * kHour},
             setDuration<&G::sticky>},
            {{"tries", 0, K::Count, "N", "proxies tried for one client connection, %r\n(default: %d)",
              "Try up to\n.I N\nproxies (%r, default %d) for one client connection before it is answered with the "
              "failure.",
              [] { return std::to_string(GateOptions{}.tries); }, nullptr, 1, 10},
             setCount<&G::tries>},
            {{"max-errors", 0, K::Count, "N",
              "failures in a row that take a proxy out until a\nre-check passes "
              "(default: %d)",
              "Take a proxy out of rotation after\n.I N\nfailures in a row (%r, default %d) while serving; it comes "
              "back when a re-check passes.",
              [] { return std::to_string(GateOptions{}.maxErrors); }, nullptr, 1, 100},
             setCount<&G::maxErrors>},
            {{"recheck", 0, K::Duration, "DURATION", "check every proxy again this often (default: %d)",
              "Check every proxy, working or not, again this often (%r, default %d).",
              [] { return durationOf(GateOptions{}.recheck); }, nullptr, 2 * kSecond, 24 * kHour},
             setDuration<&G::recheck>},
            {{"session-idle", 0, K::Duration, "DURATION",
              "end a session with no connection for DURATION\n(default: %d)",
              "End a session (a user name's\n.BR \\-session\\-ID ;\nsee\n.BR \"CHOOSING THE WAY OUT\" )\nonce none "
              "of its connections has been open for\n.I DURATION\n(%r, default %d).",
              [] { return durationOf(GateOptions{}.sessionIdle); }, nullptr, kSecond, 24 * kHour},
             setDuration<&G::sessionIdle>},
            {{"max-sessions", 0, K::Count, "N", "keep at most N sessions, the idle longest ending\nfirst (default: %d)",
              "Keep at most\n.I N\nsessions (%r, default %d); a new one ends the one idle longest. When each has a "
              "connection open, the new one is served without one.",
              [] { return std::to_string(GateOptions{}.maxSessions); }, nullptr, 1, 10000000},
             setCount<&G::maxSessions>},
            {{"disclose", 0, K::Switch, nullptr,
              "tell clients which proxy served them and where it\nleft from (Proxy-Status, X-Kiriha-Exit)",
              "Add to a CONNECT's 200 and to a plain request's answer a\n.B Proxy-Status\nfield naming the proxy that "
              "served and an\n.B X-Kiriha-Exit\nfield with its exit address, country, anonymity and session; SOCKS "
              "clients find theirs at the status page's\n.BR \"GET /connections\" ."},
             turnOn<&G::disclose>},
            {{"auth-file", 0, K::File, "FILE", "the credentials clients may give, a USER:PASSWORD\nline each",
              "Clients must give one of the credentials read from\n.IR FILE ,\none\n.I USER:PASSWORD\na line: HTTP "
              "Basic in Proxy-Authorization, or SOCKS5 username and password (RFC 1929); SOCKS4 clients are then "
              "refused. Wrong ones get 407 or the SOCKS failure; they are compared in constant time. Read again on "
              "SIGHUP."},
             setText<&G::authFile>},
            {{"auth", 0, K::Text, "USER:PASSWORD",
              "the credentials clients must give (shown to ps:\nprefer --auth-file)",
              "As\n.BR \\-\\-auth\\-file ,\nwith one credential given here, where anyone who can list the "
              "processes reads it."},
             [](G& o, const OptionArgument& a) {
                 const std::string text = a.text;
                 if (text.find(':') == std::string::npos || text.front() == ':')
                     return std::string(_("invalid auth: USER:PASSWORD, the user not empty"));
                 o.auth = text;
                 return std::string();
             }},
            {{"log", 0, K::File, "FILE", "write the connection log to FILE, not standard error",
              "Append the line each client connection ends with (see\n.BR LOG )\nto\n.I FILE\ninstead of standard "
              "error."},
             setText<&G::log>},
            {{"status", 0, K::Address, "HOST:PORT", "serve the pool's state as JSON and metrics there",
              "Serve\n.B GET /\n(the pool's state as JSON) and\n.B GET /metrics\n(Prometheus' text format) on\n"
              ".IR HOST:PORT ;\nsee\n.BR STATUS ."},
             setText<&G::status>},
            {{"drain", 0, K::Duration, "DURATION", "on SIGTERM, let open tunnels finish this long\n(default: %d)",
              "After SIGTERM or SIGINT, let open tunnels finish for\n.I DURATION\n(%r, default %d), then end them.",
              [] { return durationOf(GateOptions{}.drain); }, nullptr, 0, kHour},
             setDuration<&G::drain>},
            {{"idle", 0, K::Duration, "DURATION", "end a tunnel quiet this long (default: %d)",
              "End a tunnel no byte has crossed for\n.I DURATION\n(%r, default %d).",
              [] { return durationOf(GateOptions{}.idle); }, nullptr, kSecond, 24 * kHour},
             setDuration<&G::idle>},
        };
        const auto run = lifted(runRows(), &G::run);
        r.insert(r.end(), run.begin(), run.end());
        r.push_back({{"help", 'h', K::Switch, nullptr, "display this help and exit", "Show a summary of the options."},
                     turnOn<&G::help>});
        r.push_back({{"version", 0, K::Switch, nullptr, "output version information and exit", "Show the version."},
                     turnOn<&G::version>});
        return r;
    }();
    return rows;
}

}  // namespace

std::vector<OptionDesc> gateDescs() {
    return descsOf(gateRows());
}

namespace {

// The same port, on the same host or where either is every address.
bool sameAddress(const std::string& a, const std::string& b) {
    const auto host = [](const std::string& x) { return x.substr(0, x.rfind(':')); };
    const auto port = [](const std::string& x) { return x.substr(x.rfind(':') + 1); };
    const auto any = [](const std::string& h) { return h == "0.0.0.0" || h == "[::]" || h.empty(); };
    return port(a) == port(b) && (host(a) == host(b) || any(host(a)) || any(host(b)));
}

}  // namespace

bool isLoopbackListen(const std::string& address) {
    std::string host = address.substr(0, address.rfind(':'));
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    if (host == "localhost") return true;
    in_addr four{};
    if (::inet_pton(AF_INET, host.c_str(), &four) == 1) return (ntohl(four.s_addr) >> 24) == 127;
    in6_addr six{};
    return ::inet_pton(AF_INET6, host.c_str(), &six) == 1 && IN6_IS_ADDR_LOOPBACK(&six);
}

ParsedGateArguments parseGateArguments(const std::vector<std::string>& args) {
    ParsedGateArguments parsed;
    GateOptions& o = parsed.options;
    parsed.error = parseOptions(gateRows(), kGateName, args, o, o.files);
    if (!parsed.error.empty() || o.help || o.version) return parsed;
    if (o.listen.empty()) o.listen.push_back(kDefaultListen);
    if (o.auth && o.authFile) {
        parsed.error = _("--auth cannot be used with --auth-file");
    } else if (o.files.empty()) {
        parsed.error = _("no list: name the files of proxies to serve");
    } else if (std::find(o.files.begin(), o.files.end(), "-") != o.files.end()) {
        parsed.error = _("the lists are files, read again when they change: not standard input");
    } else if (!o.auth && !o.authFile) {
        for (const std::string& at : o.listen)
            if (!isLoopbackListen(at)) {
                parsed.error = format(
                    _("listening on %s needs --auth or --auth-file: the gate never starts an open proxy"), at.c_str());
                break;
            }
        if (parsed.error.empty() && o.status && !isLoopbackListen(*o.status))
            parsed.error =
                format(_("--status on %s needs --auth or --auth-file: it shows every proxy"), o.status->c_str());
    }
    if (parsed.error.empty() && o.status)
        for (const std::string& at : o.listen)
            if (sameAddress(at, *o.status))
                parsed.error = format(_("--status and --listen name the same address: %s"), at.c_str());
    if (parsed.error.empty()) parsed.error = runConflicts(o.run);
    return parsed;
}

std::string gateHelpText() {
    return wrapped(_(R"(Usage: kiriha-gate [OPTION]... FILE...
Serve one local proxy address that sends each client connection out through a
working proxy of the lists: each proxy is checked as kiriha-check checks it,
checked again now and then, taken in turn, and replaced when it fails. No
connection ever leaves directly: with no working proxy, clients are refused.

Clients may speak HTTP proxy (CONNECT, and plain http in absolute form), SOCKS5
or SOCKS4/4a on the same port. The lists are read again when they change and on
SIGHUP; open tunnels are never cut by a reload.
)"),
                   kHelpWidth) +
           "\n" + optionsHelp(gateDescs()) + "\n" +
           wrapped(_(R"(SIGTERM or SIGINT stops accepting at once, lets open tunnels finish for the
drain time, then ends them; a second one ends at once. Exit status is 0 after
such a stop, 2 on bad usage, a list that cannot be read, or an address that
cannot be listened on. See kiriha-gate(1).
)"),
                   kHelpWidth);
}

#include "cli/RunOptions.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>

#include "cli/Messages.h"
#include "engine/rules/CheckSettings.h"
#include "engine/rules/ProbeRules.h"
#include "kiriha/Version.h"

namespace {

template <class Options, bool Options::*field>
std::string turnOn(Options& o, const OptionArgument&) {
    o.*field = true;
    return {};
}

// A text as given: a page, a file's name.
template <auto field>
std::string setText(RunOptions& o, const OptionArgument& a) {
    o.*field = a.text;
    return {};
}

template <int RunOptions::*field>
std::string setNumber(RunOptions& o, const OptionArgument& a) {
    o.*field = int(a.number);
    return {};
}

template <std::optional<std::chrono::seconds> RunOptions::*field>
std::string setSeconds(RunOptions& o, const OptionArgument& a) {
    o.*field = std::chrono::seconds(a.number);
    return {};
}

std::string seconds(std::chrono::milliseconds ms) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(ms).count());
}

std::string countriesOf(RunOptions& o, const OptionArgument& a) {
    o.countries.clear();
    std::string code;
    for (const char* c = a.text;; ++c) {
        if (*c && *c != ',') {
            code += char(std::toupper(static_cast<unsigned char>(*c)));
            continue;
        }
        if (code.size() != 2 || !std::isalpha(static_cast<unsigned char>(code[0])) ||
            !std::isalpha(static_cast<unsigned char>(code[1])))
            return format(_("invalid country list '%s': two-letter codes, comma-separated"), a.text);
        o.countries.push_back(std::exchange(code, ""));
        if (!*c) return std::string();
    }
}

using K = OptionKind;
using Run = RunOptions;

const std::vector<OptionRow<Run>> kRunRows = {
    {{"url", 0, K::Url, "URL", "the page to ask for, http:// or https://\n(default: %d)",
      "Ask for\n.I URL\ninstead of the window's page\n.RB ( %d ).\nOnly\n.B http://\nand\n.B https://\npages. Every "
      "check goes through its proxy, also for a host name without a period.",
      [] { return Target{}.url; }},
     setText<&Run::url>},
    {{"expect", 0, K::Text, "TEXT", "the text a working proxy's page holds, case-sensitive\n(default: %d)",
      "A proxy works when the page holds\n.I TEXT\n(default: the window's marker,\n.BR \"%d\" ).\nA plain, "
      "case-sensitive match on the page's bytes, wherever the reads split it; the text is taken as the bytes given "
      "on the command line.",
      [] { return Target{}.marker; }},
     [](Run& o, const OptionArgument& a) {
         o.expect = a.text;
         return std::string(*a.text ? "" : _("the expected text is empty: every page would hold it"));
     }},
    {{"cacert", 0, K::File, "FILE", "trust the certificates in FILE instead of the system's",
      "Trust the certificates in\n.I FILE\n(PEM) instead of the system's, for https pages and https proxies.", nullptr,
      "@(pem|crt|cer)"},
     setText<&Run::caFile>},
    {{"no-preflight", 0, K::Switch, nullptr, "do not fetch the page directly before the checks",
      "Do not fetch the page directly before the checks: for networks where only the proxies reach out. The page is "
      "then never asked for directly, also not when many proxies fail as they would were it down (see\n"
      ".BR \"THE FAR END\" )."},
     [](Run& o, const OptionArgument&) {
         o.preflight = false;
         return std::string();
     }},
    {{"detect", 0, K::Switch, nullptr, "find the protocol of a proxy without a scheme: http,\nthen socks5, then socks4",
      "For a proxy text without a scheme, find the protocol: try it as an HTTP proxy; only when the other end "
      "answered in another protocol\n.RB ( not\\-a\\-proxy )\nor closed without an answer\n.RB ( reset ),\ntry\n"
      ".BR socks5:// ,\nthen\n.BR socks4:// .\nWith\n.BR \\-\\-retries ,\na passing failure is tried again in the "
      "same protocol first, and detection moves on only once that protocol's tries are used up; each protocol has "
      "tries of its own. A refused or silent port is tried once. A working line shows the form that worked\n"
      ".RB ( socks5://1.2.3.4:1080 );\nother lines show the text as listed, with the last try's reason."},
     turnOn<Run, &Run::detect>},
    {{"retries", 0, K::Retries, "N",
      "try a check again up to N times, %r, after a\nconnect or idle time-out or a reset (default: %d)",
      "Try a check again, up to\n.I N\ntimes (%r, default %d), when it failed with a passing reason:\n"
      ".BR connect\\-timeout ,\n.B idle\\-timeout\nor\n.BR reset .\nA try again starts a second later (the checks "
      "started with it go first), before the next proxy of the list; the proxy's one line carries the last try's "
      "verdict. A proxy that sends nothing at all before its whole time runs out\n.RB ( \\-\\-timeout )\nis idle, "
      "and so tried again, whichever limit came first.\n.BR refused ,\n.BR no\\-marker ,\n.B tls\nand\n"
      ".B proxy\\-denied\nare never tried again.",
      [] { return std::to_string(RunOptions{}.retries); }},
     setNumber<&Run::retries>},
    {{"judge", 0, K::Url, "URL",
      "ask a judge page that echoes the request: the exit\naddress, and the anonymity a plain-http site sees\n"
      "(an https judge tells the exit address only)",
      "Ask\n.I URL\n(http:// or https://), a judge page that echoes the request it received (see\n.BR JUDGE ),\n"
      "instead of a page and its text: a proxy works when the echo of this very request comes back whole, and each "
      "line tells the address the request came from and what the judge saw of us. Not with\n.BR \\-\\-url ,\n"
      ".B \\-\\-expect\nor\n.BR \\-\\-unaltered ;\nit needs the preflight."},
     setText<&Run::judge>},
    {{"anonymity", 0, K::Choice, "LEVEL",
      "with --judge, keep only proxies that hide at least\nthis much: anonymous or elite",
      "With\n.BR \\-\\-judge ,\na working proxy must hide at least this much:\n.B anonymous\n(our address not "
      "passed on) or\n.B elite\n(no sign of a proxy either). Proxies that show more read dead:\n"
      ".B leaks\\-address\nor\n.BR reveals\\-proxy ,\nso that\n.B \\-w \\-\\-anonymity=elite\nwrites a list of elite "
      "proxies.",
      nullptr, "anonymous elite"},
     [](Run& o, const OptionArgument& a) {
         o.anonymity = anonymityNamed(a.text);
         if (o.anonymity && *o.anonymity != Anonymity::Transparent) return std::string();
         return format(_("invalid anonymity '%s': anonymous or elite"), a.text);
     }},
    {{"geoip", 0, K::File, "FILE", "tell each proxy's country by FILE, a MaxMind DB\ncountry database",
      "Tell each proxy's country by\n.IR FILE ,\na MaxMind DB database whose records carry a country "
      "(GeoLite2-Country, GeoIP2-Country, DB-IP's country lite); one without (an ASN or a city-less anonymous-IP "
      "database) is refused. The country is the exit address's with\n.BR \\-\\-judge ,\nelse the proxy's address as "
      "connected; see\n.BR COUNTRIES .",
      nullptr, "@(mmdb)"},
     setText<&Run::geoip>},
    {{"country", 0, K::Text, "LIST", "keep only proxies in these countries: ISO codes,\ncomma-separated (JP,US)",
      "Keep only proxies in these countries,\n.I LIST\nof ISO 3166 codes, comma-separated\n.RB ( JP,US );\n"
      "the others read dead, reason\n.BR country .\nWithout\n.BR \\-\\-geoip ,\nthe first country database in the "
      "usual places is used (see\n.BR COUNTRIES ).",
      nullptr},
     countriesOf},
    {{"unaltered", 0, K::Switch, nullptr, "the page must come byte for byte as fetched directly",
      "A proxy works only when the page comes through it byte for byte as the preflight fetched it directly (size "
      "and SHA-256, taken as it streams); otherwise it reads dead, reason\n.BR altered :\na proxy that injects a "
      "script or an advert, or rewrites links. For pages that do not change between fetches. Not with\n"
      ".BR \\-\\-judge ;\nit needs the preflight."},
     turnOn<Run, &Run::unaltered>},
    {{"rate", 0, K::Rate, "N", "start N checks a second, %r (default: %d)",
      "Start\n.I N\nchecks a second, spread evenly, %r (default %d, the window's pace).",
      [] { return std::to_string(RunOptions{}.rate); }},
     setNumber<&Run::rate>},
    {{"timeout", 0, K::Seconds, "S", "give up a check after S seconds, %r (default: %d)",
      "Give up a check after\n.I S\nseconds, %r (default %d); the connect and idle limits are lowered to it where "
      "larger.",
      [] { return seconds(CheckLimits{}.total); }},
     setSeconds<&Run::timeout>},
    {{"connect-timeout", 0, K::Seconds, "S", "give up a connection after S seconds (default: %d)",
      "Give up a connection to the proxy, with its handshake (CONNECT, SOCKS, TLS), after\n.I S\nseconds, %r "
      "(default %d).",
      [] { return seconds(CheckLimits{}.connect); }},
     setSeconds<&Run::connectTimeout>},
    {{"idle-timeout", 0, K::Seconds, "S", "give up a check silent for S seconds (default: %d)",
      "Give up a check when no byte has come for\n.I S\nseconds, %r (default %d).",
      [] { return seconds(CheckLimits{}.idle); }},
     setSeconds<&Run::idleTimeout>},
};

}  // namespace

RunOptions::RunOptions() : rate(kWaveSize) {}

const std::vector<OptionRow<RunOptions>>& runRows() {
    return kRunRows;
}

std::string runConflicts(const RunOptions& o) {
    if (o.judge && (o.url || o.expect || o.unaltered))
        return format(_("--judge cannot be used with %s: the judge is the page, and its echo the text"),
                      o.url      ? "--url"
                      : o.expect ? "--expect"
                                 : "--unaltered");
    if (o.anonymity && !o.judge) return _("--anonymity needs --judge: only a judge tells what a site sees");
    if (!o.preflight && (o.judge || o.unaltered))
        return format(_("%s needs the preflight: the page fetched directly is what the proxies' are compared with"),
                      o.judge ? "--judge" : "--unaltered");
    return {};
}

std::string versionText(const char* program) {
    return std::string(program) + " (霧葉) " + kVersion + "\n";
}

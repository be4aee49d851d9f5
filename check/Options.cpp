#include "check/Options.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/rules/CheckSettings.h"
#include "engine/rules/ProbeRules.h"
#include "engine/rules/Urls.h"
#include "kiriha/Version.h"

namespace {

// What an option takes, and so how its value is read, checked, offered by the completion and documented.
enum class Kind {
    Switch,
    Seconds,  // a whole number of seconds, up to the limit no check passes
    Retries,  // a small count
    Rate,     // checks a second
    Url,      // an http:// or https:// page
    Text,     // any text
    File,     // a file's name
    Choice,   // one of a few words
};

struct Range {
    int low, high;
};

long secondsOf(std::chrono::milliseconds ms) {
    return long(std::chrono::duration_cast<std::chrono::seconds>(ms).count());
}

Range rangeOf(Kind kind) {
    switch (kind) {
        case Kind::Seconds:
            return {1, int(secondsOf(CheckLimits{}.total))};  // a limit may only be lowered
        case Kind::Retries:
            return {0, 5};
        case Kind::Rate:
            return {1, 10000};
        default:
            return {0, 0};
    }
}

// An option's value as read: the text, and its number where it takes one.
struct Argument {
    const char* text;
    int number;
};

// Every option once, in the order --help lists them. In `help` (--help's lines, '\n' between) and `manual` (roff),
// %r is the range and %d the default.
struct OptionRow {
    const char* name;
    char letter;  // 0: a long option only
    Kind kind;
    const char* argument;  // what --help calls the value
    const char* help;
    const char* manual;
    std::string (*byDefault)();                          // the default as shown, or null
    std::string (*set)(CheckOptions&, const Argument&);  // the usage error, or nothing
    const char* offers = nullptr;  // for a file, the names the completion offers; for a choice, its words
};

template <bool CheckOptions::*field>
std::string turnOn(CheckOptions& o, const Argument&) {
    o.*field = true;
    return {};
}

// A text as given: a page, a file's name.
template <auto field>
std::string setText(CheckOptions& o, const Argument& a) {
    o.*field = a.text;
    return {};
}

template <int CheckOptions::*field>
std::string setNumber(CheckOptions& o, const Argument& a) {
    o.*field = a.number;
    return {};
}

template <std::optional<std::chrono::seconds> CheckOptions::*field>
std::string setSeconds(CheckOptions& o, const Argument& a) {
    o.*field = std::chrono::seconds(a.number);
    return {};
}

std::string seconds(std::chrono::milliseconds ms) {
    return std::to_string(secondsOf(ms));
}

const OptionRow kRows[] = {
    {"working", 'w', Kind::Switch, nullptr, "print only the working proxies, without prefix",
     "Print only the working proxies, without prefix: the list the window's Tidy leaves.", nullptr,
     turnOn<&CheckOptions::workingOnly>},
    {"why", 0, Kind::Switch, nullptr, "add a tab, the reason and the time to each line",
     "After each line, a tab, the reason (see\n.BR REASONS )\nand the whole time of the check:\n"
     ".BR \"死亡：1.2.3.4:80\\fR<TAB>\\fBrefused 3 ms\" .",
     nullptr, turnOn<&CheckOptions::why>},
    {"json", 0, Kind::Switch, nullptr, "print one JSON object per check (JSON Lines)",
     "Write one JSON object per finished check, one per line (JSON Lines), each written whole as the check ends; "
     "see\n.BR \"JSON FIELDS\" .\nNot with\n.B \\-\\-cp932\nor\n.BR \\-\\-why .",
     nullptr, turnOn<&CheckOptions::json>},
    {"cp932", 0, Kind::Switch, nullptr,
     "write Shift_JIS bytes with CR LF line breaks, exactly\nas the window's result list holds them (default: UTF-8)",
     "Write the window's own bytes: Shift_JIS, lines ending in CR LF.", nullptr, turnOn<&CheckOptions::cp932>},
    {"url", 0, Kind::Url, "URL", "the page to ask for, http:// or https://\n(default: %d)",
     "Ask for\n.I URL\ninstead of the window's page\n.RB ( %d ).\nOnly\n.B http://\nand\n.B https://\npages. Every "
     "check goes through its proxy, also for a host name without a period.",
     [] { return Target{}.url; }, setText<&CheckOptions::url>},
    {"expect", 0, Kind::Text, "TEXT", "the text a working proxy's page holds, case-sensitive\n(default: %d)",
     "A proxy works when the page holds\n.I TEXT\n(default: the window's marker,\n.BR \"%d\" ).\nA plain, "
     "case-sensitive match on the page's bytes, wherever the reads split it; the text is taken as the bytes given on "
     "the command line.",
     [] { return Target{}.marker; },
     [](CheckOptions& o, const Argument& a) {
         o.expect = a.text;
         return std::string(*a.text ? "" : "the expected text is empty: every page would hold it");
     }},
    {"cacert", 0, Kind::File, "FILE", "trust the certificates in FILE instead of the system's",
     "Trust the certificates in\n.I FILE\n(PEM) instead of the system's, for https pages and https proxies.", nullptr,
     setText<&CheckOptions::caFile>, "@(pem|crt|cer)"},
    {"no-preflight", 0, Kind::Switch, nullptr, "do not fetch the page directly before the checks",
     "Do not fetch the page directly before the checks: for networks where only the proxies reach out.", nullptr,
     [](CheckOptions& o, const Argument&) {
         o.preflight = false;
         return std::string();
     }},
    {"detect", 0, Kind::Switch, nullptr,
     "find the protocol of a proxy without a scheme: http,\nthen socks5, then socks4",
     "For a proxy text without a scheme, find the protocol: try it as an HTTP proxy; only when the other end "
     "answered in another protocol\n.RB ( not\\-a\\-proxy )\nor closed without an answer\n.RB ( reset ),\ntry\n"
     ".BR socks5:// ,\nthen\n.BR socks4:// .\nWith\n.BR \\-\\-retries ,\na passing failure is tried again in the "
     "same protocol first, and detection moves on only once that protocol's tries are used up; each protocol has "
     "tries of its own. A refused or silent port is tried once. A working line shows the form that worked\n"
     ".RB ( socks5://1.2.3.4:1080 );\nother lines show the text as listed, with the last try's reason.",
     nullptr, turnOn<&CheckOptions::detect>},
    {"retries", 0, Kind::Retries, "N",
     "try a check again up to N times, %r, after a\nconnect or idle time-out or a reset (default: %d)",
     "Try a check again, up to\n.I N\ntimes (%r, default %d), when it failed with a passing reason:\n"
     ".BR connect\\-timeout ,\n.B idle\\-timeout\nor\n.BR reset .\nA try again starts a second later (the checks "
     "started with it go first), before the next proxy of the list; the proxy's one line carries the last try's "
     "verdict. A proxy that sends nothing at all before its whole time runs out\n.RB ( \\-\\-timeout )\nis idle, and "
     "so tried again, whichever limit came first.\n.BR refused ,\n.BR no\\-marker ,\n.B tls\nand\n"
     ".B proxy\\-denied\nare never tried again.",
     [] { return std::to_string(CheckOptions{}.retries); }, setNumber<&CheckOptions::retries>},
    {"judge", 0, Kind::Url, "URL",
     "ask a judge page that echoes the request: the exit\naddress, and the anonymity a plain-http site sees\n"
     "(an https judge tells the exit address only)",
     "Ask\n.I URL\n(http:// or https://), a judge page that echoes the request it received (see\n.BR JUDGE ),\n"
     "instead of a page and its text: a proxy works when the echo comes back whole, and each line tells the address "
     "the request came from and what the judge saw of us. Not with\n.BR \\-\\-url ,\n.B \\-\\-expect\nor\n"
     ".BR \\-\\-unaltered ;\nit needs the preflight.",
     nullptr, setText<&CheckOptions::judge>},
    {"anonymity", 0, Kind::Choice, "LEVEL",
     "with --judge, keep only proxies that hide at least\nthis much: anonymous or elite",
     "With\n.BR \\-\\-judge ,\na working proxy must hide at least this much:\n.B anonymous\n(our address not passed "
     "on) or\n.B elite\n(no sign of a proxy either). Proxies that show more read dead:\n.B leaks\\-address\nor\n"
     ".BR reveals\\-proxy ,\nso that\n.B \\-w \\-\\-anonymity=elite\nwrites a list of elite proxies.",
     nullptr,
     [](CheckOptions& o, const Argument& a) {
         o.anonymity = anonymityNamed(a.text);
         if (o.anonymity && *o.anonymity != Anonymity::Transparent) return std::string();
         return std::string("invalid anonymity '") + a.text + "': anonymous or elite";
     },
     "anonymous elite"},
    {"geoip", 0, Kind::File, "FILE", "the country database (MaxMind DB) to tell countries by",
     "Tell each proxy's country by\n.IR FILE ,\na MaxMind DB country database (GeoLite2-Country, DB-IP's lite "
     "one). Without it, the first found in the usual places (see\n.BR FILES )\nis used, and none is needed. "
     "The country is the exit address's with\n.BR \\-\\-judge ,\nelse the proxy's address as connected.",
     nullptr, setText<&CheckOptions::geoip>, "@(mmdb)"},
    {"country", 0, Kind::Text, "LIST", "keep only proxies in these countries: ISO codes,\ncomma-separated (JP,US)",
     "Keep only proxies in these countries,\n.I LIST\nof ISO 3166 codes, comma-separated\n.RB ( JP,US );\n"
     "the others read dead, reason\n.BR country .\nNeeds a country database.",
     nullptr,
     [](CheckOptions& o, const Argument& a) {
         o.countries.clear();
         std::string code;
         for (const char* c = a.text;; ++c) {
             if (*c && *c != ',') {
                 code += char(std::toupper(static_cast<unsigned char>(*c)));
                 continue;
             }
             if (code.size() != 2 || !std::isalpha(static_cast<unsigned char>(code[0])) ||
                 !std::isalpha(static_cast<unsigned char>(code[1])))
                 return std::string("invalid country list '") + a.text + "': two-letter codes, comma-separated";
             o.countries.push_back(std::exchange(code, ""));
             if (!*c) return std::string();
         }
     }},
    {"unaltered", 0, Kind::Switch, nullptr, "the page must come byte for byte as fetched directly",
     "A proxy works only when the page comes through it byte for byte as the preflight fetched it directly (size "
     "and SHA-256, taken as it streams); otherwise it reads dead, reason\n.BR altered :\na proxy that injects a "
     "script or an advert, or rewrites links. For pages that do not change between fetches. Not with\n"
     ".BR \\-\\-judge ;\nit needs the preflight.",
     nullptr, turnOn<&CheckOptions::unaltered>},
    {"rate", 0, Kind::Rate, "N", "start N checks a second, %r (default: %d)",
     "Start\n.I N\nchecks a second, spread evenly, %r (default %d, the window's pace).",
     [] { return std::to_string(CheckOptions{}.rate); }, setNumber<&CheckOptions::rate>},
    {"timeout", 0, Kind::Seconds, "S", "give up a check after S seconds, %r (default: %d)",
     "Give up a check after\n.I S\nseconds, %r (default %d); the connect and idle limits are lowered to it where "
     "larger.",
     [] { return seconds(CheckLimits{}.total); }, setSeconds<&CheckOptions::timeout>},
    {"connect-timeout", 0, Kind::Seconds, "S", "give up a connection after S seconds (default: %d)",
     "Give up a connection to the proxy, with its handshake (CONNECT, SOCKS, TLS), after\n.I S\nseconds, %r "
     "(default %d).",
     [] { return seconds(CheckLimits{}.connect); }, setSeconds<&CheckOptions::connectTimeout>},
    {"idle-timeout", 0, Kind::Seconds, "S", "give up a check silent for S seconds (default: %d)",
     "Give up a check when no byte has come for\n.I S\nseconds, %r (default %d).",
     [] { return seconds(CheckLimits{}.idle); }, setSeconds<&CheckOptions::idleTimeout>},
    {"quiet", 'q', Kind::Switch, nullptr, "no progress line and no summary on standard error",
     "No progress line and no summary on standard error.", nullptr, turnOn<&CheckOptions::quiet>},
    {"help", 'h', Kind::Switch, nullptr, "display this help and exit", "Show a summary of the options.", nullptr,
     turnOn<&CheckOptions::help>},
    {"version", 0, Kind::Switch, nullptr, "output version information and exit", "Show the version.", nullptr,
     turnOn<&CheckOptions::version>},
};

constexpr int kLongOnly = 256;  // getopt_long's code of a long option without a letter: its row, above the letters

int codeOf(std::size_t row) {
    return kRows[row].letter ? kRows[row].letter : kLongOnly + int(row);
}

std::string replaced(std::string text, const std::string& mark, const std::string& by) {
    for (std::size_t at = 0; (at = text.find(mark, at)) != std::string::npos; at += by.size())
        text.replace(at, mark.size(), by);
    return text;
}

// A row's text with its range and default filled in.
std::string filled(const OptionRow& r, const char* text) {
    const Range range = rangeOf(r.kind);
    const std::string out = replaced(text, "%r", std::to_string(range.low) + " to " + std::to_string(range.high));
    return replaced(out, "%d", r.byDefault ? r.byDefault() : "");
}

// The usage error for a value a row cannot take, or nothing; `number` is read where the row takes one.
std::string badValue(const OptionRow& r, const char* text, int& number) {
    const Range range = rangeOf(r.kind);
    const std::string_view s(text ? text : "");
    const std::string label = replaced(r.name, "-", " ");
    switch (r.kind) {
        case Kind::Seconds:
        case Kind::Retries:
        case Kind::Rate: {
            const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), number);
            if (!s.empty() && ec == std::errc() && end == s.data() + s.size() && number >= range.low &&
                number <= range.high)
                return {};
            const std::string what = r.kind == Kind::Seconds ? "a whole number of seconds"
                                     : r.kind == Kind::Rate  ? "a whole number of checks a second"
                                                             : "a whole number";
            return "invalid " + label + " '" + std::string(s) + "': " + what + " from " + std::to_string(range.low) +
                   " to " + std::to_string(range.high);
        }
        case Kind::Url:
            if (const std::string why = webUrlProblem(std::string(s)); !why.empty())
                return "invalid URL '" + std::string(s) + "': " + why;
            return {};
        default:
            return {};
    }
}

std::vector<option> getoptTable() {
    std::vector<option> table;
    for (std::size_t i = 0; i < std::size(kRows); ++i)
        table.push_back({kRows[i].name, kRows[i].argument ? required_argument : no_argument, nullptr, codeOf(i)});
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
}

std::string shortOptions() {
    std::string letters = ":";  // a missing argument is told apart from an unknown option
    for (const OptionRow& r : kRows)
        if (r.letter) letters += std::string(1, r.letter) + (r.argument ? ":" : "");
    return letters;
}

// The options' part of --help, in the GNU layout: the help in a column of its own.
std::string optionsHelp() {
    constexpr std::size_t kColumn = 24;
    std::string text;
    for (const OptionRow& r : kRows) {
        std::string left = r.letter ? std::string("  -") + r.letter + ", --" : "      --";
        left += r.name;
        if (r.argument) left += std::string("=") + r.argument;
        left += left.size() + 2 <= kColumn ? std::string(kColumn - left.size(), ' ') : "  ";
        std::string help = filled(r, r.help);
        for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += kColumn + 1)
            help.insert(at + 1, kColumn, ' ');
        text += left + help + "\n";
    }
    return text;
}

// A name as roff writes it: hyphens are minus signs, so that it can be copied and searched for.
std::string roffName(const std::string& name) {
    return replaced(name, "-", "\\-");
}

// The values the completion offers after an option of each kind: the range's ends and the defaults between.
std::string offered(Kind kind) {
    const Range range = rangeOf(kind);
    std::set<int> values{range.low, range.high};
    if (kind == Kind::Retries)
        for (int n = range.low; n <= range.high; ++n) values.insert(n);
    if (kind == Kind::Rate) values.insert({CheckOptions{}.rate, 100, 1000, 5000});
    if (kind == Kind::Seconds) {
        const CheckLimits limits;
        values.insert({5, 10, int(secondsOf(limits.connect)), int(secondsOf(limits.idle))});
    }
    std::string words;
    for (const int v : values) words += (words.empty() ? "" : " ") + std::to_string(v);
    return words;
}

// What options cannot be asked for together, or one without another.
std::string conflicts(const CheckOptions& o) {
    if (o.json && (o.cp932 || o.why))
        return std::string("--json cannot be used with ") + (o.cp932 ? "--cp932" : "--why");
    if (o.judge && (o.url || o.expect || o.unaltered))
        return std::string("--judge cannot be used with ") +
               (o.url      ? "--url"
                : o.expect ? "--expect"
                           : "--unaltered") +
               ": the judge is the page, and its echo the text";
    if (o.anonymity && !o.judge) return "--anonymity needs --judge: only a judge tells what a site sees";
    if (!o.preflight && (o.judge || o.unaltered))
        return std::string(o.judge ? "--judge" : "--unaltered") +
               " needs the preflight: the page fetched directly is what the proxies' are compared with";
    return {};
}

}  // namespace

CheckOptions::CheckOptions() : rate(kWaveSize) {}

ParsedArguments parseArguments(const std::vector<std::string>& args) {
    ParsedArguments parsed;
    CheckOptions& o = parsed.options;
    std::vector<std::string> copies{kProgramName};
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(copies.size());

    optind = 0;  // a fresh scan (glibc), also when parsed before
    opterr = 0;  // the messages are ours, on the command's own error path
    const std::vector<option> table = getoptTable();
    const std::string letters = shortOptions();
    for (int c;
         parsed.error.empty() && (c = getopt_long(argc, argv.data(), letters.c_str(), table.data(), nullptr)) != -1;) {
        if (c == ':') {
            parsed.error = optopt > 0 && optopt < kLongOnly  // a short option's letter, not a long one's code
                               ? std::string("option requires an argument -- '") + char(optopt) + "'"
                               : std::string("option '") + argv[std::size_t(optind - 1)] + "' requires an argument";
            break;
        }
        const auto row = std::find_if(std::begin(kRows), std::end(kRows),
                                      [&](const OptionRow& r) { return codeOf(std::size_t(&r - kRows)) == c; });
        if (row == std::end(kRows)) {
            parsed.error =
                optopt ? std::string("invalid option -- '") + char(optopt) + "'"
                       : std::string("unrecognized or ambiguous option '") + argv[std::size_t(optind - 1)] + "'";
            break;
        }
        int number = 0;
        parsed.error = badValue(*row, optarg, number);
        if (parsed.error.empty()) parsed.error = row->set(o, {optarg, number});
    }
    for (int i = optind; parsed.error.empty() && i < argc; ++i) o.files.emplace_back(argv[std::size_t(i)]);
    if (parsed.error.empty()) parsed.error = conflicts(o);
    return parsed;
}

std::string helpText() {
    return R"(Usage: kiriha-check [OPTION]... [FILE]...
Check which proxies in each FILE are alive: each proxy is asked for a page, and
it works when the page comes back with the expected text in it. Before the
first check the page is fetched directly, so that a network or a page that is
down does not read as dead proxies. With no FILE, or when FILE is -, read
standard input.

Lists are Shift_JIS text, one proxy per line (host:port, or a URL such as
socks5h://host:port); blank lines are skipped. Each finished check prints one
line, as it finishes: 死亡： (dead), ＯＫ： (working) or 中止： (aborted),
followed by the proxy.

)" + optionsHelp() +
           R"(
The first interrupt (Ctrl-C) or SIGTERM stops every check at once and prints
what they end with; a second one ends at once.

Exit status is 0 if a proxy works, 1 if none does, 2 on bad usage, an
unreadable list, a page that cannot be fetched directly or a write error, and
130 after an interrupt. The reasons and the JSON fields are in kiriha-check(1).
)";
}

std::string versionText() {
    return std::string("kiriha-check (霧葉) ") + kVersion + "\n";
}

std::string manualOptions() {
    std::string roff;
    for (const OptionRow& r : kRows) {
        const std::string name = "\\-\\-" + roffName(r.name);
        roff += ".TP\n";
        if (r.letter)
            roff += std::string(".BR \\-") + r.letter + " \", \" " + name + (r.argument ? "= " : "") + "\n";
        else
            roff += r.argument ? ".BI " + name + "= " + r.argument + "\n" : ".B " + name + "\n";
        roff += filled(r, r.manual) + "\n";
    }
    return roff;
}

std::string completionValues() {
    // One arm per set of options that offer the same, in the order of the table.
    std::vector<std::pair<std::string, std::vector<std::string>>> arms;  // what is offered, and after which options
    for (const OptionRow& r : kRows) {
        if (!r.argument) continue;
        std::string offer = "            return\n";  // a URL or a text of the user's own: nothing to offer
        if (r.kind == Kind::File) offer = "            _filedir '" + std::string(r.offers) + "'\n            return\n";
        if (r.kind == Kind::Choice)
            offer = "            COMPREPLY=($(compgen -W '" + std::string(r.offers) +
                    "' -- \"$cur\"))\n            return\n";
        if (r.kind == Kind::Seconds || r.kind == Kind::Retries || r.kind == Kind::Rate)
            offer = "            COMPREPLY=($(compgen -W '" + offered(r.kind) + "' -- \"$cur\"))\n            return\n";
        const auto arm = std::find_if(arms.begin(), arms.end(), [&](const auto& a) { return a.first == offer; });
        if (arm == arms.end())
            arms.push_back({offer, {std::string("--") + r.name}});
        else
            arm->second.push_back(std::string("--") + r.name);
    }
    std::string bash;
    for (const auto& [offer, names] : arms) {
        std::string pattern;
        for (const std::string& n : names) pattern += (pattern.empty() ? "" : " | ") + n;
        bash += "        " + pattern + ")\n" + offer + "            ;;\n";
    }
    return bash;
}

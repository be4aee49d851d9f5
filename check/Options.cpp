#include "check/Options.h"

#include <getopt.h>

#include <charconv>
#include <string>
#include <vector>

#include "engine/rules/Urls.h"
#include "kiriha/Version.h"

namespace {

bool number(const char* text, int low, int high, int& out) {
    const std::string_view s(text ? text : "");
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size() && out >= low && out <= high;
}

bool seconds(const char* text, std::optional<std::chrono::seconds>& out) {
    int n = 0;
    if (!number(text, 1, 60, n)) return false;
    out = std::chrono::seconds(n);
    return true;
}

// A code above the letters for each option without one.
enum LongOnly {
    kCp932Option = 256,
    kRateOption,
    kTimeoutOption,
    kConnectTimeoutOption,
    kIdleTimeoutOption,
    kVersionOption,
    kUrlOption,
    kExpectOption,
    kCaCertOption,
    kJsonOption,
    kWhyOption,
    kNoPreflightOption,
    kDetectOption,
    kRetriesOption,
};

// Every option once, in the order --help lists them: what getopt_long reads and what --help says come from here.
struct OptionRow {
    const char* name;
    int code;              // its letter, or its LongOnly code
    const char* argument;  // what --help calls its argument; null for none
    const char* help;      // lines broken with '\n'
};
constexpr OptionRow kOptionRows[] = {
    {"working", 'w', nullptr, "print only the working proxies, without prefix"},
    {"why", kWhyOption, nullptr, "add a tab, the reason and the time to each line"},
    {"json", kJsonOption, nullptr, "print one JSON object per check (JSON Lines)"},
    {"cp932", kCp932Option, nullptr,
     "write Shift_JIS bytes with CR LF line breaks, exactly\nas the window's result list holds them (default: UTF-8)"},
    {"url", kUrlOption, "URL", "the page to ask for, http:// or https://\n(default: http://www.apple.com/)"},
    {"expect", kExpectOption, "TEXT",
     "the text a working proxy's page holds, case-sensitive\n(default: Apple Inc. All rights reserved.)"},
    {"cacert", kCaCertOption, "FILE", "trust the certificates in FILE instead of the system's"},
    {"no-preflight", kNoPreflightOption, nullptr, "do not fetch the page directly before the checks"},
    {"detect", kDetectOption, nullptr,
     "find the protocol of a proxy without a scheme: http,\nthen socks5, then socks4"},
    {"retries", kRetriesOption, "N",
     "try a check again up to N times, 0 to 5, after a\nconnect or idle time-out or a reset (default: 0)"},
    {"rate", kRateOption, "N", "start N checks a second, 1 to 10000 (default: 10)"},
    {"timeout", kTimeoutOption, "S", "give up a check after S seconds, 1 to 60 (default: 60)"},
    {"connect-timeout", kConnectTimeoutOption, "S", "give up a connection after S seconds (default: 15)"},
    {"idle-timeout", kIdleTimeoutOption, "S", "give up a check silent for S seconds (default: 30)"},
    {"quiet", 'q', nullptr, "no progress line and no summary on standard error"},
    {"help", 'h', nullptr, "display this help and exit"},
    {"version", kVersionOption, nullptr, "output version information and exit"},
};

std::vector<option> getoptTable() {
    std::vector<option> table;
    for (const OptionRow& r : kOptionRows)
        table.push_back({r.name, r.argument ? required_argument : no_argument, nullptr, r.code});
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
}

std::string shortOptions() {
    std::string letters = ":";  // a missing argument is told apart from an unknown option
    for (const OptionRow& r : kOptionRows)
        if (r.code < kCp932Option) letters += char(r.code) + std::string(r.argument ? ":" : "");
    return letters;
}

// The options' part of --help, in the GNU layout: the help in a column of its own.
std::string optionsHelp() {
    constexpr std::size_t kColumn = 24;
    std::string text;
    for (const OptionRow& r : kOptionRows) {
        std::string left = r.code < kCp932Option ? std::string("  -") + char(r.code) + ", --" : "      --";
        left += r.name;
        if (r.argument) left += std::string("=") + r.argument;
        left += left.size() + 2 <= kColumn ? std::string(kColumn - left.size(), ' ') : "  ";
        std::string help = r.help;
        for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += kColumn + 1)
            help.insert(at + 1, kColumn, ' ');
        text += left + help + "\n";
    }
    return text;
}

std::string badSeconds(const char* option, const char* value) {
    return std::string("invalid ") + option + " '" + value + "': a whole number of seconds from 1 to 60";
}

}  // namespace

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
        int n = 0;
        switch (c) {
            case 'w':
                o.workingOnly = true;
                break;
            case 'q':
                o.quiet = true;
                break;
            case 'h':
                o.help = true;
                break;
            case kCp932Option:
                o.cp932 = true;
                break;
            case kVersionOption:
                o.version = true;
                break;
            case kRateOption:
                if (!number(optarg, 1, kMaxRate, n))
                    parsed.error = std::string("invalid rate '") + optarg +
                                   "': a whole number of checks a second from 1 to " + std::to_string(kMaxRate);
                o.rate = n;
                break;
            case kTimeoutOption:
                if (!seconds(optarg, o.timeout)) parsed.error = badSeconds("timeout", optarg);
                break;
            case kConnectTimeoutOption:
                if (!seconds(optarg, o.connectTimeout)) parsed.error = badSeconds("connect timeout", optarg);
                break;
            case kIdleTimeoutOption:
                if (!seconds(optarg, o.idleTimeout)) parsed.error = badSeconds("idle timeout", optarg);
                break;
            case kRetriesOption:
                if (!number(optarg, 0, kMaxRetries, o.retries))
                    parsed.error = std::string("invalid retries '") + optarg + "': a whole number from 0 to " +
                                   std::to_string(kMaxRetries);
                break;
            case kUrlOption:
                if (const std::string why = webUrlProblem(optarg); !why.empty())
                    parsed.error = std::string("invalid URL '") + optarg + "': " + why;
                o.url = optarg;
                break;
            case kExpectOption:
                if (!*optarg) parsed.error = "the expected text is empty: every page would hold it";
                o.expect = optarg;
                break;
            case kCaCertOption:
                o.caFile = optarg;
                break;
            case kJsonOption:
                o.json = true;
                break;
            case kWhyOption:
                o.why = true;
                break;
            case kNoPreflightOption:
                o.preflight = false;
                break;
            case kDetectOption:
                o.detect = true;
                break;
            case ':':
                parsed.error = optopt > 0 && optopt < kCp932Option  // a short option's letter, not a long one's code
                                   ? std::string("option requires an argument -- '") + char(optopt) + "'"
                                   : std::string("option '") + argv[optind - 1] + "' requires an argument";
                break;
            default:
                parsed.error = optopt ? std::string("invalid option -- '") + char(optopt) + "'"
                                      : std::string("unrecognized or ambiguous option '") + argv[optind - 1] + "'";
        }
    }
    for (int i = optind; parsed.error.empty() && i < argc; ++i) o.files.emplace_back(argv[std::size_t(i)]);
    if (parsed.error.empty() && o.json && (o.cp932 || o.why))
        parsed.error = std::string("--json cannot be used with ") + (o.cp932 ? "--cp932" : "--why");
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

#include "check/Options.h"

#include <getopt.h>

#include <charconv>

#include "kiriha/Version.h"

namespace {

bool number(const char* text, int low, int high, int& out) {
    const std::string_view s(text ? text : "");
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size() && out >= low && out <= high;
}

enum LongOnly { kCp932Option = 256, kRateOption, kTimeoutOption, kVersionOption };

const option kOptions[] = {
    {"working", no_argument, nullptr, 'w'},
    {"cp932", no_argument, nullptr, kCp932Option},
    {"rate", required_argument, nullptr, kRateOption},
    {"timeout", required_argument, nullptr, kTimeoutOption},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersionOption},
    {nullptr, 0, nullptr, 0},
};

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
    for (int c; parsed.error.empty() && (c = getopt_long(argc, argv.data(), ":wqh", kOptions, nullptr)) != -1;) {
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
                if (!number(optarg, 1, 60, n))
                    parsed.error =
                        std::string("invalid timeout '") + optarg + "': a whole number of seconds from 1 to 60";
                o.timeout = std::chrono::seconds(n);
                break;
            case ':':
                parsed.error = optopt ? std::string("option requires an argument -- '") + char(optopt) + "'"
                                      : std::string("option '") + argv[optind - 1] + "' requires an argument";
                break;
            default:
                parsed.error = optopt ? std::string("invalid option -- '") + char(optopt) + "'"
                                      : std::string("unrecognized or ambiguous option '") + argv[optind - 1] + "'";
        }
    }
    for (int i = optind; parsed.error.empty() && i < argc; ++i) o.files.emplace_back(argv[std::size_t(i)]);
    return parsed;
}

std::string helpText() {
    return R"(Usage: kiriha-check [OPTION]... [FILE]...
Check which HTTP proxies in each FILE are alive: each proxy is asked for a fixed
test page, and it works when the page comes back with its marker phrase.
With no FILE, or when FILE is -, read standard input.

Lists are Shift_JIS text, one proxy per line (host:port, or a URL such as
socks5h://host:port); blank lines are skipped. Each finished check prints one
line, as it finishes: 死亡： (dead), ＯＫ： (working) or 中止： (aborted),
followed by the proxy.

  -w, --working     print only the working proxies, without prefix
      --cp932       write Shift_JIS bytes with CR LF line breaks, exactly as
                    the window's result list holds them (default: UTF-8)
      --rate=N      start N checks a second, 1 to 10000 (default: 10)
      --timeout=S   give up a check after S seconds, 1 to 60 (default: 60)
  -q, --quiet       no progress line and no summary on standard error
  -h, --help        display this help and exit
      --version     output version information and exit

The first interrupt (Ctrl-C) or SIGTERM stops every check at once and prints
what they end with; a second one ends at once.

Exit status is 0 if a proxy works, 1 if none does, 2 on bad usage, an
unreadable list or a write error, and 130 after an interrupt.
)";
}

std::string versionText() {
    return std::string("kiriha-check (霧葉) ") + kVersion + "\n";
}

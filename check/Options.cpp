#include "check/Options.h"

#include <charconv>

namespace {

bool number(const std::string& text, int low, int high, int& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && out >= low && out <= high;
}

}  // namespace

ParsedArguments parseArguments(const std::vector<std::string>& args) {
    ParsedArguments parsed;
    CheckOptions& o = parsed.options;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size() && parsed.error.empty(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg == "-" || !arg.starts_with("-")) {
            o.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg.starts_with("--")) {
            const auto eq = arg.find('=');
            const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            const bool takesValue = name == "rate" || name == "timeout";
            std::string value;
            if (takesValue) {
                if (eq != std::string::npos) {
                    value = arg.substr(eq + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    parsed.error = "option '--" + name + "' requires an argument";
                    break;
                }
            } else if (eq != std::string::npos) {
                parsed.error = "option '--" + name + "' doesn't allow an argument";
                break;
            }
            int n = 0;
            if (name == "working") {
                o.workingOnly = true;
            } else if (name == "cp932") {
                o.cp932 = true;
            } else if (name == "quiet") {
                o.quiet = true;
            } else if (name == "help") {
                o.help = true;
            } else if (name == "version") {
                o.version = true;
            } else if (name == "rate") {
                if (!number(value, 1, 100, n))
                    parsed.error = "invalid rate '" + value + "': a whole number of checks a second from 1 to 100";
                o.rate = n;
            } else if (name == "timeout") {
                if (!number(value, 1, 60, n))
                    parsed.error = "invalid timeout '" + value + "': a whole number of seconds from 1 to 60";
                o.timeout = std::chrono::seconds(n);
            } else {
                parsed.error = "unrecognized option '" + arg + "'";
            }
            continue;
        }
        for (std::size_t k = 1; k < arg.size() && parsed.error.empty(); ++k) {  // -wq
            switch (arg[k]) {
                case 'w':
                    o.workingOnly = true;
                    break;
                case 'q':
                    o.quiet = true;
                    break;
                case 'h':
                    o.help = true;
                    break;
                default:
                    parsed.error = std::string("invalid option -- '") + arg[k] + "'";
            }
        }
    }
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
      --rate=N      start N checks a second, 1 to 100 (default: 10)
      --timeout=S   give up a check after S seconds, 1 to 60 (default: 60)
  -q, --quiet       no progress line and no summary on standard error
  -h, --help        display this help and exit
      --version     output version information and exit

The first interrupt (Ctrl-C) or SIGTERM stops the checks and prints what they
end with; a second one ends at once.

Exit status is 0 if a proxy works, 1 if none does, 2 on bad usage or an
unreadable list, and 130 after an interrupt.
)";
}

std::string versionText() {
    return "kiriha-check (霧葉) 1.00\n";
}

#include "check/CheckOptions.h"

#include <string>

#include "cli/Messages.h"

namespace {

using K = OptionKind;

template <class Options, bool Options::*field>
std::string turnOn(Options& o, const OptionArgument&) {
    o.*field = true;
    return {};
}

using C = CheckOptions;

template <bool CheckOptions::*field>
OptionRow<C> flag(const char* name, char letter, const char* help, const char* manual) {
    return {{name, letter, K::Switch, nullptr, help, manual}, turnOn<C, field>};
}

const std::vector<OptionRow<C>>& checkRows() {
    static const std::vector<OptionRow<C>> rows = [] {
        std::vector<OptionRow<C>> r = {
            flag<&C::workingOnly>("working", 'w', "print only the working proxies, without prefix",
                                  "Print only the working proxies, without prefix: the list the window's Tidy "
                                  "leaves."),
            flag<&C::why>("why", 0, "add a tab, the reason and the time to each line",
                          "After each line, a tab, the reason (see\n.BR REASONS )\nand the whole time of the check:\n"
                          ".BR \"死亡：1.2.3.4:80\\fR<TAB>\\fBrefused 3 ms\" ;\nwith\n.BR \\-\\-judge ,\nthen the "
                          "anonymity and the exit address."),
            flag<&C::json>("json", 0, "print one JSON object per check (JSON Lines)",
                           "Write one JSON object per finished check, one per line (JSON Lines), each written whole "
                           "as the check ends; see\n.BR \"JSON FIELDS\" .\nNot with\n.B \\-\\-cp932\nor\n"
                           ".BR \\-\\-why ."),
            flag<&C::cp932>("cp932", 0,
                            "write Shift_JIS bytes with CR LF line breaks, exactly\nas the window's result list "
                            "holds them (default: UTF-8)",
                            "Write the window's own bytes: Shift_JIS, lines ending in CR LF, exactly as the window's "
                            "result list holds them. Without it the lines are UTF-8, ending in LF."),
        };
        const auto run = lifted(runRows(), &C::run);
        r.insert(r.end(), run.begin(), run.end());
        r.push_back(flag<&C::quiet>("quiet", 'q', "no progress line and no summary on standard error",
                                    "No progress line and no summary on standard error."));
        r.push_back(flag<&C::help>("help", 'h', "display this help and exit", "Show a summary of the options."));
        r.push_back(flag<&C::version>("version", 0, "output version information and exit", "Show the version."));
        return r;
    }();
    return rows;
}

}  // namespace

std::vector<OptionDesc> checkDescs() {
    return descsOf(checkRows());
}

ParsedArguments parseArguments(const std::vector<std::string>& args) {
    ParsedArguments parsed;
    CheckOptions& o = parsed.options;
    parsed.error = parseOptions(checkRows(), kProgramName, args, o, o.files);
    if (!parsed.error.empty()) return parsed;
    if (o.json && (o.cp932 || o.why))
        parsed.error = format(_("--json cannot be used with %s"), o.cp932 ? "--cp932" : "--why");
    else
        parsed.error = runConflicts(o.run);
    return parsed;
}

std::string helpText() {
    return wrapped(_(R"(Usage: kiriha-check [OPTION]... [FILE]...
Check which proxies in each FILE are alive: each proxy is asked for a page, and
it works when the page comes back with the expected text in it. Before the
first check the page is fetched directly, so that a network or a page that is
down does not read as dead proxies. With no FILE, or when FILE is -, read
standard input.

Lists are Shift_JIS text, one proxy per line (host:port, or a URL such as
socks5h://host:port); blank lines are skipped. Each finished check prints one
line, as it finishes: 死亡： (dead), ＯＫ： (working) or 中止： (aborted),
followed by the proxy.
)"),
                   kHelpWidth) +
           "\n" + optionsHelp(checkDescs()) + "\n" +
           wrapped(_(R"(The first interrupt (Ctrl-C) or SIGTERM stops every check at once and prints
what they end with; a second one ends at once.

Exit status is 0 if a proxy works, 1 if none does, 2 on bad usage, an
unreadable list, a page that cannot be fetched directly or a write error, and
130 after an interrupt. The reasons and the JSON fields are in kiriha-check(1).
)"),
                   kHelpWidth);
}

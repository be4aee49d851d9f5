#include "cli/OptionTable.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <optional>
#include <set>
#include <utility>

#include "cli/Diagnostics.h"
#include "cli/Messages.h"
#include "engine/rules/CheckSettings.h"
#include "engine/rules/ProbeRules.h"
#include "engine/rules/Urls.h"

namespace {

constexpr int kLongOnly = 256;  // getopt_long's code of a long option without a letter: its row, above the letters

struct Range {
    long long low, high;
};

long long secondsOf(std::chrono::milliseconds ms) {
    return std::chrono::duration_cast<std::chrono::seconds>(ms).count();
}

Range rangeOf(const OptionDesc& s) {
    switch (s.kind) {
        case OptionKind::Seconds:
            return {1, secondsOf(CheckLimits{}.total)};  // a limit may only be lowered
        case OptionKind::Retries:
            return {0, 5};
        case OptionKind::Rate:
            return {1, 10000};
        case OptionKind::Count:
        case OptionKind::Duration:
            return {s.low, s.high};
        default:
            return {0, 0};
    }
}

int codeOf(const std::vector<OptionDesc>& descs, std::size_t row) {
    return descs[row].letter ? descs[row].letter : kLongOnly + int(row);
}

std::string replaced(std::string text, const std::string& mark, const std::string& by) {
    for (std::size_t at = 0; (at = text.find(mark, at)) != std::string::npos; at += by.size())
        text.replace(at, mark.size(), by);
    return text;
}

std::string rangeText(const OptionDesc& s) {
    const Range r = rangeOf(s);
    const std::string low = s.kind == OptionKind::Duration ? durationText(r.low) : std::to_string(r.low);
    const std::string high = s.kind == OptionKind::Duration ? durationText(r.high) : std::to_string(r.high);
    // TRANSLATORS: an option's range of values, as in "1 to 10000" or "1s to 24h".
    return format(_("%s to %s"), low.c_str(), high.c_str());
}

// A row's text with its range and default filled in.
std::string filled(const OptionDesc& s, const char* text) {
    return replaced(replaced(text, "%r", rangeText(s)), "%d", s.byDefault ? s.byDefault() : "");
}

// A whole number in `text`, or nothing.
std::optional<long long> wholeNumber(std::string_view text) {
    long long n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return n;
}

}  // namespace

std::optional<long long> durationMs(std::string_view text) {
    long long unit = 1000;
    if (text.ends_with("ms")) {
        unit = 1, text.remove_suffix(2);
    } else if (text.ends_with('s')) {
        text.remove_suffix(1);
    } else if (text.ends_with('m')) {
        unit = 60'000, text.remove_suffix(1);
    } else if (text.ends_with('h')) {
        unit = 3'600'000, text.remove_suffix(1);
    }
    const auto n = wholeNumber(text);
    if (!n || *n < 0 || *n > (1LL << 40)) return std::nullopt;
    return *n * unit;
}

namespace {

bool isAddress(std::string_view s) {
    const auto colon = s.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    const auto port = wholeNumber(s.substr(colon + 1));
    std::string_view host = s.substr(0, colon);
    if (host.front() == '[') {
        if (host.back() != ']' || host.size() < 3) return false;
    } else if (host.find(':') != std::string_view::npos) {
        return false;  // an IPv6 address without brackets
    }
    return port && *port >= 1 && *port <= 65535;
}

// The usage error for a value a row cannot take, or nothing; `number` is read where the row takes one.
std::string badValue(const OptionDesc& s, const char* text, long long& number) {
    const Range range = rangeOf(s);
    const std::string_view v(text ? text : "");
    const std::string label = s.kind == OptionKind::Url ? "URL" : replaced(s.name, "-", " ");
    const std::string value = escapeForTerminal(v);
    // TRANSLATORS: a value an option cannot take: the option's name (as "rate" or "URL"), the value, and what it
    // should be.
    const auto invalid = [&](const std::string& what) {
        return format(_("invalid %s '%s': %s"), label.c_str(), value.c_str(), what.c_str());
    };
    switch (s.kind) {
        case OptionKind::Seconds:
        case OptionKind::Retries:
        case OptionKind::Rate:
        case OptionKind::Count: {
            const auto n = wholeNumber(v);
            if (n && *n >= range.low && *n <= range.high) {
                number = *n;
                return {};
            }
            const std::string range = rangeText(s);
            if (s.kind == OptionKind::Seconds)
                return invalid(format(_("a whole number of seconds from %s"), range.c_str()));
            if (s.kind == OptionKind::Rate)
                return invalid(format(_("a whole number of checks a second from %s"), range.c_str()));
            return invalid(format(_("a whole number from %s"), range.c_str()));
        }
        case OptionKind::Duration: {
            const auto ms = durationMs(v);
            if (ms && *ms >= range.low && *ms <= range.high) {
                number = *ms;
                return {};
            }
            return invalid(format(_("a duration such as 30s, 10m or 1h, from %s"), rangeText(s).c_str()));
        }
        case OptionKind::Url:
            if (const std::string why = webUrlProblem(std::string(v)); !why.empty()) return invalid(_(why.c_str()));
            return {};
        case OptionKind::File:
            return v.empty() ? invalid(_("an empty file name")) : "";
        case OptionKind::Address:
            return isAddress(v) ? "" : invalid(_("HOST:PORT, an IPv6 address in brackets"));
        default:
            return {};
    }
}

// A name as roff writes it: hyphens are minus signs, so that it can be copied and searched for.
std::string roffName(const std::string& name) {
    return replaced(name, "-", "\\-");
}

// The values the completion offers after an option of each kind: the range's ends and the defaults between.
std::string offered(const OptionDesc& s) {
    const Range range = rangeOf(s);
    if (s.kind == OptionKind::Duration) {
        std::string words = durationText(range.low);
        if (s.byDefault) words += " " + s.byDefault();
        return words + " " + durationText(range.high);
    }
    std::set<long long> values{range.low, range.high};
    if (s.kind == OptionKind::Retries)
        for (long long n = range.low; n <= range.high; ++n) values.insert(n);
    if (s.kind == OptionKind::Rate) values.insert({kWaveSize, 100, 1000, 5000});
    if (s.kind == OptionKind::Seconds) {
        const CheckLimits limits;
        values.insert({5, 10, secondsOf(limits.connect), secondsOf(limits.idle)});
    }
    if (s.kind == OptionKind::Count && s.byDefault) values.insert(std::stoll(s.byDefault()));
    std::string words;
    for (const long long v : values) words += (words.empty() ? "" : " ") + std::to_string(v);
    return words;
}

}  // namespace

std::string durationText(long long ms) {
    if (ms != 0 && ms % 3'600'000 == 0) return std::to_string(ms / 3'600'000) + "h";
    if (ms != 0 && ms % 60'000 == 0) return std::to_string(ms / 60'000) + "m";
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + "s";
    return std::to_string(ms) + "ms";
}

std::string parseOptions(const std::vector<OptionDesc>& descs, const char* program,
                         const std::vector<std::string>& args,
                         const std::function<std::string(std::size_t, const OptionArgument&)>& set,
                         std::vector<std::string>& operands) {
    std::vector<std::string> copies{program};
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(copies.size());

    std::vector<option> table;
    std::string letters = ":";  // a missing argument is told apart from an unknown option
    for (std::size_t i = 0; i < descs.size(); ++i) {
        table.push_back(
            {descs[i].name, descs[i].argument ? required_argument : no_argument, nullptr, codeOf(descs, i)});
        if (descs[i].letter) letters += std::string(1, descs[i].letter) + (descs[i].argument ? ":" : "");
    }
    table.push_back({nullptr, 0, nullptr, 0});
    const auto rowOf = [&](int code) {
        std::size_t i = 0;
        while (i < descs.size() && codeOf(descs, i) != code) ++i;
        return i;
    };

    optind = 0;  // a fresh scan (glibc), also when parsed before
    opterr = 0;  // the messages are ours, on the command's own error path
    for (int c; (c = getopt_long(argc, argv.data(), letters.c_str(), table.data(), nullptr)) != -1;) {
        const std::string word = escapeForTerminal(argv[std::size_t(optind - 1)]);
        if (c == ':') {
            if (optopt > 0 && optopt < kLongOnly && !word.starts_with("--"))
                return format(_("option requires an argument -- '%c'"), char(optopt));
            return format(_("option '%s' requires an argument"), word.c_str());
        }
        if (c == '?') {
            // getopt_long names a known option only when a switch was given a value (--json=1).
            if (const std::size_t row = rowOf(optopt); optopt != 0 && row < descs.size())
                return format(_("option '--%s' doesn't allow an argument"), descs[row].name);
            if (optopt != 0)
                return format(_("invalid option -- '%s'"), escapeForTerminal(std::string(1, char(optopt))).c_str());
            return format(_("unrecognized or ambiguous option '%s'"), word.c_str());
        }
        const std::size_t row = rowOf(c);
        long long number = 0;
        if (std::string error = badValue(descs[row], optarg, number); !error.empty()) return error;
        if (std::string error = set(row, {optarg, number}); !error.empty()) return error;
    }
    for (int i = optind; i < argc; ++i) operands.emplace_back(argv[std::size_t(i)]);
    return {};
}

std::string optionsHelp(const std::vector<OptionDesc>& descs) {
    constexpr std::size_t kColumn = 24;
    std::string text;
    for (const OptionDesc& s : descs) {
        std::string left = s.letter ? std::string("  -") + s.letter + ", --" : "      --";
        left += s.name;
        if (s.argument) left += std::string("=") + s.argument;
        left += left.size() + 2 <= kColumn ? std::string(kColumn - left.size(), ' ') : "  ";
        std::string help = wrapped(filled(s, _(s.help)), kHelpWidth - kColumn);
        for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += kColumn + 1)
            help.insert(at + 1, kColumn, ' ');
        text += left + help + "\n";
    }
    return text;
}

std::string manualOptions(const std::vector<OptionDesc>& descs,
                          const std::function<std::string(const char*)>& translated) {
    std::string roff;
    for (const OptionDesc& s : descs) {
        const std::string name = "\\-\\-" + roffName(s.name);
        roff += ".TP\n";
        if (s.letter)
            roff += std::string(".BR \\-") + s.letter + " \", \" " + name + (s.argument ? "= " : "") + "\n";
        else
            roff += s.argument ? ".BI " + name + "= " + s.argument + "\n" : ".B " + name + "\n";
        roff += filled(s, translated ? translated(s.manual).c_str() : s.manual) + "\n";
    }
    return roff;
}

std::string completionValues(const std::vector<OptionDesc>& descs) {
    // One arm per set of options that offer the same, in the order of the table.
    std::vector<std::pair<std::string, std::vector<std::string>>> arms;  // what is offered, and after which options
    for (const OptionDesc& s : descs) {
        if (!s.argument) continue;
        std::string offer = "            return\n";  // a URL or a text of the user's own: nothing to offer
        if (s.kind == OptionKind::File)
            offer = "            _filedir" + (s.offers ? " '" + std::string(s.offers) + "'" : "") +
                    "\n            return\n";
        if (s.kind == OptionKind::Choice)
            offer = "            COMPREPLY=($(compgen -W '" + std::string(s.offers) +
                    "' -- \"$cur\"))\n            return\n";
        if (s.kind == OptionKind::Seconds || s.kind == OptionKind::Retries || s.kind == OptionKind::Rate ||
            s.kind == OptionKind::Count || s.kind == OptionKind::Duration)
            offer = "            COMPREPLY=($(compgen -W '" + offered(s) + "' -- \"$cur\"))\n            return\n";
        const auto arm = std::find_if(arms.begin(), arms.end(), [&](const auto& a) { return a.first == offer; });
        std::vector<std::string> names{std::string("--") + s.name};
        if (s.letter) names.push_back(std::string("-") + s.letter);
        if (arm == arms.end())
            arms.push_back({offer, names});
        else
            arm->second.insert(arm->second.end(), names.begin(), names.end());
    }
    std::string bash;
    for (const auto& [offer, names] : arms) {
        std::string pattern;
        for (const std::string& n : names) pattern += (pattern.empty() ? "" : " | ") + n;
        bash += "        " + pattern + ")\n" + offer + "            ;;\n";
    }
    return bash;
}

bool fillMark(std::string& out, const std::string& mark, const std::string& text) {
    const auto at = out.find(mark);
    if (at == std::string::npos || out.find(mark, at + 1) != std::string::npos) return false;
    out.replace(at, mark.size(), text);
    return true;
}

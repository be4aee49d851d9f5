#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The options of both commands as one kind of table: each row's name, letter, kind of value (and so its range and
// how the completion offers it), default and meaning. getopt_long, --help, the manual's OPTIONS and the completion's
// values are all written from the rows; rows that both commands take are written once and lifted into each table.

enum class OptionKind {
    Switch,
    Seconds,   // a whole number of seconds, up to the limit no check passes
    Retries,   // a small count
    Rate,      // checks a second
    Count,     // a whole number within the row's range
    Duration,  // a number with s, m or h (seconds without), within the row's range in milliseconds
    Url,       // an http:// or https:// page
    Text,      // any text
    File,      // a file's name, not empty
    Choice,    // one of a few words
    Address,   // HOST:PORT, an IPv6 address in brackets
};

// An option's value as read: the text, and its number where it takes one (milliseconds for a duration).
struct OptionArgument {
    const char* text;
    long long number;
};

struct OptionDesc {
    const char* name;
    char letter;  // 0: a long option only
    OptionKind kind;
    const char* argument;                  // what --help calls the value; null for a switch
    const char* help;                      // --help's lines, '\n' between; %r is the range, %d the default
    const char* manual;                    // roff, likewise
    std::string (*byDefault)() = nullptr;  // the default as shown, or null
    const char* offers = nullptr;          // for a file, the names the completion offers; for a choice, its words
    long long low = 0, high = 0;           // the range of a count or a duration
};

template <class Options>
struct OptionRow {
    OptionDesc desc;
    std::function<std::string(Options&, const OptionArgument&)> set;  // the usage error, or nothing
};

// Rows of a member of `Options` (the checks' own options, which both commands take), as rows of the whole.
template <class Options, class Member>
std::vector<OptionRow<Options>> lifted(const std::vector<OptionRow<Member>>& rows, Member Options::*member) {
    std::vector<OptionRow<Options>> out;
    for (const OptionRow<Member>& r : rows)
        out.push_back(
            {r.desc, [set = r.set, member](Options& o, const OptionArgument& a) { return set(o.*member, a); }});
    return out;
}

template <class Options>
std::vector<OptionDesc> descsOf(const std::vector<OptionRow<Options>>& rows) {
    std::vector<OptionDesc> descs;
    for (const auto& r : rows) descs.push_back(r.desc);
    return descs;
}

// getopt_long over the rows: each value checked against its kind and handed to its row's `set`; the operands into
// `operands`. The usage error, or empty.
std::string parseOptions(const std::vector<OptionDesc>& descs, const char* program,
                         const std::vector<std::string>& args,
                         const std::function<std::string(std::size_t row, const OptionArgument&)>& set,
                         std::vector<std::string>& operands);

template <class Options>
std::string parseOptions(const std::vector<OptionRow<Options>>& rows, const char* program,
                         const std::vector<std::string>& args, Options& options, std::vector<std::string>& operands) {
    return parseOptions(
        descsOf(rows), program, args,
        [&](std::size_t row, const OptionArgument& a) { return rows[row].set(options, a); }, operands);
}

std::string optionsHelp(const std::vector<OptionDesc>& descs);  // --help's option lines, in the GNU layout
// The manual's OPTIONS section, roff, each meaning as `translated` gives it (as written, by default).
std::string manualOptions(const std::vector<OptionDesc>& descs,
                          const std::function<std::string(const char*)>& translated = {});
std::string completionValues(const std::vector<OptionDesc>& descs);  // the bash completion's value arms

// A duration as the options write it: 90s, 10m, 1h.
std::string durationText(long long ms);
// And read back, in milliseconds (a bare number is seconds; 500ms too): nothing when it is none.
std::optional<long long> durationMs(std::string_view text);

// Puts `text` where `mark` is in `out`, once; false when `out` has the mark other than once.
bool fillMark(std::string& out, const std::string& mark, const std::string& text);

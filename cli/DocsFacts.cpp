#include "cli/DocsFacts.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/OptionTable.h"
#include "engine/rules/CountryDb.h"
#include "engine/rules/CurlOptions.h"
#include "engine/rules/Judge.h"
#include "lists/ListFile.h"

namespace {

std::string revealing() {
    std::string roff;
    for (const std::string_view name : revealingHeaders())
        roff += (roff.empty() ? ".BR " : ",\n.BR ") + std::string(name);
    return roff + "\n";
}

// The usual places, as the manual's FILES list them.
std::string usualPlaces() {
    std::string roff;
    for (const std::string& file : usualCountryDbs()) {
        std::string name;
        for (const char c : file) name += c == '-' ? std::string("\\-") : std::string(1, c);
        roff += ".IR " + name + " ,\n";
    }
    return roff;
}

}  // namespace

bool fillFacts(std::string& manual) {
    const std::vector<std::pair<std::string, std::string>> facts = {
        {"list-limit", std::to_string(kMaxListBytes >> 20) + " MiB"},
        {"redirects", std::to_string(kMaxRedirects)},
        {"echo-limit", std::to_string(kMaxEcho / 1024) + " KiB"},
        {"echo-depth", std::to_string(kMaxEchoDepth)},
    };
    for (std::size_t at = 0; (at = manual.find("{{", at)) != std::string::npos;) {
        const std::size_t end = manual.find("}}", at);
        if (end == std::string::npos) return false;
        const std::string name = manual.substr(at + 2, end - at - 2);
        const auto fact = std::find_if(facts.begin(), facts.end(), [&](const auto& f) { return f.first == name; });
        if (fact == facts.end()) return false;
        manual.replace(at, end + 2 - at, fact->second);
        at += fact->second.size();
    }
    const bool hasRevealing = manual.find(".\\\" REVEALING HEADERS FROM THE TABLE\n") != std::string::npos;
    const bool hasPlaces = manual.find(".\\\" COUNTRY DATABASES FROM THE TABLE\n") != std::string::npos;
    return (!hasRevealing || fillMark(manual, ".\\\" REVEALING HEADERS FROM THE TABLE\n", revealing())) &&
           (!hasPlaces || fillMark(manual, ".\\\" COUNTRY DATABASES FROM THE TABLE\n", usualPlaces()));
}

namespace {

std::string unescaped(std::string_view quoted) {
    std::string out;
    for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
        if (quoted[i] != '\\' || i + 2 >= quoted.size()) {
            out += quoted[i];
            continue;
        }
        const char c = quoted[++i];
        out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
    return out;
}

// A catalogue's translations, by message: the ones neither fuzzy nor empty nor plural.
std::map<std::string, std::string> readCatalogue(const std::string& file) {
    std::map<std::string, std::string> out;
    std::ifstream in(file);
    std::string id, str, flags, *into = nullptr;
    bool plural = false;
    const auto keep = [&] {
        if (!id.empty() && !str.empty() && !plural && flags.find("fuzzy") == std::string::npos) out[id] = str;
        id.clear(), str.clear(), flags.clear(), plural = false, into = nullptr;
    };
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("#,")) {
            if (into == &str) keep();
            flags += line;
        } else if (line.starts_with("msgid_plural")) {
            plural = true, into = nullptr;
        } else if (line.starts_with("msgid ")) {
            if (into == &str) keep();
            id = unescaped(line.substr(6)), into = &id;
        } else if (line.starts_with("msgstr ")) {
            str = unescaped(line.substr(7)), into = &str;
        } else if (line.starts_with("\"") && into) {
            *into += unescaped(line);
        } else if (line.empty() && into == &str) {
            keep();
        }
    }
    keep();
    return out;
}

std::string poString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n\"\n\"";
            continue;
        }
        out += c;
    }
    out += '"';
    if (out.ends_with("\n\"\"")) out.erase(out.size() - 3);
    return text.find('\n') != std::string_view::npos ? "\"\"\n" + out : out;
}

// The command a documentation tool documents: its own name without "-docs".
std::string commandOf(const char* tool) {
    std::string name = std::filesystem::path(tool).filename().string();
    if (name.ends_with("-docs")) name.resize(name.size() - 5);
    return name;
}

// The table's texts as a catalogue template: where each is used, that %r and %d are the table's own marks.
std::string tableTemplate(const std::vector<OptionDesc>& descs, const std::string& program) {
    std::string pot = "msgid \"\"\nmsgstr \"\"\n\"Content-Type: text/plain; charset=UTF-8\\n\"\n\n";
    std::set<std::string> seen;
    for (const OptionDesc& d : descs)
        for (const auto& [text, where] :
             {std::pair<const char*, const char*>{d.help, "--help"}, {d.manual, "manual"}}) {
            if (!text || !seen.insert(text).second) continue;
            pot += std::string("#. TRANSLATORS: ") + program + " --" + d.name + ", in its " + where +
                   (std::string_view(where) == "manual" ? " (roff)" : " (lines of at most 56 columns)") +
                   "; %r is the range, %d the default\n#, no-c-format\nmsgid " + poString(text) + "\nmsgstr \"\"\n\n";
        }
    return pot;
}

}  // namespace

int writeDocs(int argc, char** argv, const std::vector<OptionDesc>& descs,
              const std::function<bool(std::string&, const Translated&)>& more) {
    if (argc == 3 && std::string_view(argv[1]) == "pot") {
        std::ofstream(argv[2], std::ios::binary) << tableTemplate(descs, commandOf(argv[0]));
        return 0;
    }
    if (argc != 4 && !(argc == 5 && std::string_view(argv[1]) == "manual")) return 2;
    const std::string what = argv[1];
    std::ifstream in(argv[2], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string out = text.str();
    const std::map<std::string, std::string> catalogue = argc == 5 ? readCatalogue(argv[4]) : decltype(catalogue){};
    const Translated translated = [&](const char* s) {
        const auto it = catalogue.find(s);
        return it == catalogue.end() ? std::string(s) : it->second;
    };
    const bool filled = what == "manual"
                            ? fillMark(out, ".\\\" OPTIONS FROM THE TABLE\n", manualOptions(descs, translated)) &&
                                  fillFacts(out) && (!more || more(out, translated))
                            : fillMark(out, "        # VALUES FROM THE TABLE\n", completionValues(descs));
    if (!filled) {
        std::cerr << argv[2] << ": each mark must be there once, and each fact known\n";
        return 1;
    }
    std::ofstream(argv[3], std::ios::binary) << out;
    return 0;
}

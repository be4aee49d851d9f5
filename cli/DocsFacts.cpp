#include "cli/DocsFacts.h"

#include <algorithm>
#include <fstream>
#include <iostream>
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

int writeDocs(int argc, char** argv, const std::vector<OptionDesc>& descs,
              const std::function<bool(std::string&)>& more) {
    if (argc != 4) return 2;
    const std::string what = argv[1];
    std::ifstream in(argv[2], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string out = text.str();
    const bool filled = what == "manual" ? fillMark(out, ".\\\" OPTIONS FROM THE TABLE\n", manualOptions(descs)) &&
                                               fillFacts(out) && (!more || more(out))
                                         : fillMark(out, "        # VALUES FROM THE TABLE\n", completionValues(descs));
    if (!filled) {
        std::cerr << argv[2] << ": each mark must be there once, and each fact known\n";
        return 1;
    }
    std::ofstream(argv[3], std::ios::binary) << out;
    return 0;
}

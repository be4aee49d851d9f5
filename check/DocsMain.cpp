// Writes what the options table documents into the files made from it at build time: the manual's OPTIONS (and the
// headers that reveal a proxy to a judge) and the bash completion's values, each in place of its mark.
// Usage: kiriha-check-docs manual|completion TEMPLATE OUTPUT
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "check/Options.h"
#include "engine/rules/Judge.h"

namespace {

// Puts `text` where `mark` is, once; false when the template has the mark other than once.
bool fill(std::string& out, const std::string& mark, const std::string& text) {
    const auto at = out.find(mark);
    if (at == std::string::npos || out.find(mark, at + 1) != std::string::npos) return false;
    out.replace(at, mark.size(), text);
    return true;
}

std::string revealing() {
    std::string roff;
    for (const std::string_view name : revealingHeaders())
        roff += (roff.empty() ? ".BR " : ",\n.BR ") + std::string(name);
    return roff + "\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::string what = argv[1];
    std::ifstream in(argv[2], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string out = text.str();
    const bool filled = what == "manual" ? fill(out, ".\\\" OPTIONS FROM THE TABLE\n", manualOptions()) &&
                                               fill(out, ".\\\" REVEALING HEADERS FROM THE TABLE\n", revealing())
                                         : fill(out, "        # VALUES FROM THE TABLE\n", completionValues());
    if (!filled) {
        std::cerr << argv[2] << ": each mark must be there once\n";
        return 1;
    }
    std::ofstream(argv[3], std::ios::binary) << out;
    return 0;
}

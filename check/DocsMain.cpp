// Writes what the options table documents into the files made from it at build time: the manual's OPTIONS (with
// the facts the manual states, each from where the program keeps it) and the bash completion's values, each in
// place of its mark.
// Usage: kiriha-check-docs manual|completion TEMPLATE OUTPUT
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "check/DocsFacts.h"
#include "check/Options.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::string what = argv[1];
    std::ifstream in(argv[2], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string out = text.str();
    const std::vector<OptionSpec> specs = checkSpecs();
    const bool filled = what == "manual"
                            ? fillMark(out, ".\\\" OPTIONS FROM THE TABLE\n", manualOptions(specs)) && fillFacts(out)
                            : fillMark(out, "        # VALUES FROM THE TABLE\n", completionValues(specs));
    if (!filled) {
        std::cerr << argv[2] << ": each mark must be there once, and each fact known\n";
        return 1;
    }
    std::ofstream(argv[3], std::ios::binary) << out;
    return 0;
}

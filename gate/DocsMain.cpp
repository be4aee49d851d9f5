// Writes what the options tables document into the files made from them at build time: a manual's OPTIONS (with
// the facts the manuals state, each from where the programs keep them) and a bash completion's values, each in place
// of its mark.
// Usage: kiriha-docs check|gate manual|completion TEMPLATE OUTPUT
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "check/DocsFacts.h"
#include "check/Options.h"
#include "gate/EndCause.h"
#include "gate/GateOptions.h"

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    const std::string program = argv[1], what = argv[2];
    std::ifstream in(argv[3], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string out = text.str();
    const std::vector<OptionDesc> descs = program == "gate" ? gateDescs() : checkDescs();
    const bool filled =
        what == "manual"
            ? fillMark(out, ".\\\" OPTIONS FROM THE TABLE\n", manualOptions(descs)) && fillFacts(out) &&
                  (program != "gate" || fillMark(out, ".\\\" END CAUSES FROM THE TABLE\n", endCausesRoff()))
            : fillMark(out, "        # VALUES FROM THE TABLE\n", completionValues(descs));
    if (!filled) {
        std::cerr << argv[3] << ": each mark must be there once, and each fact known\n";
        return 1;
    }
    std::ofstream(argv[4], std::ios::binary) << out;
    return 0;
}

// Writes what the options table documents into the files made from it at build time: the manual's OPTIONS and the
// bash completion's values, each in place of its mark in the template.
// Usage: kiriha-check-docs manual|completion TEMPLATE OUTPUT
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "check/Options.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::string what = argv[1];
    const std::string mark = what == "manual" ? ".\\\" OPTIONS FROM THE TABLE\n" : "        # VALUES FROM THE TABLE\n";
    std::ifstream in(argv[2], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string out = text.str();
    const auto at = out.find(mark);
    if (at == std::string::npos || out.find(mark, at + 1) != std::string::npos) {
        std::cerr << argv[2] << ": the mark must be there once\n";
        return 1;
    }
    out.replace(at, mark.size(), what == "manual" ? manualOptions() : completionValues());
    std::ofstream(argv[3], std::ios::binary) << out;
    return 0;
}

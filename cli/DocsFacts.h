#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/OptionTable.h"

// Fills the facts a manual states ({{name}} marks: limits, the revealing headers, the country databases' places)
// from where the programs keep them; false when a mark names no fact, or a block mark is not there once.
bool fillFacts(std::string& manual);

// A documentation tool's work, called as PROGRAM manual|completion TEMPLATE OUTPUT: the template read, its marks
// filled (a manual's OPTIONS from `descs`, the facts, and what `more` fills; a completion's values), the output
// written. The exit status.
int writeDocs(int argc, char** argv, const std::vector<OptionDesc>& descs,
              const std::function<bool(std::string&)>& more = {});

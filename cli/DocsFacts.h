#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/OptionTable.h"

// Fills the facts a manual states ({{name}} marks: limits, the revealing headers, the country databases' places)
// from where the programs keep them; false when a mark names no fact, or a block mark is not there once.
bool fillFacts(std::string& manual);

using Translated = std::function<std::string(const char*)>;
// A documentation tool's work, called as PROGRAM manual TEMPLATE OUTPUT [PO] (a manual: its OPTIONS from `descs`,
// the facts and what `more` fills; with PO, the meanings as its translations give them), PROGRAM completion
// TEMPLATE OUTPUT (a bash completion's values) or PROGRAM pot OUTPUT (the table's texts, for the catalogue). The
// exit status.
int writeDocs(int argc, char** argv, const std::vector<OptionDesc>& descs,
              const std::function<bool(std::string&, const Translated&)>& more = {});

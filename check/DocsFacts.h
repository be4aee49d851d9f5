#pragma once

#include <string>

// Fills the facts a manual states ({{name}} marks: limits, the revealing headers, the country databases' places)
// from where the programs keep them; false when a mark names no fact, or a block mark is not there once.
bool fillFacts(std::string& manual);

#pragma once

#include <string>
#include <utility>
#include <vector>

// A MaxMind DB of the suite's own, written by Debian's MaxMind::DB::Writer: each network its country (or, for a
// database type naming ASN, its autonomous system number). Throws when it cannot be written.
void writeCountryDb(const std::string& file, const std::string& type,
                    const std::vector<std::pair<std::string, std::string>>& networks);

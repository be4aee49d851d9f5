#pragma once

#include <concepts>
#include <ostream>
#include <string>

// A row of a parameterised table: the name is what a failure prints and what the test is called.
struct NamedCase {
    const char* name;
};

template <std::derived_from<NamedCase> Case>
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

// For INSTANTIATE_TEST_SUITE_P: the row's name as the test's name.
inline constexpr auto caseName = [](const auto& info) { return std::string(info.param.name); };

#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Structured fields (RFC 8941) as the tests read them, strictly: a List or a Dictionary of items, each a token, a
// string, an integer or a boolean with its parameters. Inner lists and byte sequences are not used by the gate and
// read as malformed. Each value is kept as its text: a string unquoted, "?1" for true.
namespace sf {

struct Item {
    std::string value;
    bool isString = false;
    std::map<std::string, std::string> params;
};
using List = std::vector<Item>;
using Dictionary = std::map<std::string, Item>;

std::optional<List> parseList(std::string_view field);
std::optional<Dictionary> parseDictionary(std::string_view field);

}  // namespace sf

namespace sf {

// What is wrong with the Proxy-Status field of an HTTP answer the gate made itself (a status of 400 or more): none
// (""), or why. Each member must be the gate's, with one of RFC 9209's error types.
std::string proxyStatusProblem(std::string_view response);
// A field's value from a response head ("" when it has none).
std::string fieldOf(std::string_view response, std::string_view name);

}  // namespace sf

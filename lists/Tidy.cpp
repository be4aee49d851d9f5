#include "lists/Tidy.h"

#include "lists/ResultPrefixes.h"

std::string tidyResults(std::string_view text) {
    constexpr std::string_view kBreak = "\r\n";
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t end = text.find(kBreak, pos);
        const std::size_t next = end == std::string_view::npos ? text.size() : end + kBreak.size();
        const std::string_view line = text.substr(pos, (end == std::string_view::npos ? text.size() : end) - pos);
        const std::string_view withBreak = text.substr(pos, next - pos);
        const std::string_view head = line.substr(0, prefixes::kWidth);
        if (head == prefixes::kWorking)
            out.append(withBreak.substr(prefixes::kWidth));
        else if (head != prefixes::kDead)
            out.append(withBreak);
        pos = next;
    }
    return out;
}

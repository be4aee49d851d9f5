#include "lists/Tidy.h"

#include "lists/ShiftJis.h"

std::string tidyResults(std::string_view text) {
    using sjis::kLineBreak;
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t end = text.find(kLineBreak, pos);
        const std::size_t next = end == std::string_view::npos ? text.size() : end + kLineBreak.size();
        const std::string_view withBreak = text.substr(pos, next - pos);
        const std::string_view head =
            prefixes::headOf(text.substr(pos, (end == std::string_view::npos ? text.size() : end) - pos));
        if (head == prefixes::kWorking)
            out.append(withBreak.substr(prefixes::kWidth));
        else if (head != prefixes::kDead)
            out.append(withBreak);
        pos = next;
    }
    return out;
}

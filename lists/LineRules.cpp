#include "lists/LineRules.h"

#include "lists/ShiftJis.h"

std::size_t LineRules::count() const {
    const std::size_t n = segments();
    return segmentEmpty(n - 1) ? n - 1 : n;
}

std::string LineRules::line(std::size_t i) const {
    return i < count() ? segment(i, kReadLimit) : std::string();
}

void LineRules::replace(std::size_t i, std::string_view s) {
    if (i < count()) setSegment(i, s);
}

void LineRules::remove(std::size_t i) {
    if (i >= count()) return;
    if (i + 1 < segments())
        eraseSegment(i);
    else
        setSegment(i, {});  // the last line without a break: only its text goes
}

void LineRules::append(std::string_view s) {
    std::string bytes;
    bytes.reserve(s.size() + sjis::kLineBreak.size());
    if (segmentEmpty(segments() - 1))  // empty, or ends with a break
        bytes.append(s).append(sjis::kLineBreak);
    else
        bytes.append(sjis::kLineBreak).append(s);
    appendBytes(bytes);
}

std::size_t LineRules::countIn(std::string_view text) {
    static_assert(sjis::kLineBreak == "\r\n");
    std::size_t breaks = 0;
    for (std::size_t i = 1; i < text.size(); ++i) breaks += text[i] == '\n' && text[i - 1] == '\r';
    return text.empty() || text.ends_with(sjis::kLineBreak) ? breaks : breaks + 1;
}

#include "lists/LineList.h"

#include <algorithm>

#include "lists/ShiftJis.h"

using sjis::kLineBreak;

LineList::LineList(std::string text) {
    setText(std::move(text));
}

void LineList::setText(std::string text) {
    text_ = std::move(text);
    starts_.assign(1, 0);
    reindexFrom(0);
}

std::size_t LineList::segmentEnd(std::size_t i) const {
    return i + 1 < starts_.size() ? starts_[i + 1] - kLineBreak.size() : text_.size();
}

std::string_view LineList::fullLine(std::size_t i) const {
    if (i >= count()) return {};
    return std::string_view(text_).substr(starts_[i], segmentEnd(i) - starts_[i]);
}

std::string LineList::segment(std::size_t i, std::size_t limit) const {
    return text_.substr(starts_[i], std::min(limit, segmentEnd(i) - starts_[i]));
}

void LineList::setSegment(std::size_t i, std::string_view s) {
    text_.replace(starts_[i], segmentEnd(i) - starts_[i], s);
    reindexFrom(i);
}

void LineList::eraseSegment(std::size_t i) {
    text_.erase(starts_[i], starts_[i + 1] - starts_[i]);
    reindexFrom(i);
}

void LineList::appendBytes(std::string_view s) {
    const std::size_t last = starts_.size() - 1;
    text_.append(s);
    reindexFrom(last);
}

void LineList::reindexFrom(std::size_t i) {
    // Offsets before starts_[i] are untouched; a break can't straddle it since the byte before is LF.
    starts_.resize(i + 1);
    std::size_t pos = starts_[i];
    while ((pos = text_.find(kLineBreak, pos)) != std::string::npos) {
        pos += kLineBreak.size();
        starts_.push_back(pos);
    }
}

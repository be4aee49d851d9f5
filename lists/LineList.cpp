#include "lists/LineList.h"

#include <algorithm>

namespace {
constexpr std::string_view kBreak = "\r\n";
}

LineList::LineList(std::string text) {
    setText(std::move(text));
}

void LineList::setText(std::string text) {
    text_ = std::move(text);
    starts_.assign(1, 0);
    reindexFrom(0);
}

bool LineList::endsWithBreak() const {
    return text_.ends_with(kBreak);
}

std::size_t LineList::count() const {
    const std::size_t segments = starts_.size();
    return starts_.back() == text_.size() ? segments - 1 : segments;
}

std::size_t LineList::lineEnd(std::size_t i) const {
    return i + 1 < starts_.size() ? starts_[i + 1] - kBreak.size() : text_.size();
}

std::string_view LineList::fullLine(std::size_t i) const {
    if (i >= count()) return {};
    return std::string_view(text_).substr(starts_[i], lineEnd(i) - starts_[i]);
}

std::string LineList::line(std::size_t i) const {
    std::string_view l = fullLine(i);
    return std::string(l.substr(0, std::min(l.size(), kReadLimit)));
}

void LineList::replace(std::size_t i, std::string_view s) {
    if (i >= count()) return;
    text_.replace(starts_[i], lineEnd(i) - starts_[i], s);
    reindexFrom(i);
}

void LineList::remove(std::size_t i) {
    if (i >= count()) return;
    const bool hasBreak = i + 1 < starts_.size();
    const std::size_t end = hasBreak ? starts_[i + 1] : text_.size();
    text_.erase(starts_[i], end - starts_[i]);
    reindexFrom(i);
}

void LineList::append(std::string_view s) {
    const std::size_t last = starts_.size() - 1;
    if (text_.empty() || endsWithBreak()) {
        text_.append(s);
        text_.append(kBreak);
    } else {
        text_.append(kBreak);
        text_.append(s);
    }
    reindexFrom(last);
}

void LineList::reindexFrom(std::size_t i) {
    // Offsets before starts_[i] are untouched; a break can't straddle it since the byte before is LF.
    starts_.resize(i + 1);
    std::size_t pos = starts_[i];
    while ((pos = text_.find(kBreak, pos)) != std::string::npos) {
        pos += kBreak.size();
        starts_.push_back(pos);
    }
}

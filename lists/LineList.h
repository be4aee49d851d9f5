#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "lists/LineRules.h"

// The line rules over a string of Shift_JIS bytes. Segment starts are indexed, so reading line i and
// appending cost no rescan.
class LineList final : public LineRules {
  public:
    LineList() = default;
    explicit LineList(std::string text);

    std::string_view fullLine(std::size_t i) const;  // uncut; empty past the end
    const std::string& text() const { return text_; }
    void setText(std::string text);

  protected:
    std::size_t segments() const override { return starts_.size(); }
    bool segmentEmpty(std::size_t i) const override { return segmentEnd(i) == starts_[i]; }
    std::string segment(std::size_t i, std::size_t limit) const override;
    void setSegment(std::size_t i, std::string_view s) override;
    void eraseSegment(std::size_t i) override;
    void appendBytes(std::string_view s) override;

  private:
    std::size_t segmentEnd(std::size_t i) const;  // offset just before the segment's break (or text end)
    void reindexFrom(std::size_t i);              // rebuild the starts of segment i+1 onwards

    std::string text_;
    std::vector<std::size_t> starts_{0};
};

#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// A text of Shift_JIS bytes seen as lines separated by CR LF.
// An empty last line (the text ends with a break, or is empty) is not counted.
// Line starts are indexed, so reading line i and appending cost no rescan.
class LineList {
  public:
    static constexpr std::size_t kReadLimit = 4096;  // bytes returned by line()

    LineList() = default;
    explicit LineList(std::string text);

    std::size_t count() const;
    std::string line(std::size_t i) const;           // cut to kReadLimit bytes; empty past the end
    std::string_view fullLine(std::size_t i) const;  // uncut; empty past the end
    void replace(std::size_t i, std::string_view s);
    void remove(std::size_t i);
    void append(std::string_view s);

    const std::string& text() const { return text_; }
    void setText(std::string text);
    bool endsWithBreak() const;

  private:
    std::size_t lineEnd(std::size_t i) const;  // offset just before the line's break (or text end)
    void reindexFrom(std::size_t i);           // rebuild the starts of line i+1 onwards

    std::string text_;
    std::vector<std::size_t> starts_{0};  // start of every segment, the uncounted empty tail included
};

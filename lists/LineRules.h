#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The line rules of both lists, whatever holds the text. A store sees its text as segments: the pieces
// between CR LF breaks, the empty tail after a final break included (an empty text is one empty segment).
// A line is a segment, except that an empty last segment is no line.
class LineRules {
  public:
    static constexpr std::size_t kReadLimit = 4096;  // bytes of a line that reading returns

    virtual ~LineRules() = default;

    std::size_t count() const;
    std::string line(std::size_t i) const;            // cut to kReadLimit bytes; empty past the end
    void replace(std::size_t i, std::string_view s);  // its break stays; nothing past the end
    void remove(std::size_t i);       // with the break after it; a last line without one leaves the break before it
    void append(std::string_view s);  // after the last counted line

    // The count of a whole text, without indexing it.
    static std::size_t countIn(std::string_view text);

  protected:
    virtual std::size_t segments() const = 0;  // at least one
    virtual bool segmentEmpty(std::size_t i) const = 0;
    virtual std::string segment(std::size_t i, std::size_t limit) const = 0;  // its first `limit` bytes
    virtual void setSegment(std::size_t i, std::string_view s) = 0;
    virtual void eraseSegment(std::size_t i) = 0;      // with the break after it; never the last segment
    virtual void appendBytes(std::string_view s) = 0;  // at the very end of the text
};

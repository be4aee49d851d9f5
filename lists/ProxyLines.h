#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The proxies of a stream of lists, as the command checks them: each list's lines (its text ends at its first NUL),
// each cut to the read limit, blank ones left out. Held as one text of LF-ended lines, so memory follows the bytes
// read, whatever their count.
class ProxyLines {
  public:
    // Adds one list's raw bytes; the offset of the NUL that ended its text early, if one did.
    std::optional<std::size_t> add(std::string_view raw);

    std::size_t count() const { return count_; }
    std::size_t taken() const { return taken_; }
    // The next proxy in order, once each; nullopt after the last.
    std::optional<std::string_view> next();
    std::optional<std::string_view> peek() const;  // what next() would give, without taking it

  private:
    std::string text_;
    std::size_t count_ = 0;
    std::size_t taken_ = 0;
    std::size_t at_ = 0;
};

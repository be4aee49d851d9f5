#pragma once

#include <cstddef>
#include <string>

// What the check run needs of a front-end: it shows the run's state and holds the two lists.
// All texts are Shift_JIS bytes; the run keeps the state itself and says what to show.
class RunView {
  public:
    virtual ~RunView() = default;

    virtual void setRunFlag(const std::string& text) = 0;    // kusi_th
    virtual void setDoneCount(const std::string& text) = 0;  // kusi_now
    virtual void setTotal(const std::string& text) = 0;      // kusi_max
    virtual void setStatus(const std::string& text) = 0;     // Label_kusi

    virtual std::size_t proxyCount() const = 0;              // Memo_load
    virtual std::string proxyLine(std::size_t i) const = 0;  // cut to 4096 bytes, empty past the end
    virtual void appendResult(const std::string& line) = 0;  // Memo1
};

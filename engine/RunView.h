#pragma once

#include <cstddef>
#include <string>

// What the check run needs of the window. All texts are Shift_JIS bytes.
class RunView {
  public:
    virtual ~RunView() = default;

    virtual std::string runFlag() const = 0;  // kusi_th
    virtual void setRunFlag(const std::string& text) = 0;
    virtual std::string doneCount() const = 0;  // kusi_now
    virtual void setDoneCount(const std::string& text) = 0;
    virtual std::string total() const = 0;  // kusi_max
    virtual void setTotal(const std::string& text) = 0;
    virtual std::string status() const = 0;  // Label_kusi
    virtual void setStatus(const std::string& text) = 0;

    virtual std::size_t proxyCount() const = 0;              // Memo_load
    virtual std::string proxyLine(std::size_t i) const = 0;  // cut to 4096 bytes, empty past the end
    virtual void appendResult(const std::string& line) = 0;  // Memo1
};

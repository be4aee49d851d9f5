#pragma once

#include <cstddef>
#include <string>

// One line on a terminal's standard error, kept up to date, never wider than the terminal, gone at the end.
class Progress {
  public:
    explicit Progress(bool wanted);  // on only when wanted and standard error is a terminal
    bool on() const { return on_; }
    void show(std::string text);
    void clear();

  private:
    bool on_;
    bool dumb_;  // a terminal without escape sequences
    std::size_t shown_ = 0;
};

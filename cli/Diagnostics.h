#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

// Standard error, the command's one sink for it: its messages, the usage hint and, on a terminal, a progress line
// kept up to date, never wider than the terminal, gone at the end. When standard output is that same terminal, the
// result lines are written around the progress line (erased, written, drawn again), so none lands after its text.
// say() and write() are for the main thread, aroundOutput() for the output's writer.
class Diagnostics {
  public:
    explicit Diagnostics(std::string program);
    void wantProgress();  // the progress line is then on when standard error is a terminal

    void say(const std::string& message);  // "program: message", a line of its own
    void write(const std::string& text);   // as it is

    bool progressOn() const { return on_; }
    void progress(std::string text);  // skipped while result lines are being written: the next one comes soon
    void clearProgress();

    bool sharesTerminal() const { return shared_; }  // standard output is the terminal the progress line is on
    void aroundOutput(const std::function<void()>& writeResults);

  private:
    void erase();  // with the lock held
    void draw();

    std::string program_;
    std::unique_lock<std::mutex> lockWithin();  // held, or not after a second of trying
    std::mutex mutex_;                          // shown_ and text_ are touched with it held only
    bool on_ = false;
    bool dumb_;  // a terminal without escape sequences: spaces cover what was there
    bool shared_ = false;
    std::string text_;       // the latest progress text
    std::size_t shown_ = 0;  // its width on the screen, 0 while it is not there
};

// A Shift_JIS text as a terminal may show it: control bytes and backslashes escaped as \xHH and \\ (what ls -b does),
// two-byte Shift_JIS characters left whole.
std::string escapeForTerminal(std::string_view sjis);
